// The inspector's figures against the check's report on the same files: the
// entries, the map and the pairs of every golden recipe, the survey of a
// folder of them, and the survey of the real files when they are at hand.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <variant>

#include "builder/recipe.h"
#include "check/problems.h"
#include "check/run.h"
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
        const Json sev = entries.json().at("findingCounts");
        EXPECT_EQ(sev.at("damage").get<uint32_t>() + sev.at("unusedEntry").get<uint32_t>(),
                  c.counters.totalProblems);
        // The survey counts the same findings of the engine, by severity.
        const Result survey = inspect({"--json", "survey", main});
        const Json files = survey.out.empty() ? Json::array() : survey.json().at("files");
        if (files.size() == 1 && files[0].at("state") == "checked") {
            const Json& f = files[0].at("findingCounts");
            for (const char* s : {"damage", "unusedEntry", "info"}) {
                EXPECT_EQ(f.at(s).get<uint32_t>(), sev.at(s).get<uint32_t>()) << s;
            }
            // A set that lacks pages its FCR counts is damaged whatever its
            // findings, as info says it lacks them.
            const Json incomplete = inspect({"--json", "info", main}).json().at("incomplete");
            const bool lacksPages = !incomplete.is_null() &&
                                    incomplete.get<std::string>().find(" pages") != std::string::npos;
            EXPECT_EQ(files[0].at("incomplete").is_null(), !lacksPages);
            EXPECT_EQ(files[0].at("damaged").get<bool>(),
                      sev.at("damage").get<uint32_t>() > 0 || lacksPages);
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
        // The check reads the first FCR copy only; a file whose first copy is
        // no FCR the survey reads from its second, as info does: damage.
        if (it->second.at("error").is_null() &&
            inspect({"--json", "info", main}).json().at("damagedFcrCopy") == 0) {
            EXPECT_TRUE(it->second.at("damaged").get<bool>());
            continue;
        }
        if (!it->second.at("error").is_null()) {
            EXPECT_NE(c.status, 0) << "the survey could not check a file the check opens";
            continue;
        }
        EXPECT_EQ(c.status, 0);
        if (it->second.at("problemCounts").is_null()) {
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
    std::ofstream(scratch.path() / "C/NOTES.DAT") << "F" << std::string(600, ' ');  // no FCR
    // .^80 is no extension file's name: a file of its own.
    fs::copy_file(scratch.path() / "B/UNUSED.DAT", scratch.path() / "B/UNUSED.^80");
    expected.insert("B/UNUSED.^80");

    const Result one = inspect({"--json", "survey", scratch.path().string(), "-j", "1"});
    const Result three = inspect({"--json", "survey", scratch.path().string(), "-j", "3"});
    // The same document but for the second the survey ran in.
    Json oneJson = one.json(), threeJson = three.json();
    oneJson.erase("time");
    threeJson.erase("time");
    EXPECT_EQ(oneJson, threeJson);
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
            EXPECT_TRUE(row.at("problemCounts").is_null());
            EXPECT_EQ(row.at("version").get<int>(), 0x0500);
            continue;
        }
        expectSameCounters(row, c.counters, "survey");
        EXPECT_EQ(row.at("problemCounts").at("total").get<uint32_t>(), k.problems);
        EXPECT_EQ(row.at("findingCounts").at("damage").get<uint32_t>(), k.damage);
        EXPECT_EQ(row.at("findingCounts").at("unusedEntry").get<uint32_t>(), k.unused);
        EXPECT_EQ(row.at("damaged").get<bool>(), k.damage > 0);
        total += k.problems;
    }
    EXPECT_EQ(j.at("totals").at("problemCounts").at("total").get<uint32_t>(), total + 2);  // .^80

    // The text form holds the same rows, a total row, in path order.
    const Result text = inspect({"survey", scratch.path().string()});
    size_t at = 0;
    for (const std::string& path : listed) {
        size_t next = text.out.find("\n" + path + " ", at);
        ASSERT_NE(next, std::string::npos) << path << "\n" << text.out;
        at = next;
    }
    EXPECT_NE(text.out.find("total: 8 files"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("7 checked (4 with damage, 2 with findings on unused entries only)"),
              std::string::npos)
        << text.out;
    // Several folders: each one's files in the order the folders are named.
    const Json two = inspect({"--json", "survey", (scratch.path() / "C").string(),
                              (scratch.path() / "A").string()}).json();
    EXPECT_EQ(two.at("files").at(0).at("dir").get<std::string>(), (scratch.path() / "C").string());
    // A file named itself is reported, whatever its name says.
    EXPECT_EQ(inspect({"survey", (scratch.path() / "A/README.TXT").string()}).status, 2);

    // A set whose FCR says Btrieve but which cannot be opened: status 2.
    tbuild::buildFromRecipe("family 0x0800 page 1024 logical 10\nsize 1024",
                            (scratch.path() / "C").string(), "CUT.DAT");
    const Result cut = inspect({"--json", "survey", scratch.path().string()});
    EXPECT_EQ(cut.status, 2);
    const auto cutRows = surveyRows(cut.json());
    ASSERT_EQ(cutRows.count("C/CUT.DAT"), 1u) << cut.out;
    const Json& bad = cutRows.at("C/CUT.DAT");
    EXPECT_TRUE(bad.at("problemCounts").is_null());
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
    EXPECT_EQ(strict.json().at("totals").at("damagedFiles").get<int>(), 1);
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
            EXPECT_TRUE(it->second.at("problemCounts").is_null());
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

// The words of the documents against the program: the problem table, the
// JSON schemas and the metric names.
const fs::path kSource = TABULON_SOURCE_DIR;

std::string trim(std::string s) {
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// The words of a text in backticks; of a dotted path (`fcr[].pageCount`)
// the last part.
std::set<std::string> tickedWords(const std::string& text) {
    std::set<std::string> words;
    const std::regex ticked("`([^`]+)`");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), ticked);
         it != std::sregex_iterator(); ++it) {
        const std::string w = (*it)[1];
        words.insert(w.substr(w.rfind('.') + 1));
    }
    return words;
}

