// The survey's monitoring formats: the Prometheus exposition (checked by
// promtool when it is at hand) and the Nagios plugin line with its status.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "builder/recipe.h"
#include "tabulon_version.h"
#include "support.h"

namespace itest {
namespace {

constexpr const char* kSound = "family 0x0950 page 2048 logical 80";
constexpr const char* kUnused =
    "family 0x0600 page 1024 logical 20\nentry 5 type 0\nentry 6 type 0";
constexpr const char* kDamaged = "family 0x0800 page 1024 logical 60\nentry 7 logical 8";
constexpr const char* kCut = "family 0x0800 page 1024 logical 10\nsize 1024";

void build(const fs::path& dir, const std::string& name, const char* recipe) {
    fs::create_directories(dir);
    tbuild::buildFromRecipe(recipe, dir.string(), name);
}

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Monitor, PrometheusExposition) {
    ScratchDir scratch;
    const fs::path dir = scratch.path() / "db";
    build(dir, "SOUND.DAT", kSound);
    build(dir / "B", "UNUSED.DAT", kUnused);
    build(dir, "BAD.DAT", kDamaged);
    build(dir, "CUT.DAT", kCut);
    // A name that needs escaping in a label value.
    build(dir, "Q\"U\\OTE.DAT", kSound);
    const fs::path out = scratch.path() / "out" / "tabulon.prom";
    fs::create_directories(out.parent_path());
    std::ofstream(out) << "old\n";
    const Result r =
        inspect({"survey", "--format", "prometheus", "-o", out.string(), dir.string()});
    EXPECT_EQ(r.status, 2) << r.err;  // CUT.DAT cannot be checked
    EXPECT_EQ(r.out, "");
    // The write went through a temporary file that is gone.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(out.parent_path())) {
        ++files;
        (void)e;
    }
    EXPECT_EQ(files, 1u);
    const std::string text = readText(out);
    const std::string d = "dir=\"" + dir.string() + "\"";
    const char* expected[] = {
        "tabulon_survey_files{state=\"checked\"} 4\n",
        "tabulon_survey_files{state=\"not_checked\"} 1\n",
        "tabulon_survey_damaged_files 1\n",
        "tabulon_file_checked{DIR,path=\"CUT.DAT\"} 0\n",
        "tabulon_file_checked{DIR,path=\"Q\\\"U\\\\OTE.DAT\"} 1\n",
        "tabulon_file_damaged{DIR,path=\"BAD.DAT\"} 1\n",
        "tabulon_file_damaged{DIR,path=\"B/UNUSED.DAT\"} 0\n",
        "tabulon_file_findings{DIR,path=\"B/"
        "UNUSED.DAT\",severity=\"unused-entry\",class=\"other\"} 2\n",
        "tabulon_file_findings{DIR,path=\"BAD.DAT\",severity=\"damage\",class=\"other\"} 1\n",
        "tabulon_file_pages_examined{DIR,path=\"SOUND.DAT\",class=\"pat\"} 1\n",
    };
    for (std::string line : expected) {
        const size_t at = line.find("DIR");
        if (at != std::string::npos) line.replace(at, 3, d);
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        const std::string cmd = "promtool check metrics < '" + out.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << text;
    } else {
        std::printf("promtool missing: the exposition is not checked by it\n");
    }
}

// One line: TABULON STATE - text | perfdata, the text without '|', each
// performance value 'label'=value[UOM];[warn];[crit];[min];[max].
const std::regex kNagiosLine(
    R"(TABULON (OK|WARNING|CRITICAL|UNKNOWN) - [^|\n]+ \| )"
    R"(((?:'[^'=]+'|[^ '=]+)=-?[0-9.]+(?:s|ms|us|%|B|KB|MB|TB|c)?(?:;[-0-9.:~@]*){0,4})"
    R"((?: (?:'[^'=]+'|[^ '=]+)=-?[0-9.]+(?:s|ms|us|%|B|KB|MB|TB|c)?(?:;[-0-9.:~@]*){0,4})*)\n)");

