// The picture: well-formed XML, at most 65,536 cells, and the colours of
// known pages as a renderer draws them; the picture and the report in a real
// browser (headless Chromium, when it is installed).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "builder/recipe.h"
#include "support.h"

using namespace tabulon;

namespace itest {
namespace {

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Cell {
    long x = 0, y = 0, w = 0, h = 0;
    std::string fill, tooltip;
};

// The rectangle of the page grid that holds page p, and the point at the
// middle of p's cell.
bool findPage(const std::string& svg, uint64_t p, uint64_t perCell, Cell* cell, long* cx,
              long* cy) {
    static const std::regex rect(
        R"re(<rect x="(\d+)" y="(\d+)" width="(\d+)" height="(\d+)" fill="(#[0-9a-f]{6})"(?: stroke="#000000")? data-pages="(\d+)-(\d+)"><title>([^<]*)</title>)re");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rect); it != std::sregex_iterator();
         ++it) {
        const auto& m = *it;
        const uint64_t first = std::stoull(m[6]), last = std::stoull(m[7]);
        if (p < first || p > last) continue;
        *cell = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4]), m[5], m[8]};
        *cx = cell->x + long((p / perCell - first / perCell)) * cell->h + cell->h / 2;
        *cy = cell->y + cell->h / 2;
        return true;
    }
    return false;
}

// Colour of a legend entry by its label.
std::string legendColour(const std::string& svg, const std::string& label) {
    const std::regex entry(R"re(fill="(#[0-9a-f]{6})" stroke="#757575"/><text[^>]*>([^<(]*) \()re");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), entry);
         it != std::sregex_iterator(); ++it) {
        if ((*it)[2] == label) return (*it)[1];
    }
    return "";
}

// A rendered picture as 8-bit RGB (from a binary PPM).
struct Picture {
    long w = 0, h = 0;
    std::vector<uint8_t> rgb;
    std::string at(long x, long y) const {
        char s[8];
        const size_t i = size_t(y * w + x) * 3;
        std::snprintf(s, sizeof s, "#%02x%02x%02x", rgb[i], rgb[i + 1], rgb[i + 2]);
        return s;
    }
};

bool readPpm(const fs::path& p, Picture* pic) {
    std::ifstream in(p, std::ios::binary);
    std::string magic;
    int maxval = 0;
    in >> magic >> pic->w >> pic->h >> maxval;
    if (magic != "P6" || maxval != 255) return false;
    in.get();
    pic->rgb.resize(size_t(pic->w * pic->h * 3));
    in.read(reinterpret_cast<char*>(pic->rgb.data()), std::streamsize(pic->rgb.size()));
    return bool(in);
}

constexpr const char* kDamaged = R"(family 0x0800 page 1024 logical 700
entry 10 logical 11
header 20 zero
pat 1 copy 1 signature
)";

uint32_t physicalOf(const Json& entries, uint32_t logical) {
    for (const Json& e : entries.at("entries")) {
        if (e.at("logical").get<uint32_t>() == logical) return e.at("physical").get<uint32_t>();
    }
    ADD_FAILURE() << "no entry for logical page " << logical;
    return 0;
}