// The one word in backticks of a cell.
std::string word(const std::string& cell) {
    const std::set<std::string> w = tickedWords(cell);
    return w.size() == 1 ? *w.begin() : cell;
}

// The rows of the markdown table whose head row begins with `head`, cells
// trimmed.
std::vector<std::vector<std::string>> markdownTable(const std::string& text,
                                                    const std::string& head) {
    std::vector<std::vector<std::string>> rows;
    size_t at = text.find("\n| " + head + " |");
    if (at == std::string::npos) return rows;
    at = text.find('\n', text.find('\n', at + 1) + 1);  // past the head and the rule
    while (at != std::string::npos && text.compare(at + 1, 1, "|") == 0) {
        const size_t end = text.find('\n', at + 1);
        const std::string line = text.substr(at + 2, end - at - 3);  // inside the outer bars
        std::vector<std::string> cells;
        size_t from = 0;
        for (size_t bar; (bar = line.find(" |", from)) != std::string::npos; from = bar + 2) {
            cells.push_back(trim(line.substr(from, bar - from)));
        }
        cells.push_back(trim(line.substr(from)));
        rows.push_back(cells);
        at = end;
    }
    return rows;
}

const char* const kCommands[] = {"info", "pairs", "entries", "page",  "map",
                                 "plan", "advise", "survey", "report"};
const std::set<std::string> kCountObjects = {"examined", "problemCounts", "findingCounts",
                                             "byClass", "pageStates"};

// The keys of the schemas: field keys by command, and the keys of each
// count object.
struct SchemaKeys {
    std::map<std::string, std::set<std::string>> commandsOf;
    std::map<std::string, std::set<std::string>> countKeys;

