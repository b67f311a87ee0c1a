// The survey's monitoring formats: the Prometheus exposition (checked by
// promtool when it is at hand) and the Nagios plugin line with its status.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "builder/recipe.h"
#include "inspect/common/names.h"
#include "inspect/folders/survey.h"
#include "tabulon_version.h"
#include "support.h"

namespace itest {
namespace {

constexpr const char* kSound = "family 0x0950 page 2048 logical 80";
constexpr const char* kUnused =
    "family 0x0600 page 1024 logical 20\nentry 5 type 0\nentry 6 type 0";
constexpr const char* kDamaged = "family 0x0800 page 1024 logical 60\nentry 7 logical 8";
constexpr const char* kCut = "family 0x0800 page 1024 logical 10\nsize 1024";
constexpr const char* kPreSix = "family 0x0500 page 512 logical 4";

void build(const fs::path& dir, const std::string& name, const char* recipe) {
    fs::create_directories(dir);
    tbuild::buildFromRecipe(recipe, dir.string(), name);
}

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last n lines of a text that ends in a line break.
std::string lastLines(const std::string& text, size_t n) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    std::string t;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) t += lines[i];
    return t;
}

// Runs the inspector without the right to read what its permissions keep
// out: as root, in a child process that became nobody.
Result inspectUnprivileged(const std::vector<std::string>& args) {
    if (geteuid() != 0) return inspect(args);
    int p[2];
    if (pipe(p) != 0) return {99, "", "pipe"};
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        const Result r = inspect(args);
        const std::string blob = std::to_string(r.status) + '\0' + r.out + '\0' + r.err;
        for (size_t at = 0; at < blob.size();) {
            const ssize_t n = write(p[1], blob.data() + at, blob.size() - at);
            if (n <= 0) _exit(98);
            at += size_t(n);
        }
        _exit(0);
    }
    close(p[1]);
    std::string blob;
    char buffer[4096];
    for (ssize_t n; (n = read(p[0], buffer, sizeof buffer)) > 0;) blob.append(buffer, size_t(n));
    close(p[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    const size_t a = blob.find('\0'), b = blob.find('\0', a + 1);
    if (a == std::string::npos || b == std::string::npos) return {97, "", "child: " + blob};
    return {std::stoi(blob.substr(0, a)), blob.substr(a + 1, b - a - 1), blob.substr(b + 1)};
}

TEST(Monitor, PrometheusExposition) {
    ScratchDir scratch;
    const fs::path dir = scratch.path() / "db";
    build(dir, "SOUND.DAT", kSound);
    build(dir / "B", "UNUSED.DAT", kUnused);
    build(dir, "BAD.DAT", kDamaged);
    build(dir, "CUT.DAT", kCut);
    build(dir, "OLD.DAT", kPreSix);
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
        // Read, though a pre-6.x file has no PAT to check.
        "tabulon_file_checked{DIR,path=\"OLD.DAT\"} 1\n",
        "tabulon_survey_files{state=\"pre6x\"} 1\n",
        "tabulon_survey_complete 0\n",
        // The backslash escaped in the name's text, then in the exposition.
        "tabulon_file_checked{DIR,path=\"Q\\\"U\\\\\\\\OTE.DAT\"} 1\n",
        "tabulon_file_damaged{DIR,path=\"BAD.DAT\"} 1\n",
        "tabulon_file_damaged{DIR,path=\"B/UNUSED.DAT\"} 0\n",
        ("tabulon_file_findings{DIR,path=\"B/UNUSED.DAT\","
         "severity=\"unused-entry\",class=\"other\"} 2\n"),
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

// Whatever stops a survey from seeing every file, the metrics say so
// (complete 0, the folder, the file) and replace the old answer, keeping the
// time of the last complete survey; Nagios says UNKNOWN. An unreadable file
// that nothing marks as a Btrieve file leaves the survey complete.
TEST(Monitor, AnIncompleteSurveyReplacesTheOldAnswer) {
    struct Case {
        const char* what;
        void (*make)(const fs::path& db);
        const char* missing;   // a folder named that does not exist, or ""
        const char* expected;  // a line of the metrics, DB the folder
        bool complete;
    };
    const Case cases[] = {
        {"a folder named that does not exist", [](const fs::path&) {}, "gone",
         "tabulon_survey_folder_unreadable{dir=\"DB/gone\",path=\"\"} 1\n", false},
        {"a folder that cannot be read",
         [](const fs::path& db) {
             build(db / "LOCKED", "HIDDEN.DAT", kDamaged);
             fs::permissions(db / "LOCKED", fs::perms::none);
         },
         "", "tabulon_survey_folder_unreadable{dir=\"DB\",path=\"LOCKED\"} 1\n", false},
        {"a file named as a Btrieve file that cannot be read",
         [](const fs::path& db) {
             build(db, "SECRET.DAT", kDamaged);
             fs::permissions(db / "SECRET.DAT", fs::perms::none);
         },
         "", "tabulon_file_checked{dir=\"DB\",path=\"SECRET.DAT\"} 0\n", false},
        {"an unreadable file beside Btrieve files",
         [](const fs::path& db) {
             build(db / "sub", "B.DAT", kSound);
             std::ofstream(db / "sub" / "orders.idx") << "x";
             fs::permissions(db / "sub" / "orders.idx", fs::perms::none);
         },
         "", "tabulon_file_checked{dir=\"DB\",path=\"sub/orders.idx\"} 0\n", false},
        {"a Btrieve file whose path is too long for the engine",
         [](const fs::path& db) { build(db / std::string(250, 'n'), "DEEP.DAT", kSound); },
         "", "tabulon_survey_files{state=\"not_checked\"} 1\n", false},
        {"an unreadable file nothing marks as a Btrieve file",
         [](const fs::path& db) {
             fs::create_directories(db / "notes");
             std::ofstream(db / "notes" / "todo.txt") << "x";
             fs::permissions(db / "notes" / "todo.txt", fs::perms::none);
         },
         "", "tabulon_survey_complete 1\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        fs::permissions(scratch.path(), fs::perms::all);
        const fs::path db = scratch.path() / "db";
        build(db, "A.DAT", kSound);
        c.make(db);
        const fs::path out = scratch.path() / "out" / "tabulon.prom";
        fs::create_directories(out.parent_path());
        fs::permissions(out.parent_path(), fs::perms::all);
        std::ofstream(out) << "tabulon_survey_complete 1\n"
                              "tabulon_survey_last_success_timestamp_seconds 1234\n";
        fs::permissions(out, fs::perms::all);
        std::vector<std::string> dirs = {db.string()};
        if (*c.missing) dirs.push_back((db / c.missing).string());
        std::vector<std::string> args = {"survey", "--format", "prometheus", "-o", out.string()};
        args.insert(args.end(), dirs.begin(), dirs.end());
        const Result r = inspectUnprivileged(args);
        EXPECT_EQ(r.status, c.complete ? 0 : 2) << r.err;
        const std::string text = readText(out);
        std::string line = c.expected;
        if (line.find("DB") != std::string::npos) line.replace(line.find("DB"), 2, db.string());
        EXPECT_NE(text.find(line), std::string::npos) << text;
        EXPECT_NE(text.find(c.complete ? "tabulon_survey_complete 1\n"
                                       : "tabulon_survey_complete 0\n"),
                  std::string::npos)
            << text;
        // The time of the last complete survey: this one, or kept from before.
        EXPECT_EQ(text.find("tabulon_survey_last_success_timestamp_seconds 1234\n") !=
                      std::string::npos,
                  !c.complete)
            << text;
        EXPECT_NE(text.find("tabulon_survey_last_run_timestamp_seconds "), std::string::npos);

        args = {"survey", "--format", "nagios"};
        args.insert(args.end(), dirs.begin(), dirs.end());
        const Result n = inspectUnprivileged(args);
        EXPECT_EQ(n.status, c.complete ? 0 : 3) << n.out;
        EXPECT_EQ(n.out.rfind(c.complete ? "TABULON OK - " : "TABULON UNKNOWN - ", 0), 0u)
            << n.out;
        EXPECT_EQ(std::count(n.out.begin(), n.out.end(), '\n'), 1) << n.out;
        // Permissions back, so that the folder can be removed by anyone.
        const std::string restore = "chmod -R u+rwx '" + scratch.path().string() + "'";
        EXPECT_EQ(std::system(restore.c_str()), 0);
    }
}

// A file that could not be written keeps the old one and says why, in the
// system's words.
TEST(Monitor, OutputThatCannotBeWrittenSaysWhy) {
    ScratchDir scratch;
    build(scratch.path() / "db", "A.DAT", kSound);
    for (const char* format : {"text", "prometheus", "nagios"}) {
        SCOPED_TRACE(format);
        const fs::path out = scratch.path() / "no-such-folder" / "tabulon.prom";
        const Result r = inspect({"survey", "--format", format, "-o", out.string(),
                                  (scratch.path() / "db").string()});
        EXPECT_EQ(r.status, std::string(format) == "nagios" ? 3 : 2);
        // The survey's story first, then why its output is not there.
        EXPECT_EQ(lastLines(r.err, 1), "tabulon-inspect: cannot write " + out.string() +
                                           ": No such file or directory\n");
        EXPECT_EQ(lastLines(r.err, 2).rfind("tabulon-inspect: survey: files=1 ", 0), 0u) << r.err;
    }
}

// -o replaces a regular file only, through a temporary file beside it: a
// link, a FIFO, a device or a folder there is refused and left as it was, and
// a write that fails (a full disk) keeps the old file; the line says why, in
// the system's words where the system refused.
TEST(Monitor, OutputReplacesOnlyARegularFile) {
    using Make = bool (*)(const fs::path& out);  // false when this machine cannot
    const std::tuple<const char*, Make, const char*> rows[] = {
        {"a folder that does not exist",
         [](const fs::path& o) { return fs::remove(o.parent_path()); },
         "No such file or directory"},
        {"a symbolic link",
         [](const fs::path& o) {
             std::ofstream(o.string() + ".victim") << "old\n";
             return symlink("out.victim", o.c_str()) == 0;
         },
         "a symbolic link, not a regular file"},
        {"a FIFO", [](const fs::path& o) { return mkfifo(o.c_str(), 0600) == 0; },
         "a FIFO, not a regular file"},
        {"a device",
         [](const fs::path& o) { return mknod(o.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         "a device, not a regular file"},
        {"a folder", [](const fs::path& o) { return fs::create_directory(o); },
         "a folder, not a regular file"},
        {"a regular file on a full disk",
         [](const fs::path& o) {
             if (mount("tmpfs", o.parent_path().c_str(), "tmpfs", 0, "size=128k") != 0)
                 return false;
             std::ofstream(o) << "old\n";
             std::ofstream filler(o.parent_path() / "filler", std::ios::binary);
             while (filler << std::string(4096, 'x')) {
             }
             return true;
         },
         "No space left on device"},
    };
    ScratchDir scratch;
    build(scratch.path() / "db", "A.DAT", kSound);
    const std::string db = (scratch.path() / "db").string(), file = db + "/A.DAT";
    for (const auto& [what, make, reason] : rows) {
        for (const std::string command : {"survey", "report", "map"}) {
            SCOPED_TRACE(std::string(what) + ", " + command);
            const fs::path out = scratch.path() / (command + ", " + what) / "out";
            fs::create_directories(out.parent_path());
            struct Unmount {
                fs::path at;
                ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
            } unmount{out.parent_path()};
            if (!make(out)) continue;  // not here (not root)
            const auto kind = fs::symlink_status(out).type();
            const int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK);  // a FIFO never blocks
            const Result r = inspect({command, command == "map" ? file : db, "-o", out.string()});
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(command == "survey" ? lastLines(r.err, 1) : r.err,
                      "tabulon-inspect: cannot write " + out.string() + ": " + reason + "\n");
            EXPECT_EQ(fs::symlink_status(out).type(), kind);
            if (kind == fs::file_type::regular || kind == fs::file_type::symlink) {
                EXPECT_EQ(readText(out), "old\n");  // the link's target's too
            }
            std::error_code absent;
            for (const auto& e : fs::directory_iterator(out.parent_path(), absent)) {
                EXPECT_EQ(e.path().filename().string().rfind(".out.", 0), std::string::npos);
            }
            if (reader >= 0) close(reader);
        }
    }
}

// The survey's table aligns its columns by what a terminal shows, not by
// bytes: a wide character takes two columns, a combining one none, an escaped
// byte its escape. A name is shown escaped where a terminal or a JSON reader
// would take it for something else: a control, a mark that reorders text, a
// byte of no character, a quote.
TEST(Monitor, SurveyTableAlignsByColumns) {
    ScratchDir scratch;
    const std::tuple<const char*, const char*, const char*> names[] = {  // in the table, in JSON
        {"A.DAT", "A.DAT", "\"A.DAT\""},
        {"\xc3\xa9t\xc3\xa9.DAT", "\xc3\xa9t\xc3\xa9.DAT", ""},
        {"\xe6\x97\xa5\xe6\x9c\xac.DAT", "\xe6\x97\xa5\xe6\x9c\xac.DAT", ""},
        {"\xff.DAT", "\\xff.DAT", "\"\\udcff.DAT\""},
        {"q\"b.DAT", "q\"b.DAT", R"("q\"b.DAT")"},
        {"\xd8\x9c\xed\xa0\x80.DAT", "\\u061c\\xed\\xa0\\x80.DAT", R"("\u061c\udced\udca0\udc80.DAT")"},
        {"d\x7f\xc2\x9f.DAT", "d\\x7f\\u009f.DAT", ""},
        {"DAT.e\xcc\x81", "DAT.e\xcc\x81", "\"DAT.e\xcc\x81\""},  // last: a combining letter
    };
    for (const auto& [name, shown, json] : names) build(scratch.path(), name, kSound);
    const std::string table = inspect({"survey", scratch.path().string()}).out;
    const std::string json = inspect({"--json", "survey", scratch.path().string()}).out;
    for (const auto& [name, shown, quoted] : names) {
        EXPECT_NE(table.find(std::string("\n") + shown + " "), std::string::npos) << shown;
        EXPECT_NE(json.find(quoted), std::string::npos) << quoted;
    }
    std::set<size_t> columns;  // where each row's version begins, CJK counted twice
    for (std::istringstream rows(table); !rows.eof();) {
        std::string row;
        std::getline(rows, row);
        size_t n = 0;
        for (unsigned char c : row.substr(0, row.find(" 0x0950 ")))
            n += (c & 0xC0) == 0x80 || c == 0xCC ? 0 : 1 + (c >= 0xE3 && c <= 0xE9);
        if (row.find(" 0x0950 ") != std::string::npos) columns.insert(n);
    }
    EXPECT_EQ(columns.size(), 1u);
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
        // The critical threshold of the damaged files agrees with the state:
        // above 0 is critical.
        EXPECT_TRUE(std::regex_search(r.out, std::regex(" damaged=[0-9]+;;0;0 "))) << r.out;
    }
}

// The files found under each folder named, in every form, and --expect: a
// folder that holds fewer is a problem as damage is (status 1, Nagios
// CRITICAL), though the survey is complete.
TEST(Monitor, FolderFilesAndTheirExpectedMinimum) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> files;  // path under the scratch folder
        std::vector<const char*> dirs;                            // named, under the scratch folder
        std::vector<std::string> options;
        std::vector<size_t> counts;  // files per folder named
        std::vector<bool> below;
        int status;
        const char* nagios;
    };
    const Case cases[] = {
        {"files, nothing expected", {{"a/A.DAT", kSound}, {"a/B.DAT", kDamaged}}, {"a"}, {},
         {2}, {false}, 1, "CRITICAL"},
        {"an empty folder, nothing expected", {}, {"a"}, {}, {0}, {false}, 0, "WARNING"},
        {"an empty folder where one file is expected", {}, {"a"}, {"--expect", "1"}, {0}, {true},
         1, "CRITICAL"},
        {"the minimum met", {{"a/A.DAT", kSound}}, {"a"}, {"--expect", "1"}, {1}, {false}, 0,
         "OK"},
        {"one folder of two below", {{"a/A.DAT", kSound}, {"b/A.DAT", kSound},
          {"b/x/B.DAT", kSound}}, {"a", "b"}, {"--expect", "2"}, {1, 2}, {true, false}, 1,
         "CRITICAL"},
        {"a folder inside another named first",
         {{"a/A.DAT", kSound}, {"a/s/B.DAT", kSound}}, {"a", "a/s"}, {"--expect", "1"}, {2, 1},
         {false, false}, 0, "OK"},
        {"links and other names not counted", {{"a/A.DAT", kSound}}, {"a"}, {"--expect", "2"},
         {1}, {true}, 1, "CRITICAL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        for (const auto& [path, recipe] : c.files) {
            const fs::path p = scratch.path() / path;
            build(p.parent_path(), p.filename().string(), recipe);
        }
        std::vector<std::string> dirs;
        for (const char* d : c.dirs) {
            fs::create_directories(scratch.path() / d);
            dirs.push_back((scratch.path() / d).string());
        }
        if (std::string(c.what).find("links") != std::string::npos) {
            fs::create_symlink(scratch.path() / "a" / "A.DAT", scratch.path() / "a" / "L.DAT");
            fs::create_hard_link(scratch.path() / "a" / "A.DAT", scratch.path() / "a" / "H.DAT");
        }
        auto run = [&](std::vector<std::string> head) {
            head.insert(head.end(), c.options.begin(), c.options.end());
            head.insert(head.end(), dirs.begin(), dirs.end());
            return inspect(head);
        };
        const Result text = run({"survey"});
        const Json json = run({"--json", "survey"}).json();
        const Result prom = run({"survey", "--format", "prometheus"});
        const Result nagios = run({"survey", "--format", "nagios"});
        EXPECT_EQ(text.status, c.status) << text.out;
        EXPECT_EQ(json.at("status"), c.status);
        EXPECT_EQ(prom.status, c.status);
        EXPECT_TRUE(json.at("complete").get<bool>());
        EXPECT_EQ(nagios.out.rfind(std::string("TABULON ") + c.nagios + " - ", 0), 0u)
            << nagios.out;
        size_t below = 0;
        for (size_t i = 0; i < dirs.size(); ++i) {
            const Json& f = json.at("folders").at(i);
            EXPECT_EQ(f.at("dir"), dirs[i]);
            EXPECT_EQ(f.at("fileCount"), c.counts[i]) << json.dump(1);
            EXPECT_EQ(f.at("belowExpected"), bool(c.below[i]));
            EXPECT_EQ(f.at("expectedFiles").is_null(), c.options.empty());
            const std::string gauge = "tabulon_survey_folder_files{dir=\"" + dirs[i] + "\"} " +
                                      std::to_string(c.counts[i]) + "\n";
            EXPECT_NE(prom.out.find(gauge), std::string::npos) << gauge << prom.out;
            EXPECT_EQ(prom.out.find("tabulon_survey_folder_expected_files{dir=\"" + dirs[i] +
                                    "\"} ") != std::string::npos,
                      !c.options.empty());
            const std::string line = "folder below expected: " + dirs[i] + " holds ";
            EXPECT_EQ(text.out.find(line) != std::string::npos, bool(c.below[i])) << text.out;
            below += c.below[i] ? 1 : 0;
        }
        EXPECT_EQ(json.at("totals").at("foldersBelowExpected"), below);
        EXPECT_EQ(nagios.out.find(" folders_below_expected=") != std::string::npos,
                  !c.options.empty())
            << nagios.out;
    }
    // Before the command's name, as the packaged service's options come.
    ScratchDir scratch;
    const Result r = inspect({"--expect", "1", "survey", "--format", "nagios",
                              scratch.path().string()});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find(" holds no Btrieve file, expected at least 1"), std::string::npos)
        << r.out;
    EXPECT_EQ(inspect({"--expect", "1", "info", "X.DAT"}).status, 2);
}