TEST(Monitor, NagiosLineAndStatus) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> files;
        bool strict;
        const char* state;
        int status;
    };
    const Case cases[] = {
        {"sound", {{"A.DAT", kSound}}, false, "OK", 0},
        {"unused entries only", {{"A.DAT", kSound}, {"U.DAT", kUnused}}, false, "OK", 0},
        {"unused entries, strict", {{"U.DAT", kUnused}}, true, "CRITICAL", 2},
        {"damage", {{"A.DAT", kSound}, {"BAD.DAT", kDamaged}}, false, "CRITICAL", 2},
        {"not checkable", {{"A.DAT", kSound}, {"CUT.DAT", kCut}}, false, "UNKNOWN", 3},
        {"not checkable, strict", {{"CUT.DAT", kCut}}, true, "CRITICAL", 2},
        {"damage and not checkable",
         {{"BAD.DAT", kDamaged}, {"CUT.DAT", kCut}},
         false,
         "CRITICAL",
         2},
        {"no Btrieve file", {}, false, "WARNING", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        for (const auto& [name, recipe] : c.files) build(scratch.path(), name, recipe);
        std::vector<std::string> args = {"survey", "--format", "nagios", scratch.path().string()};
        if (c.strict) args.push_back("--strict");
        const Result r = inspect(args);
        EXPECT_EQ(r.status, c.status) << r.out;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.out, m, kNagiosLine)) << r.out;
        EXPECT_EQ(m[1], c.state) << r.out;
    }
}

TEST(Monitor, ReportIsOnePageWithProblemsFirst) {
    ScratchDir scratch;
    const fs::path dir = scratch.path() / "db";
    build(dir, "A.DAT", kSound);
    build(dir, "U.DAT", kUnused);
    build(dir, "Z.DAT", kDamaged);
    build(dir, "CUT.DAT", kCut);
    // Files of one rank stay in path order; a name holds markup.
    build(dir, "C.DAT", kSound);
    build(dir, "B<i>.DAT", kSound);
    build(dir, "Y.DAT", kDamaged);
    const fs::path out = scratch.path() / "report.html";
    const Result r = inspect({"report", dir.string(), "-o", out.string()});
    EXPECT_EQ(r.status, 2) << r.err;
    const std::string page = readText(out);
    // Self-contained: no address but the SVG namespace, no outside script,
    // style or picture.
    const std::regex outside(R"re((src|href)=["'](?!#)|<link|url\(|@import)re");
    EXPECT_FALSE(std::regex_search(page, outside));
    std::string stripped = std::regex_replace(page, std::regex("http://www.w3.org/2000/svg"), "");
    EXPECT_EQ(stripped.find("http"), std::string::npos);
    // The rows, problems first: damage, not checked, unused entries, sound.
    std::vector<std::string> rows;
    const std::regex row(R"re(<tr class="(\w+)" data-rank="(\d+)" data-path="([^"]+)")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), row);
         it != std::sregex_iterator(); ++it) {
        rows.push_back((*it)[3].str() + ":" + (*it)[1].str());
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"Y.DAT:damage", "Z.DAT:damage", "CUT.DAT:failed",
                                              "U.DAT:unused", "A.DAT:ok", "B&lt;i&gt;.DAT:ok",
                                              "C.DAT:ok"}));
    EXPECT_EQ(page.find("B<i"), std::string::npos) << "a name's markup reached the page";
    // The version and the command that made the page.
    EXPECT_NE(page.find("Made by Tabulon " + std::string(TABULON_VERSION) +
                        ": <code>tabulon-inspect report " + dir.string() + " -o " + out.string() +
                        "</code>"),
              std::string::npos);
    // Maps and findings for the files with findings only: the damaged one
    // drawn, the other waiting in a template.
    EXPECT_EQ(std::regex_search(page, std::regex(R"(<h2>A\.DAT</h2>)")), false);
    EXPECT_NE(page.find("<h2>Z.DAT</h2>"), std::string::npos);
    EXPECT_NE(page.find("<td>points-elsewhere</td><td class=\"sev-damage\">damage</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<td>unused-zero-pointer</td><td class=\"sev-unused-entry\">unused-entry</td>"),
              std::string::npos);
    size_t svgs = 0, templates = 0;
    for (size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at + 1)) {
        ++svgs;
    }
    for (size_t at = page.find("<template"); at != std::string::npos;
         at = page.find("<template", at + 1)) {
        ++templates;
    }
    EXPECT_EQ(svgs, 3u);
    EXPECT_EQ(templates, 1u);
}

}  // namespace
}  // namespace itest