    void walk(const Json& j, const std::string& command, const std::string& inside) {
        if (j.is_array()) {
            for (const Json& v : j) walk(v, command, inside);
            return;
        }
        if (!j.is_object()) return;
        for (const auto& [key, value] : j.items()) {
            if (key != "properties") {
                walk(value, command, inside);
                continue;
            }
            for (const auto& [name, sub] : value.items()) {
                if (inside.empty()) {
                    commandsOf[name].insert(command);
                } else {
                    countKeys[inside].insert(name);
                }
                walk(sub, command, kCountObjects.count(name) ? name : inside);
            }
        }
    }
};

SchemaKeys schemaKeys() {
    SchemaKeys k;
    for (const char* c : kCommands) {
        const fs::path p = kSource / "docs/schema" / (std::string(c) + ".schema.json");
        k.walk(Json::parse(readText(p)), c, "");
    }
    return k;
}

// The table of keys by command in docs/json.md is the schemas' keys, and
// so is the table of the count objects' keys.
TEST(Vocabulary, TheKeyTableIsTheSchemas) {
    const std::string doc = readText(kSource / "docs/json.md");
    const SchemaKeys keys = schemaKeys();
    std::map<std::string, std::set<std::string>> written;
    for (const auto& row : markdownTable(doc, "key")) {
        ASSERT_EQ(row.size(), 2 + std::size(kCommands)) << row[0];
        const std::string key = word(row[0]);
        for (size_t c = 0; c < std::size(kCommands); ++c) {
            if (row[2 + c] == "x") written[key].insert(kCommands[c]);
        }
        EXPECT_TRUE(written.count(key)) << key << " is in no command";
    }
    EXPECT_GT(written.size(), 100u);
    EXPECT_EQ(written, keys.commandsOf);
    std::map<std::string, std::set<std::string>> counts;
    for (const auto& row : markdownTable(doc, "object")) counts[word(row[0])] = tickedWords(row[1]);
    EXPECT_EQ(counts, keys.countKeys);
}

// Every problem code with its severity: in the problem table, in the list
// of codes of the manual and of docs/json.md, and each severity of the
// manual's SEVERITIES naming exactly its codes.
// Every command that reports findings reports the engine's findings: the
// same multiset of (code, pair, logical page) for the entries and of (code,
// pair) for the pairs' own findings, the same counts by severity in the
// survey and the map (whose picture outlines the most severe of them), the
// same codes in the report's tables, the PAT copy's own findings on its page,
// and the same console text in a plan that mends nothing.
using Findings = std::multiset<std::string>;

// The JSON key of a severity ("unused-entry" is "unusedEntry").
std::string camelSeverity(const std::string& key) {
    return key == "unused-entry" ? "unusedEntry" : key;
}
std::string camelSeverity(Severity s) {
    return camelSeverity(severityKey(s));
}

// The standard output of tabulon FILE /R /F0: the check's text.
std::string checkText(const std::string& path) {
    const char* argv[] = {"tabulon", path.c_str(), "/R", "/F0"};
    BufferOutput out;
    runTabulon(4, argv, out, systemPlatform());
    return out.outText;
}

std::string findingKey(const std::string& code, uint32_t pair, uint32_t logical) {
    return code + " pair " + std::to_string(pair) +
           (logical ? " logical " + std::to_string(logical) : std::string());
}

struct EngineView {
    Findings all;
    size_t onPages = 0;  // the findings with a page to draw them on
    std::map<std::string, uint32_t> bySeverity, byCode;
    std::map<std::pair<uint32_t, int>, Findings> byCopy;  // the PAT header findings
    std::string out, err;
};

EngineView engineFindings(const std::string& main) {
    EventLog log;
    ScanOptions o;
    o.progress = 0;
    runCheck(main, o, RunEnvironment{systemPlatform(), log, ""});
    EngineView v;
    for (const Event& e : log.events) {
        const auto* f = std::get_if<Finding>(&e);
        if (!f) continue;
        const bool entry = f->row().counter != CounterClass::PatPage && f->logical != 0;
        v.all.insert(findingKey(f->row().key, f->pair, entry ? f->logical : 0));
        ++v.bySeverity[camelSeverity(f->severity())];
        ++v.byCode[f->row().key];
        if (f->code != Problem::LastPairPastEnd) ++v.onPages;
        // A copy's page shows its header findings and the pair's unknown layout.
        if (f->row().counter == CounterClass::PatPage)
            v.byCopy[{f->pair, f->copy}].insert(f->row().key);
        if (f->code == Problem::PatLayoutUnknown) v.byCopy[{f->pair, 0}].insert(f->row().key);
    }
    return v;
}