// One vocabulary: each row of the JSON carries the folder surveyed as given
// and its path relative to it, with one folder or several, and so do the
// Prometheus labels; the text joins the two with several folders.
TEST(Monitor, RowsNameTheirFolderAndTheirPathInIt) {
    struct Case {
        const char* what;
        std::vector<std::string> named;  // under the scratch folder
        std::vector<std::pair<std::string, std::string>> rows;  // dir, path
        std::vector<std::string> shown;                         // in the text
    };
    const Case cases[] = {
        {"one folder", {"db"}, {{"db", "A.DAT"}, {"db", "sub/B.DAT"}}, {"A.DAT", "sub/B.DAT"}},
        {"two folders",
         {"db", "other/"},
         {{"db", "A.DAT"}, {"db", "sub/B.DAT"}, {"other/", "C.DAT"}},
         {"db/A.DAT", "db/sub/B.DAT", "other/C.DAT"}},
        {"a file named itself", {"db/sub/B.DAT"}, {{"db/sub", "B.DAT"}}, {"B.DAT"}},
    };
    ScratchDir scratch;
    build(scratch.path() / "db", "A.DAT", kSound);
    build(scratch.path() / "db" / "sub", "B.DAT", kSound);
    build(scratch.path() / "other", "C.DAT", kSound);
    const std::string root = scratch.path().string() + "/";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> dirs;
        for (const std::string& d : c.named) dirs.push_back(root + d);
        std::vector<std::string> args = {"--json", "survey"};
        args.insert(args.end(), dirs.begin(), dirs.end());
        const Json json = inspect(args).json();
        args[1] = "--format=prometheus";
        args[0] = "survey";
        const std::string prom = inspect(args).out;
        args.erase(args.begin() + 1);
        const std::string text = inspect(args).out;
        ASSERT_EQ(json.at("files").size(), c.rows.size()) << json.dump(1);
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const Json& row = json.at("files").at(i);
            EXPECT_EQ(row.at("dir"), root + c.rows[i].first);
            EXPECT_EQ(row.at("path"), c.rows[i].second);
            const std::string labels = "tabulon_file_checked{dir=\"" + root + c.rows[i].first +
                                       "\",path=\"" + c.rows[i].second + "\"} 1\n";
            EXPECT_NE(prom.find(labels), std::string::npos) << labels << prom;
            const std::string shown =
                c.named.size() > 1 ? root + c.shown[i] : c.shown[i];
            EXPECT_NE(text.find("\n" + shown + " "), std::string::npos) << shown << text;
        }
    }
}