TEST(Map, KnownPagesHaveTheirColours) {
    ScratchDir scratch;
    const std::string main =
        tbuild::buildFromRecipe(kDamaged, scratch.path().string(), "TEST.DAT").members[0];
    const fs::path svgPath = scratch.path() / "map.svg";
    const Result map = inspect({"--json", "map", main, "-o", svgPath.string()});
    ASSERT_EQ(map.status, 0) << map.err;
    const Json m = map.json();
    const Json entries = inspect({"--json", "entries", main}).json();
    const Json info = inspect({"--json", "info", main}).json();
    const std::string svg = readText(svgPath);
    const uint64_t perCell = m.at("pagesPerCell").get<uint64_t>();
    ASSERT_EQ(perCell, 1u);

    if (haveTool("xmllint")) {
        EXPECT_EQ(std::system(("xmllint --noout " + svgPath.string()).c_str()), 0);
    }
    const std::string title =
        "TEST.DAT: version 8.00 (0x0800), 701 pages (720 physical), 3 damage, 0 unused-entry, 1 "
        "info";
    EXPECT_NE(svg.find("<title>" + title + "</title>"), std::string::npos);
    // The title fits: the picture is wider than 9 px a character.
    std::smatch size;
    ASSERT_TRUE(std::regex_search(svg, size, std::regex(R"re(<svg [^>]*width="(\d+)")re")));
    EXPECT_GE(std::stoul(size[1]), 24 + title.size() * 9);
    // The entry's logical page in the tooltip of the page it points at.
    Cell pointed;
    long px = 0, py = 0;
    ASSERT_TRUE(findPage(svg, physicalOf(entries, 3), perCell, &pointed, &px, &py));
    EXPECT_NE(pointed.tooltip.find("the entry of logical page 3 points here"), std::string::npos)
        << pointed.tooltip;
    // Structure and problems in two groups of the legend, problems drawn
    // with a dark edge.
    EXPECT_LT(svg.find(">Structure</text>"), svg.find(">Problems</text>"));
    EXPECT_NE(svg.find("stroke=\"#000000\" data-pages"), std::string::npos);

    const uint32_t pat1 = uint32_t(info.at("pair1Offset").get<uint64_t>() / 1024);
    struct Known {
        const char* what;
        uint64_t page;
        const char* label;
    };
    const Known known[] = {
        {"page 0", 0, "FCR copy"},
        {"pair 1, copy 0", pat1, "PAT copy, current"},
        {"pair 1, copy 1", pat1 + 2, "PAT copy, older"},
        {"logical 1", physicalOf(entries, 1), "data page"},
        {"logical 3", physicalOf(entries, 3), "index page"},
        {"logical 7", physicalOf(entries, 7), "variable page"},
        {"logical 9", physicalOf(entries, 9), "page of another type"},
        {"page entry 10 points at", physicalOf(entries, 10), "an entry points here wrongly"},
        {"page of logical 20", physicalOf(entries, 20), "an entry points at a zero header"},
        {"page 4, empty", 4, "empty page that no entry needs"},
        {"page of logical 10", physicalOf(entries, 10) - 1, "no entry points here"},
    };

    Picture pic;
    bool rendered = false;
    if (haveTool("rsvg-convert") && haveTool("convert")) {
        const fs::path png = scratch.path() / "map.png", ppm = scratch.path() / "map.ppm";
        rendered =
            std::system(
                ("rsvg-convert -f png -o " + png.string() + " " + svgPath.string()).c_str()) == 0 &&
            std::system(("convert " + png.string() + " ppm:- > " + ppm.string()).c_str()) == 0 &&
            readPpm(ppm, &pic);
    }
    for (const Known& k : known) {
        SCOPED_TRACE(k.what);
        Cell cell;
        long x = 0, y = 0;
        ASSERT_TRUE(findPage(svg, k.page, perCell, &cell, &x, &y));
        const std::string colour = legendColour(svg, k.label);
        ASSERT_NE(colour, "") << k.label;
        EXPECT_EQ(cell.fill, colour) << k.label;
        // The tooltip names the page, its state and the entry that points there.
        EXPECT_EQ(cell.tooltip.rfind("page " + std::to_string(k.page) + ": " + k.label, 0), 0u)
            << cell.tooltip;
        if (rendered) {
            EXPECT_EQ(pic.at(x, y), colour) << k.label << " at " << x << "," << y;
        }
    }
    if (!rendered) std::printf("rsvg-convert or convert missing: pixels not checked\n");
}