void expectSeverities(const Json& counts, const EngineView& v, const char* what) {
    for (const char* s : {"damage", "unusedEntry", "info"}) {
        const auto it = v.bySeverity.find(s);
        EXPECT_EQ(counts.at(s).get<uint32_t>(), it == v.bySeverity.end() ? 0u : it->second)
            << what << " " << s;
    }
}

Findings listedFindings(const Json& entries, const Json& pairs) {
    Findings got;
    for (const Json& e : entries.at("entries")) {
        for (const Json& p : e.at("problems")) {
            got.insert(findingKey(p.at("code").get<std::string>(), e.at("pair").get<uint32_t>(),
                                  e.at("logical").get<uint32_t>()));
        }
    }
    for (const Json& r : pairs.at("pairs")) {
        for (const Json& p : r.at("problems"))
            got.insert(
                findingKey(p.at("code").get<std::string>(), r.at("pair").get<uint32_t>(), 0));
    }
    // The pair the walk could not reach is the pairs' own key.
    if (!pairs.at("pastEnd").is_null()) {
        got.insert(findingKey("last-pair-past-end", pairs.at("pastEnd").get<uint32_t>(), 0));
    }
    return got;
}

// The codes of the report's tables of findings.
std::map<std::string, uint32_t> reportCodes(const std::string& html) {
    std::map<std::string, uint32_t> codes;
    static const std::regex row("<tr><td>([a-z-]+)</td><td class=\"sev-");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row);
         it != std::sregex_iterator(); ++it) {
        ++codes[(*it)[1].str()];
    }
    return codes;
}

// The page command on copy 0 of each pair shows the copy's own header
// findings.
void expectPatCopies(const std::string& main, const EngineView& v, const Json& pairs,
                     uint64_t pageSize) {
    for (const Json& r : pairs.at("pairs")) {
        const uint32_t n = r.at("pair").get<uint32_t>();
        const uint64_t at = r.at("offset").get<uint64_t>();
        if (pageSize == 0 || at % pageSize != 0) continue;
        const Result page = inspect({"--json", "page", main, std::to_string(at / pageSize)});
        if (page.status != 0) continue;
        const Json j = page.json();
        if (!j.contains("pat") || !j.at("pat").is_object() || j.at("pat").at("copy") != 0) continue;
        Findings got;
        for (const Json& p : j.at("pat").at("problems"))
            got.insert(p.at("code").get<std::string>());
        const auto it = v.byCopy.find({n, 0});
        EXPECT_EQ(got, it == v.byCopy.end() ? Findings{} : it->second) << "page of pair " << n;
    }
}

