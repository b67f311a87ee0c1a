// The inspector's figures against the check's report on the same files: the
// entries, the map and the pairs of every golden recipe, the survey of a
// folder of them, and the survey of the real files when they are at hand.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "builder/recipe.h"
#include "check/problems.h"
#include "support.h"

using namespace tabulon;

namespace itest {
namespace {

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file sets of the golden cases that build from a recipe, one folder
// each; returns main file paths by case name.
std::map<std::string, std::string> buildGoldenRecipes(const fs::path& into) {
    std::map<std::string, std::string> built;
    for (const auto& c :
         fs::directory_iterator(fs::path(TABULON_SOURCE_DIR) / "tests/golden/cases")) {
        const fs::path recipe = c.path() / "recipe";
        if (!fs::exists(recipe) || fs::exists(c.path() / "realfile")) continue;
        const std::string text = readText(recipe);
        if (text.find("realfile") != std::string::npos) continue;
        const fs::path dir = into / c.path().filename();
        fs::create_directories(dir);
        try {
            tbuild::WrittenSet set = tbuild::buildFromRecipe(text, dir.string(), "TEST.DAT");
            if (!set.members.empty()) built[c.path().filename().string()] = set.members[0];
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.path().filename() << ": " << e.what();
        }
    }
    return built;
}

// What the survey says about each file, by path relative to its folder.
std::map<std::string, Json> surveyRows(const Json& survey) {
    std::map<std::string, Json> rows;
    for (const Json& f : survey.at("files")) rows[f.at("path").get<std::string>()] = f;
    return rows;
}

TEST(AgreesWithCheck, EveryGoldenRecipe) {
    ScratchDir scratch;
    const auto built = buildGoldenRecipes(scratch.path());
    ASSERT_GT(built.size(), 100u);
    const std::string svg = (scratch.path() / "map.svg").string();
    size_t compared = 0;
    std::map<std::string, Check> checks;
    for (const auto& [name, main] : built) {
        SCOPED_TRACE(name);
        const Check c = check(main);
        checks[name] = c;
        const Result entries = inspect({"--json", "entries", main});
        if (c.status != 0 || c.preSix) {
            // No PAT to look at: one line on standard error, nothing on standard output.
            EXPECT_EQ(entries.status, 2);
            EXPECT_EQ(entries.out, "");
            EXPECT_EQ(std::count(entries.err.begin(), entries.err.end(), '\n'), 1) << entries.err;
            continue;
        }
        ASSERT_EQ(entries.status, 0) << entries.err;
        expectSameCounters(entries.json(), c.counters, "entries");
        // Every problem the report counts is one finding of damage or of an
        // unused entry; info findings are no problems.
        const Json sev = entries.json().at("severities");
        EXPECT_EQ(sev.at("damage").get<uint32_t>() + sev.at("unusedEntry").get<uint32_t>(),
                  c.counters.totalProblems);
        // The survey counts the same findings of the engine, by severity.
        const Result survey = inspect({"--json", "survey", main});
        const Json files = survey.out.empty() ? Json::array() : survey.json().at("files");
        if (files.size() == 1 && files[0].at("state") == "checked") {
            const Json& f = files[0].at("findings");
            // Where the FCR names pairs past the end (entries says from
            // which pair on), the survey adds one info finding of its own.
            const uint32_t pastEnd = entries.json().at("pastEnd").is_null() ? 0 : 1;
            for (const char* s : {"damage", "unusedEntry", "info"}) {
                const uint32_t own = std::string(s) == "info" ? pastEnd : 0;
                EXPECT_EQ(f.at(s).get<uint32_t>(), sev.at(s).get<uint32_t>() + own) << s;
            }
            EXPECT_EQ(files[0].at("damaged").get<bool>(), sev.at("damage").get<uint32_t>() > 0);
        }

        const Result map = inspect({"--json", "map", main, "-o", svg});
        ASSERT_EQ(map.status, 0) << map.err;
        expectSameCounters(map.json(), c.counters, "map");

        const Result pairs = inspect({"--json", "pairs", main});
        ASSERT_EQ(pairs.status, 0) << pairs.err;
        const Json p = pairs.json();
        uint32_t headerProblems = 0;
        for (const Json& row : p.at("pairs"))
            headerProblems += row.at("headerProblems").get<uint32_t>();
        EXPECT_EQ(headerProblems, c.counters.patProblems);
        EXPECT_EQ(p.at("pairs").size() + (p.at("pastEnd").is_null() ? 0 : 1),
                  c.counters.patPagesExamined);
        ++compared;
    }
    EXPECT_GT(compared, 100u);

    // The survey of the whole folder: every set it checks, as the check does.
    const Result survey = inspect({"--json", "survey", scratch.path().string(), "-j", "2"});
    ASSERT_NE(survey.out, "") << survey.err;
    const auto rows = surveyRows(survey.json());
    size_t surveyed = 0;
    for (const auto& [name, main] : built) {
        const std::string rel = fs::path(main).lexically_relative(scratch.path()).generic_string();
        auto it = rows.find(rel);
        if (it == rows.end()) continue;
        SCOPED_TRACE(rel);
        const Check& c = checks[name];
        if (!it->second.at("error").is_null()) {
            EXPECT_NE(c.status, 0) << "the survey could not check a file the check opens";
            continue;
        }
        EXPECT_EQ(c.status, 0);
        if (it->second.at("problems").is_null()) {
            EXPECT_TRUE(c.preSix);
            continue;
        }
        expectSameCounters(it->second, c.counters, "survey");
        ++surveyed;
    }
    EXPECT_GT(surveyed, 100u);
}

// A folder of sets with known problems, a pre-6.x file, a file that is not a
// Btrieve file, a set in a subfolder and one whose second FCR copy is gone.
struct KnownSet {
    const char* path;
    const char* recipe;
    uint32_t problems;
    // Findings by severity: damage, and findings on entries of stored type 0.
    uint32_t damage, unused;
};

const KnownSet kKnownSets[] = {
    {"A/SOUND.DAT", "family 0x0800 page 1024 logical 300\nsplit every 100000\ndelta", 0, 0, 0},
    {"A/MISDIRECTED.DAT", "family 0x0950 page 4096 logical 50\nentry 7 logical 8\nentry 9 beyond 0",
     2, 2, 0},
    {"B/HEADERS.BTR",
     "family 0x0600 page 512 logical 100\npat 1 copy 1 signature\npat 1 copy 0 number 3", 2, 2, 0},
    {"B/UNUSED.DAT", "family 0x0600 page 1024 logical 20\nentry 5 type 0\nentry 6 type 0", 2, 0, 2},
    {"B/sub/ZERO.DDF",
     "family 0x0700 page 1024 logical 40\nheader 5 zero\nentry 8 type 0\nheader 12 nousagebit", 3,
     2, 1},
    {"C/OLD.DAT", "family 0x0500 page 1024 logical 10", 0, 0, 0},
    {"C/CRYPT.DAT",
     "family 0x0D00 page 1024 logical 30 encrypted 0x00 0x80 0 0 0 0 0 0 0\nheader 4 usage 0x0005",
     1, 1, 0},
};

TEST(Survey, FolderOfKnownProblems) {
    ScratchDir scratch;
    std::set<std::string> expected;
    for (const KnownSet& k : kKnownSets) {
        const fs::path p = scratch.path() / k.path;
        fs::create_directories(p.parent_path());
        tbuild::buildFromRecipe(k.recipe, p.parent_path().string(), p.filename().string());
        expected.insert(k.path);
    }
    std::ofstream(scratch.path() / "A/README.TXT") << "Fresh orders go in ORDERS.DAT\n";
    std::ofstream(scratch.path() / "C/EMPTY.DAT");

    const Result one = inspect({"--json", "survey", scratch.path().string(), "-j", "1"});
    const Result three = inspect({"--json", "survey", scratch.path().string(), "-j", "3"});
    EXPECT_EQ(one.out, three.out);
    EXPECT_EQ(one.status, 1) << one.err;
    const Json j = one.json();

    std::vector<std::string> listed;
    for (const Json& f : j.at("files")) listed.push_back(f.at("path").get<std::string>());
    EXPECT_EQ(listed, std::vector<std::string>(expected.begin(), expected.end()));

    const auto rows = surveyRows(j);
    uint32_t total = 0;
    for (const KnownSet& k : kKnownSets) {
        SCOPED_TRACE(k.path);
        const Json& row = rows.at(k.path);
        const Check c = check((scratch.path() / k.path).string());
        if (c.preSix) {
            EXPECT_TRUE(row.at("problems").is_null());
            EXPECT_EQ(row.at("version").get<int>(), 0x0500);
            continue;
        }
        expectSameCounters(row, c.counters, "survey");
        EXPECT_EQ(row.at("problems").at("total").get<uint32_t>(), k.problems);
        EXPECT_EQ(row.at("findings").at("damage").get<uint32_t>(), k.damage);
        EXPECT_EQ(row.at("findings").at("unusedEntry").get<uint32_t>(), k.unused);
        EXPECT_EQ(row.at("damaged").get<bool>(), k.damage > 0);
        total += k.problems;
    }
    EXPECT_EQ(j.at("total").at("problems").at("total").get<uint32_t>(), total);

    // The text form holds the same rows, a total row, in path order.
    const Result text = inspect({"survey", scratch.path().string()});
    size_t at = 0;
    for (const std::string& path : listed) {
        size_t next = text.out.find("\n" + path + " ", at);
        ASSERT_NE(next, std::string::npos) << path << "\n" << text.out;
        at = next;
    }
    EXPECT_NE(text.out.find("total: 7 files"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("6 checked (4 with damage, 1 with findings on unused entries only)"),
              std::string::npos)
        << text.out;

    // A set whose FCR says Btrieve but which cannot be opened: status 2.
    tbuild::buildFromRecipe("family 0x0800 page 1024 logical 10\nsize 1024",
                            (scratch.path() / "C").string(), "CUT.DAT");
    const Result cut = inspect({"--json", "survey", scratch.path().string()});
    EXPECT_EQ(cut.status, 2);
    const auto cutRows = surveyRows(cut.json());
    ASSERT_EQ(cutRows.count("C/CUT.DAT"), 1u) << cut.out;
    const Json& bad = cutRows.at("C/CUT.DAT");
    EXPECT_TRUE(bad.at("problems").is_null());
    EXPECT_NE(bad.at("error").get<std::string>(), "");
}

TEST(Survey, StatusFollowsDamageOnly) {
    ScratchDir scratch;
    tbuild::buildFromRecipe("family 0x0950 page 2048 logical 80", scratch.path().string(),
                            "OK.DAT");
    EXPECT_EQ(inspect({"survey", scratch.path().string()}).status, 0);
    // Findings on entries of stored type 0 alone: no damage, unless --strict.
    tbuild::buildFromRecipe("family 0x0600 page 1024 logical 20\nentry 5 type 0",
                            scratch.path().string(), "UNUSED.DAT");
    const Result r = inspect({"survey", scratch.path().string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const Result strict = inspect({"--json", "survey", "--strict", scratch.path().string()});
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_EQ(strict.json().at("total").at("damaged").get<int>(), 1);
}

TEST(AgreesWithCheck, RealFiles) {
    const fs::path source = TABULON_REALFILES_DIR;
    if (!fs::is_directory(source)) GTEST_SKIP() << "no real files";
    ScratchDir scratch;
    fs::copy(source, scratch.path() / "real", fs::copy_options::recursive);
    const fs::path root = scratch.path() / "real";
    const Result survey = inspect({"--json", "survey", root.string()});
    ASSERT_NE(survey.out, "") << survey.err;
    const auto rows = surveyRows(survey.json());
    size_t compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const std::string rel = entry.path().lexically_relative(root).generic_string();
        SCOPED_TRACE(rel);
        const Check c = check(entry.path().string());
        auto it = rows.find(rel);
        if (it == rows.end()) {
            // Only files the check cannot use, and the members of sets, are left out.
            const std::string ext = entry.path().extension().string();
            EXPECT_TRUE(c.status != 0 || c.counters.totalPagesExamined == 0 ||
                        (ext.size() == 4 && ext[1] == '^'))
                << "a file the check reads is missing from the survey";
            continue;
        }
        ASSERT_TRUE(it->second.at("error").is_null()) << it->second.dump();
        if (c.preSix) {
            EXPECT_TRUE(it->second.at("problems").is_null());
            continue;
        }
        expectSameCounters(it->second, c.counters, "survey");
        const Result entries = inspect({"--json", "entries", entry.path().string()});
        ASSERT_EQ(entries.status, 0) << entries.err;
        expectSameCounters(entries.json(), c.counters, "entries");
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

// The inspector's manual names every problem code with its severity.
TEST(ProblemCodes, EveryCodeIsInTheManual) {
    const std::string manual =
        readText(fs::path(TABULON_SOURCE_DIR) / "man" / "tabulon-inspect.1.in");
    std::set<std::string> keys;
    for (const tabulon::ProblemRow& row : tabulon::problemTable()) {
        EXPECT_TRUE(keys.insert(row.key).second) << row.key << " twice";
        const std::string item =
            std::string(".It Li ") + row.key + " Pq " + tabulon::severityKey(row.severity) + "\n";
        EXPECT_NE(manual.find(item), std::string::npos) << item;
    }
}

}  // namespace
}  // namespace itest