// Files without damage show no problem: not their empty pages, not the
// pages their unused entries point at.
TEST(Map, FilesWithoutDamageShowNoProblem) {
    const char* recipes[] = {
        "family 0x0600 page 1024 logical 40",
        "family 0x0700 page 1024 logical 40",
        "family 0x0800 page 1024 logical 300\nsplit every 100000\ndelta",
        "family 0x0950 page 4096 logical 50",
        "family 0x0600 page 1024 logical 20\nentry 5 type 0\nentry 6 type 0",
    };
    for (const char* recipe : recipes) {
        SCOPED_TRACE(recipe);
        ScratchDir scratch;
        const std::string main =
            tbuild::buildFromRecipe(recipe, scratch.path().string(), "T.DAT").members[0];
        const fs::path svgPath = scratch.path() / "map.svg";
        const Result map = inspect({"--json", "map", main, "-o", svgPath.string()});
        ASSERT_EQ(map.status, 0) << map.err;
        const Json states = map.json().at("pageStates");
        for (const char* problem : {"zeroHeader", "wrong", "unreadable"}) {
            EXPECT_EQ(states.at(problem).get<uint64_t>(), 0u) << problem;
        }
        EXPECT_EQ(readText(svgPath).find("stroke=\"#000000\" data-pages"), std::string::npos);
    }
}

TEST(Map, LargeFileKeepsAtMost65536CellsAndTheWorstState) {
    ScratchDir scratch;
    const std::string main =
        tbuild::buildFromRecipe(
            "family 0x0800 page 512 logical 140000 mix data\nentry 100001 logical 100003\n",
            scratch.path().string(), "BIG.DAT")
            .members[0];
    const fs::path svgPath = scratch.path() / "big.svg";
    const Result map = inspect({"--json", "map", main, "-o", svgPath.string()});
    ASSERT_EQ(map.status, 0) << map.err;
    const Json m = map.json();
    EXPECT_LE(m.at("cells").get<uint64_t>(), 65536u);
    const uint64_t perCell = m.at("pagesPerCell").get<uint64_t>();
    EXPECT_EQ(perCell, (m.at("physicalPages").get<uint64_t>() + 65535) / 65536);
    EXPECT_GT(perCell, 1u);

    const std::string svg = readText(svgPath);
    const Json entries = inspect({"--json", "entries", main, "--problems"}).json();
    ASSERT_EQ(entries.at("entries").size(), 1u);
    const uint32_t wrong = entries.at("entries")[0].at("physical").get<uint32_t>();
    // Every page of the wrong page's cell shows it, whichever it is.
    const uint64_t first = wrong / perCell * perCell;
    for (uint64_t p = first; p < first + perCell; ++p) {
        Cell cell;
        long x = 0, y = 0;
        ASSERT_TRUE(findPage(svg, p, perCell, &cell, &x, &y));
        EXPECT_EQ(cell.fill, legendColour(svg, "an entry points here wrongly"));
    }
    Cell neighbour;
    long x = 0, y = 0;
    ASSERT_TRUE(findPage(svg, first + perCell, perCell, &neighbour, &x, &y));
    EXPECT_EQ(neighbour.fill, legendColour(svg, "data page"));
}