// Whatever the format, standard error tells the run's story for the
// service's journal: a line per folder not read, per file damaged or not
// checked, and one summary line with the duration; standard output holds the
// format alone.
TEST(Monitor, SurveyLogsItsStoryOnStandardError) {
    ScratchDir scratch;
    const fs::path db = scratch.path() / "db";
    build(db, "A.DAT", kSound);
    build(db, "BAD.DAT", kDamaged);
    build(db, "CUT.DAT", kCut);
    const std::string d = db.string();
    const std::regex summary(
        "tabulon-inspect: survey: files=3 folders=2 checked=2 damaged=1 not_checked=1 "
        "changing=0 skipped=0 folders_not_read=1 folders_below_expected=1 complete=0 "
        "duration=[0-9]+\\.[0-9]{3}s\n$");
    for (const char* format : {"text", "json", "prometheus", "nagios"}) {
        SCOPED_TRACE(format);
        const Result r =
            inspect({"survey", "--format", format, "--expect", "1", d, (db / "gone").string()});
        const std::string expected =
            "tabulon-inspect: cannot read " + d + "/gone: No such file or directory\n"
            "tabulon-inspect: folder below expected: " + d + "/gone holds no Btrieve file, "
            "expected at least 1\n"
            "tabulon-inspect: damaged: " + d + "/BAD.DAT (1 damage findings)\n"
            "tabulon-inspect: not checked: " + d + "/CUT.DAT: not a usable Btrieve file";
        EXPECT_EQ(r.err.rfind(expected, 0), 0u) << r.err;
        EXPECT_TRUE(std::regex_search(r.err, summary)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;
        EXPECT_EQ(r.out.find("tabulon-inspect:"), std::string::npos) << r.out;
    }
}

// What the survey lists of a folder: a split set once, though its extension
// file begins like an FCR; a file written while it is checked is checked
// again after a wait, up to four times, and one that changed during every
// check is reported as changing: not checked, the survey incomplete, and the
// damage of its last check still shown.
TEST(Monitor, SurveyRowsOfSplitAndChangingFiles) {
    constexpr const char* kDamagedLonger = "family 0x0800 page 1024 logical 70\nentry 7 logical 8";
    struct Case {
        const char* what;
        int rewrites;  // how many checks of LIVE.DAT are followed by a rewrite of it
        const char* const* recipes;  // what each rewrite writes, in turn
        std::vector<unsigned> backoff;
        inspect::RowState state;
        uint64_t damage;
        double atLeast;  // seconds the survey waits at least
    };
    const char* const soundThenDamaged[] = {kSound, kDamaged};
    const char* const damagedBothWays[] = {kDamagedLonger, kDamaged};
    const Case cases[] = {
        {"left alone", 0, soundThenDamaged, {0, 0, 0}, inspect::RowState::Checked, 1, 0},
        {"rewritten sound during the first check", 1, soundThenDamaged, {0, 0, 0},
         inspect::RowState::Checked, 0, 0},
        {"rewritten during three checks, steady at the fourth", 3, soundThenDamaged, {0, 0, 0},
         inspect::RowState::Checked, 0, 0},
        {"rewritten sound and damaged during every check", 4, soundThenDamaged, {0, 0, 0},
         inspect::RowState::Changing, 0, 0},
        {"rewritten damaged during every check", 4, damagedBothWays, {0, 0, 0},
         inspect::RowState::Changing, 1, 0},
        {"the waits as shipped: 50, 200 and 800 ms", 4, damagedBothWays,
         inspect::SurveyOptions().backoffMs, inspect::RowState::Changing, 1, 1.05},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const fs::path db = scratch.path();
        build(db, "LIVE.DAT", kDamaged);
        build(db, "SPLIT.DAT", "family 0x0800 page 1024 logical 60\nsplit page:20");
        {
            // The extension file's first bytes are those of an FCR.
            const std::string head = readText(db / "SPLIT.DAT").substr(0, 2048);
            std::fstream ext(db / "SPLIT.^01", std::ios::in | std::ios::out | std::ios::binary);
            ext.write(head.data(), std::streamsize(head.size()));
        }
        inspect::SurveyOptions o;
        o.dirs = {db.string()};
        o.backoffMs = c.backoff;
        int rewritten = 0;
        const bool changing = c.state == inspect::RowState::Changing;
        o.afterCheck = [&](const std::string& path, int) {
            // An extension file that grows during every check of its set.
            if (fs::path(path).filename() == "SPLIT.DAT" && changing)
                std::ofstream(db / "SPLIT.^01", std::ios::app) << 'x';
            if (fs::path(path).filename() != "LIVE.DAT" || rewritten >= c.rewrites) return;
            // Each rewrite changes size and bytes.
            build(db, "LIVE.DAT", c.recipes[rewritten++ % 2]);
        };
        inspect::Survey s;
        const auto begun = std::chrono::steady_clock::now();
        inspect::runSurvey(o, &s);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        EXPECT_GE(took, c.atLeast);
        ASSERT_EQ(s.rows.size(), 2u);
        const inspect::SurveyRow& live = s.rows[0];
        EXPECT_EQ(live.shown, "LIVE.DAT");
        EXPECT_EQ(live.state, c.state) << live.error;
        EXPECT_EQ(live.findings.bySeverity(inspect::Damage), c.damage);
        EXPECT_EQ(s.rows[1].shown, "SPLIT.DAT");
        EXPECT_EQ(s.rows[1].state, c.state);
        EXPECT_EQ(s.complete(), !changing);
        EXPECT_EQ(live.damaged(false), c.damage > 0);
        // SPLIT.DAT has damage of its own.
        EXPECT_EQ(inspect::surveyStatus(s), changing ? 2 : 1);
        if (!changing) continue;
        // Every form says so, with the damage seen last.
        EXPECT_NE(live.error.find("changed during each of its 4 checks"), std::string::npos);
        const Json j = inspect::surveyJson(s);
        EXPECT_EQ(j.at("files").at(0).at("state"), "changing");
        EXPECT_EQ(j.at("files").at(0).at("damaged"), c.damage > 0);
        EXPECT_EQ(j.at("files").at(0).at("findingCounts").at("damage"), c.damage);
        EXPECT_FALSE(j.at("complete").get<bool>());
        const std::string prom = inspect::surveyPrometheus(s);
        const std::string labels = "{dir=\"" + db.string() + "\",path=\"LIVE.DAT\"} ";
        EXPECT_NE(prom.find("tabulon_file_changing" + labels + "1\n"), std::string::npos) << prom;
        EXPECT_NE(prom.find("tabulon_file_checked" + labels + "0\n"), std::string::npos);
        EXPECT_NE(prom.find("tabulon_file_damaged" + labels + (c.damage ? "1\n" : "0\n")),
                  std::string::npos);
        EXPECT_NE(prom.find("tabulon_survey_complete 0\n"), std::string::npos);
        int status = 0;
        const std::string nagios = inspect::surveyNagios(s, &status);
        EXPECT_NE(nagios.find("; 2 changing while checked"), std::string::npos) << nagios;
        EXPECT_EQ(nagios.find("LIVE.DAT") != std::string::npos, c.damage > 0) << nagios;
        EXPECT_NE(inspect::surveyText(s).find("LIVE.DAT"), std::string::npos);
        EXPECT_NE(inspect::surveyLog(s, "").find("changing: " + db.string() + "/LIVE.DAT: "),
                  std::string::npos);
    }
}

// Label values are bounded: a name's text longer than 256 bytes keeps its
// first 236 bytes of whole characters and escapes, then \~ and the hash of
// the whole name, which no name's text holds; two names alike in their
// first bytes stay two series, and the exposition stays valid.
TEST(Monitor, LongNamesAreCutInLabelsWithAMarker) {
    const std::string longName(200, 'a');
    struct Case {
        std::string name;
        bool cut;
    };
    const Case cases[] = {
        {"short.dat", false},
        {std::string(256, 'b'), false},
        {std::string(257, 'b'), true},
        {longName + "/" + std::string(120, 'x') + "1.DAT", true},
        {longName + "/" + std::string(120, 'x') + "2.DAT", true},
        // A byte that is no UTF-8 and a wide character across the cut.
        {std::string(234, 'c') + "\xff" + std::string(30, 'c'), true},
        {std::string(235, 'c') + "\xe6\x97\xa5" + std::string(30, 'c'), true},
        // A name that looks like a cut one is no cut one.
        {std::string(10, 'd') + "\\~0123456789abcdef", false},
    };
    std::set<std::string> values;
    // The marker after whole escapes: an even run of backslashes before it.
    const std::regex marker(R"((^|[^\\])(\\\\\\\\)*\\\\~[0-9a-f]{16}$)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        const std::string v = inspect::prometheusLabel(c.name);
        EXPECT_TRUE(values.insert(v).second) << v;
        EXPECT_EQ(v == inspect::labelValue(c.name), !c.cut) << v;
        EXPECT_EQ(std::regex_search(v, marker), c.cut) << v;
        if (c.cut) {
            // 236 bytes at most before the marker, without a character cut in two.
            const std::string kept = v.substr(0, v.size() - 19);
            EXPECT_LE(kept.size(), inspect::kLabelKeptBytes);
            EXPECT_EQ(c.name.rfind(kept.substr(0, kept.find('\\')), 0), 0u);
        }
    }
    // Two files of long names under a long folder: two series each.
    ScratchDir scratch;
    const fs::path dir = scratch.path() / longName;
    build(dir, std::string(120, 'x') + "1.DAT", kSound);
    build(dir, std::string(120, 'x') + "2.DAT", kSound);
    const Result r = inspect({"survey", "--format", "prometheus", scratch.path().string()});
    std::set<std::string> series;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
        if (line.rfind("tabulon_file_", 0) == 0) {
            EXPECT_TRUE(std::regex_search(line, std::regex(R"(path="a{200}/x{35}\\\\~[0-9a-f]{16}")")))
                << line;
        }
    }
    const fs::path out = scratch.path() / "out.prom";
    std::ofstream(out) << r.out;
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(("promtool check metrics < '" + out.string() + "'").c_str()), 0);
    }
}