TEST(AgreesWithEngine, EveryCommandReportsTheSameFindings) {
    ScratchDir scratch;
    const auto built = buildGoldenRecipes(scratch.path());
    ASSERT_GT(built.size(), 100u);
    const std::string svg = (scratch.path() / "map.svg").string();
    const std::string html = (scratch.path() / "report.html").string();
    size_t compared = 0;
    for (const auto& [name, main] : built) {
        SCOPED_TRACE(name);
        const Result entries = inspect({"--json", "entries", main});
        if (entries.status != 0) continue;  // no PAT: nothing to agree on
        const EngineView v = engineFindings(main);
        const Result pairs = inspect({"--json", "pairs", main});
        ASSERT_EQ(pairs.status, 0) << pairs.err;
        EXPECT_EQ(listedFindings(entries.json(), pairs.json()), v.all) << "entries and pairs";

        const Result survey = inspect({"--json", "survey", main});
        const Json files = survey.out.empty() ? Json::array() : survey.json().at("files");
        const bool surveyed = files.size() == 1 && files[0].at("state") == "checked";
        if (surveyed) expectSeverities(files[0].at("findingCounts"), v, "survey");
        const Result map = inspect({"--json", "map", main, "-o", svg});
        ASSERT_EQ(map.status, 0) << map.err;
        expectSeverities(map.json().at("findingCounts"), v, "map");
        const std::string picture = readText(svg);
        for (const char* s : {"damage", "unused-entry", "info"}) {
            const bool drawn =
                picture.find(std::string("data-severity=\"") + s) != std::string::npos;
            if (drawn) {
                EXPECT_TRUE(v.bySeverity.count(camelSeverity(s))) << "map draws " << s;
            }
        }
        if (v.onPages > 0 && map.json().at("physicalPages").get<uint64_t>() > 0) {
            EXPECT_NE(picture.find("data-severity="), std::string::npos) << "map draws none";
        }

        if (surveyed && v.all.size() <= 200) {
            const Result report = inspect({"--json", "report", main, "-o", html});
            std::map<std::string, uint32_t> want = v.byCode;
            if (v.all.empty()) want.clear();
            EXPECT_EQ(reportCodes(readText(html)), want) << "report";
        }
        const Result info = inspect({"--json", "info", main});
        const Json size = info.status == 0 ? info.json().at("pageSize") : Json();
        const uint64_t unit = size.is_number() ? size.get<uint64_t>() : 0;
        expectPatCopies(main, v, pairs.json(), unit);

        const Result plan = inspect({"--json", "plan", main, "/R", "/F0"});
        EXPECT_EQ(plan.json().at("stdout").get<std::string>(), checkText(main)) << "plan";
        ++compared;
    }
    EXPECT_GT(compared, 100u);
}

TEST(ProblemCodes, EveryCodeIsInTheManual) {
    const std::string manual = readText(kSource / "man/tabulon-inspect.1.in");
    const std::string doc = readText(kSource / "docs/json.md");
    std::map<std::string, std::string> table, inManual, inDoc;
    std::map<std::string, std::set<std::string>> bySeverity;
    for (const tabulon::ProblemRow& row : tabulon::problemTable()) {
        EXPECT_TRUE(table.emplace(row.key, tabulon::severityKey(row.severity)).second) << row.key;
        bySeverity[tabulon::severityKey(row.severity)].insert(row.key);
    }
    const std::regex item(R"(\n\.It Li ([a-z-]+) Pq ([a-z-]+)\n)");
    for (auto it = std::sregex_iterator(manual.begin(), manual.end(), item);
         it != std::sregex_iterator(); ++it) {
        inManual[(*it)[1]] = (*it)[2];
    }
    EXPECT_EQ(inManual, table);
    for (const auto& row : markdownTable(doc, "code")) {
        inDoc[word(row[0])] = row.size() > 1 ? word(row[1]) : "";
    }
    EXPECT_EQ(inDoc, table);

    const size_t from = manual.find("\n.Sh SEVERITIES\n");
    ASSERT_NE(from, std::string::npos);
    const std::string section = manual.substr(from, manual.find("\n.Sh ", from + 1) - from);
    for (const auto& [severity, codes] : bySeverity) {
        SCOPED_TRACE(severity);
        const size_t at = section.find("\n.It " + severity + "\n");
        ASSERT_NE(at, std::string::npos);
        const size_t end = std::min(section.find("\n.It ", at + 1), section.find("\n.El", at));
        std::set<std::string> named;
        const std::string text = section.substr(at, end - at);
        const std::regex li(R"(\n\.Li ([a-z-]+))");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), li);
             it != std::sregex_iterator(); ++it) {
            named.insert((*it)[1]);
        }
        EXPECT_EQ(named, codes);
    }
}