TEST(Map, UnwritableOutputIsAnError) {
    ScratchDir scratch;
    const std::string main = tbuild::buildFromRecipe("family 0x0950 page 1024 logical 5",
                                                     scratch.path().string(), "T.DAT")
                                 .members[0];
    const Result r =
        inspect({"--json", "map", main, "-o", (scratch.path() / "no/such/dir.svg").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
}

// Headless Chromium with a profile of its own and nothing that reaches out
// to the network. `what` is --screenshot=PNG or --dump-dom; the output goes
// to `out`.
bool chromium(const std::string& url, const std::string& what, long w, long h,
              const fs::path& profile, const fs::path& out) {
    const bool dom = what == "--dump-dom";
    const std::string cmd =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--hide-scrollbars --force-device-scale-factor=1 --user-data-dir='" +
        profile.string() + "' --window-size=" + std::to_string(w) + "," + std::to_string(h) + " " +
        what + " '" + url + "' > '" + out.string() + (dom ? "'" : ".log'") + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0 && fs::exists(out) && fs::file_size(out) > 0;
}

bool screenshot(const std::string& url, long w, long h, const fs::path& dir, Picture* pic) {
    const fs::path png = dir / "shot.png", ppm = dir / "shot.ppm";
    fs::remove(png);
    return chromium(url, "--screenshot='" + png.string() + "'", w, h, dir / "profile", png) &&
           std::system(("convert '" + png.string() + "' ppm:- > '" + ppm.string() + "'").c_str()) ==
               0 &&
           readPpm(ppm, pic);
}

TEST(Browser, MapCellsHaveTheirColours) {
    if (!haveTool("chromium") || !haveTool("convert")) GTEST_SKIP() << "no chromium or convert";
    ScratchDir scratch;
    const std::string main =
        tbuild::buildFromRecipe(kDamaged, scratch.path().string(), "TEST.DAT").members[0];
    const fs::path svgPath = scratch.path() / "map.svg";
    ASSERT_EQ(inspect({"map", main, "-o", svgPath.string()}).status, 0);
    const std::string svg = readText(svgPath);
    std::smatch size;
    ASSERT_TRUE(
        std::regex_search(svg, size, std::regex(R"re(<svg [^>]*width="(\d+)" height="(\d+)")re")));
    const long w = std::stol(size[1]), h = std::stol(size[2]);
    Picture pic;
    ASSERT_TRUE(screenshot("file://" + svgPath.string(), w, h, scratch.path(), &pic));
    ASSERT_GE(pic.w, w);
    ASSERT_GE(pic.h, h);
    const Json entries = inspect({"--json", "entries", main}).json();
    const struct {
        uint64_t page;
        const char* label;
    } known[] = {
        {0, "FCR copy"},
        {4, "empty page that no entry needs"},
        {physicalOf(entries, 1), "data page"},
        {physicalOf(entries, 3), "index page"},
        {physicalOf(entries, 10), "an entry points here wrongly"},
        {physicalOf(entries, 20), "an entry points at a zero header"},
    };
    for (const auto& k : known) {
        SCOPED_TRACE(k.label);
        Cell cell;
        long x = 0, y = 0;
        ASSERT_TRUE(findPage(svg, k.page, 1, &cell, &x, &y));
        EXPECT_EQ(pic.at(x, y), legendColour(svg, k.label)) << "page " << k.page;
    }

    // The sample map of the README: the first cell of each colour shows it.
    const fs::path sample = fs::path(TABULON_SOURCE_DIR) / "docs" / "sample-map.svg";
    const std::string drawn = readText(sample);
    ASSERT_TRUE(std::regex_search(drawn, size,
                                  std::regex(R"re(<svg [^>]*width="(\d+)" height="(\d+)")re")));
    Picture shot;
    ASSERT_TRUE(screenshot("file://" + sample.string(), std::stol(size[1]), std::stol(size[2]),
                           scratch.path(), &shot));
    static const std::regex rect(
        R"re(<rect x="(\d+)" y="(\d+)" width="(\d+)" height="(\d+)" fill="(#[0-9a-f]{6})"[^>]* data-pages=)re");
    std::map<std::string, int> checked;
    for (auto it = std::sregex_iterator(drawn.begin(), drawn.end(), rect);
         it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        if (checked[m[5]]++) continue;
        const long x = std::stol(m[1]) + std::stol(m[3]) / 2,
                   y = std::stol(m[2]) + std::stol(m[4]) / 2;
        EXPECT_EQ(shot.at(x, y), m[5].str()) << "sample map at " << x << "," << y;
    }
    EXPECT_GE(checked.size(), 8u);
}

TEST(Browser, ReportSortsAndShowsItsColours) {
    if (!haveTool("chromium") || !haveTool("convert")) GTEST_SKIP() << "no chromium or convert";
    ScratchDir scratch;
    const fs::path dir = scratch.path() / "db";
    const struct {
        const char* name;
        const char* recipe;
    } files[] = {
        {"BIG.DAT", "family 0x0950 page 1024 logical 400"},
        {"DAMAGED.DAT", kDamaged},
        {"SMALL.DAT", "family 0x0800 page 1024 logical 30"},
        {"UNUSED.DAT", "family 0x0600 page 1024 logical 60\nentry 5 type 0"},
    };
    for (const auto& f : files) {
        fs::create_directories(dir);
        tbuild::buildFromRecipe(f.recipe, dir.string(), f.name);
    }
    const fs::path report = scratch.path() / "report.html";
    ASSERT_EQ(inspect({"report", dir.string(), "-o", report.string()}).status, 1);
    const std::string url = "file://" + report.string();

    // The rows as the browser holds them after the page's script ran: problems
    // first, then sorted by a column through the address.
    auto order = [&](const std::string& fragment) {
        const fs::path dom = scratch.path() / "dom.html";
        fs::remove(dom);
        EXPECT_TRUE(
            chromium(url + fragment, "--dump-dom", 800, 600, scratch.path() / "profile", dom));
        const std::string text = readText(dom);
        std::vector<std::string> rows;
        const std::regex row(R"re(<tr class="\w+" data-rank="\d+" data-path="([^"]+)")re");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), row);
             it != std::sregex_iterator(); ++it) {
            rows.push_back((*it)[1]);
        }
        return rows;
    };
    using Rows = std::vector<std::string>;
    EXPECT_EQ(order(""), (Rows{"DAMAGED.DAT", "UNUSED.DAT", "BIG.DAT", "SMALL.DAT"}));
    EXPECT_EQ(order("#sort=-pages"), (Rows{"DAMAGED.DAT", "BIG.DAT", "UNUSED.DAT", "SMALL.DAT"}));
    EXPECT_EQ(order("#sort=pages"), (Rows{"SMALL.DAT", "UNUSED.DAT", "BIG.DAT", "DAMAGED.DAT"}));
    EXPECT_EQ(order("#sort=-path"), (Rows{"UNUSED.DAT", "SMALL.DAT", "DAMAGED.DAT", "BIG.DAT"}));

    // The screenshot holds the damage state's colour and the inline map's.
    Picture pic;
    ASSERT_TRUE(screenshot(url, 1200, 2400, scratch.path(), &pic));
    std::map<std::string, size_t> seen;
    for (long y = 0; y < pic.h; ++y) {
        for (long x = 0; x < pic.w; ++x) ++seen[pic.at(x, y)];
    }
    EXPECT_GT(seen["#d55e00"], 100u);   // the damaged row's state, wrong pages
    EXPECT_GT(seen["#56b4e9"], 1000u);  // data pages of the inline map
    EXPECT_GT(seen["#cc79a7"], 20u);    // the page an entry points at, with a zero header
}

// The report of the real files, when they are at hand: a row for each file
// the survey lists, the files with damage first.
TEST(Browser, RealFilesReport) {
    const fs::path source = TABULON_REALFILES_DIR;
    if (!fs::is_directory(source)) GTEST_SKIP() << "no real files";
    if (!haveTool("chromium")) GTEST_SKIP() << "no chromium";
    ScratchDir scratch;
    fs::copy(source, scratch.path() / "real", fs::copy_options::recursive);
    const fs::path report = scratch.path() / "real.html";
    const Result r =
        inspect({"--json", "report", (scratch.path() / "real").string(), "-o", report.string()});
    ASSERT_LE(r.status, 1) << r.err;
    const Json summary = r.json();
    const fs::path dom = scratch.path() / "dom.html";
    ASSERT_TRUE(chromium("file://" + report.string(), "--dump-dom", 800, 600,
                         scratch.path() / "profile", dom));
    const std::string text = readText(dom);
    std::vector<std::string> classes;
    const std::regex row(R"re(<tr class="(\w+)" data-rank=)re");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), row);
         it != std::sregex_iterator(); ++it) {
        classes.push_back((*it)[1]);
    }
    EXPECT_EQ(classes.size(), summary.at("fileCount").get<size_t>());
    const size_t damaged = summary.at("damagedFiles").get<size_t>();
    for (size_t i = 0; i < classes.size(); ++i) {
        EXPECT_EQ(classes[i] == "damage", i < damaged) << "row " << i;
    }
}

}  // namespace
}  // namespace itest
