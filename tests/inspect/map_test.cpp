// The picture: well-formed XML, at most 65,536 cells, and the colours of
// known pages as a renderer draws them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
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
    std::string fill;
};

// The rectangle of the page grid that holds page p, and the point at the
// middle of p's cell.
bool findPage(const std::string& svg, uint64_t p, uint64_t perCell, Cell* cell, long* cx,
              long* cy) {
    static const std::regex rect(
        R"re(<rect x="(\d+)" y="(\d+)" width="(\d+)" height="(\d+)" fill="(#[0-9a-f]{6})" data-pages="(\d+)-(\d+)"/>)re");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rect); it != std::sregex_iterator();
         ++it) {
        const auto& m = *it;
        const uint64_t first = std::stoull(m[6]), last = std::stoull(m[7]);
        if (p < first || p > last) continue;
        *cell = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4]), m[5]};
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
    EXPECT_NE(
        svg.find(
            "<title>TEST.DAT: version 8.00 (0x0800), 701 pages (720 physical), 3 problems</title>"),
        std::string::npos);

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
        {"page of logical 20", physicalOf(entries, 20), "zero header"},
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
        if (rendered) {
            EXPECT_EQ(pic.at(x, y), colour) << k.label << " at " << x << "," << y;
        }
    }
    if (!rendered) std::printf("rsvg-convert or convert missing: pixels not checked\n");
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
    EXPECT_EQ(perCell, (m.at("pages").get<uint64_t>() + 65535) / 65536);
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

}  // namespace
}  // namespace itest