// Everything the documents may call a key, a code, a severity or a metric.
std::set<std::string> knownWords() {
    const SchemaKeys keys = schemaKeys();
    std::set<std::string> known;
    for (const auto& [k, _] : keys.commandsOf) known.insert(k);
    for (const auto& [_, inner] : keys.countKeys) known.insert(inner.begin(), inner.end());
    for (const tabulon::ProblemRow& row : tabulon::problemTable()) known.insert(row.key);
    for (const char* s : {"damage", "unused-entry", "info"}) known.insert(s);
    // The metric names and labels of a survey that finds damage, with an
    // expected minimum of files.
    ScratchDir scratch;
    tbuild::buildFromRecipe("family 0x0800 page 1024 logical 60\nentry 7 logical 8",
                            scratch.path().string(), "BAD.DAT");
    const std::string prom =
        inspect({"survey", "--format", "prometheus", "--expect", "1", scratch.path().string()})
            .out;
    const std::regex metric(R"((tabulon_\w+)|[{,](\w+)=)");
    for (auto it = std::sregex_iterator(prom.begin(), prom.end(), metric);
         it != std::sregex_iterator(); ++it) {
        known.insert((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return known;
}

// Names of the code that the README's map of the sources mentions.
const std::set<std::string> kCodeNames = {"runInspect", "problemTable", "gatherAt", "runCheck",
                                           "runTabulon", "openFolder", "openInFolder", "listFolder"};

// The manual's literal words (.Li) and the lowerCamelCase words in
// backticks of the README and docs/*.md are keys, codes, severities or
// metrics the program has; no document but the table of renamed keys names
// a key that is gone; and a severity followed in its clause by parentheses
// names there exactly its codes.
TEST(Vocabulary, DocumentsNameOnlyWhatTheProgramHas) {
    const std::set<std::string> known = knownWords();
    const std::string manual = readText(kSource / "man/tabulon-inspect.1.in");
    const std::regex li(R"(\n\.Li ([A-Za-z_][\w-]*))");
    for (auto it = std::sregex_iterator(manual.begin(), manual.end(), li);
         it != std::sregex_iterator(); ++it) {
        EXPECT_TRUE(known.count((*it)[1])) << "tabulon-inspect(1) names " << (*it)[1];
    }
    std::vector<fs::path> docs = {kSource / "README.md"};
    for (const auto& e : fs::directory_iterator(kSource / "docs")) {
        if (e.path().extension() == ".md") docs.push_back(e.path());
    }
    std::set<std::string> gone;
    for (const auto& row : markdownTable(readText(kSource / "docs/json.md"), "command")) {
        for (const std::string& w : tickedWords(row[1])) {
            if (!known.count(w)) gone.insert(w);
        }
    }
    EXPECT_TRUE(gone.count("severities") && gone.count("pageCount")) << "the renamed table";
    std::map<std::string, std::set<std::string>> codesOf;
    for (const tabulon::ProblemRow& row : tabulon::problemTable()) {
        codesOf[tabulon::severityKey(row.severity)].insert(row.key);
    }
    const std::regex camel("`([a-z]+[A-Z][A-Za-z0-9]*)`");
    const std::regex ticked("`([A-Za-z][\\w-]*)`");
    // A severity followed, in its clause, by words in parentheses.
    const std::regex claim(R"(`(damage|unused-entry|info)`[^(.;`|]*\(([^)]*)\))");
    for (const fs::path& p : docs) {
        SCOPED_TRACE(p.filename().string());
        std::string text = readText(p);
        if (p.filename() == "json.md") text = text.substr(0, text.find("\n## Renamed keys"));
        for (auto it = std::sregex_iterator(text.begin(), text.end(), camel);
             it != std::sregex_iterator(); ++it) {
            EXPECT_TRUE(known.count((*it)[1]) || kCodeNames.count((*it)[1])) << (*it)[1];
        }
        for (auto it = std::sregex_iterator(text.begin(), text.end(), ticked);
             it != std::sregex_iterator(); ++it) {
            EXPECT_FALSE(gone.count((*it)[1])) << "names the old key " << (*it)[1];
        }
        for (auto it = std::sregex_iterator(text.begin(), text.end(), claim);
             it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(tickedWords((*it)[2]), codesOf[(*it)[1]]) << (*it)[0];
        }
    }
}

}  // namespace
}  // namespace itest