// An FCR that names PAT pairs past the end of the file: one info finding,
// with how many pairs fit, in info, the survey and the report.
TEST(Monitor, LastPairPastTheEnd) {
    ScratchDir scratch;
    const fs::path db = scratch.path() / "db";
    build(db, "LONG.DAT", "family 0x0800 page 1024 logical 20\nfcr lastpair 40");
    const std::string file = (db / "LONG.DAT").string();
    const Result info = inspect({"info", file});
    EXPECT_NE(info.out.find("Last PAT pair          40 (last-pair-past-end: 1 of the 40 pairs fit "
                            "in the file)\n"),
              std::string::npos)
        << info.out;
    EXPECT_EQ(inspect({"--json", "info", file}).json().at("pairsThatFit"), 1);
    const Json survey = inspect({"--json", "survey", db.string()}).json();
    EXPECT_EQ(survey.at("files").at(0).at("findingCounts").at("info"), 1) << survey.dump(1);
    const fs::path out = scratch.path() / "report.html";
    inspect({"report", db.string(), "-o", out.string()});
    EXPECT_NE(readText(out).find("<td>last-pair-past-end</td><td class=\"sev-info\">info</td><td>the "
                                 "FCR&#39;s last PAT pair 40 lies past the end of the file; 1 of "
                                 "the 40 pairs fit</td>"),
              std::string::npos);
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
    // The folder the page's commands run from, and the one its names are in.
    EXPECT_NE(page.find("<p class=\"from\" id=\"run-from\">The commands on this page run from "
                        "the folder <code>" +
                        fs::canonical(fs::current_path()).string() +
                        "</code>; the file names of the table are relative to the folder "
                        "surveyed, <code>" + dir.string() + "</code>.</p>"),
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
