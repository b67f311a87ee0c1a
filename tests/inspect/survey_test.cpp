// What a survey of folders that others may change reads: each file once,
// through one handle, never through a link; no more of a file than its FCR's
// pages; and no file it knows of left out of what it reports.
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "builder/recipe.h"
#include "inspect/folders/survey.h"
#include "support.h"

namespace itest {
namespace {

using inspect::RowState;

constexpr const char* kSound = "family 0x0950 page 2048 logical 80";
constexpr const char* kDamaged = "family 0x0800 page 1024 logical 60\nentry 7 logical 8";

void build(const fs::path& dir, const std::string& name, const char* recipe) {
    fs::create_directories(dir);
    tbuild::buildFromRecipe(recipe, dir.string(), name);
}

// The rows of a survey of `dirs` by the name they are shown under.
struct Surveyed {
    inspect::Survey s;
    const inspect::SurveyRow* row(const std::string& shown) const {
        for (const auto& r : s.rows) {
            if (r.shown == shown) return &r;
        }
        return nullptr;
    }
};

Surveyed survey(std::vector<std::string> dirs,
                std::function<void(const std::string&)> afterOpen = nullptr) {
    inspect::SurveyOptions o;
    o.dirs = std::move(dirs);
    o.afterOpen = std::move(afterOpen);
    Surveyed out;
    inspect::runSurvey(o, &out.s);
    return out;
}

// Each way a name in a surveyed folder can lead the survey to bytes it must
// not report, and what it reports instead: the file it opened, or nothing.
TEST(SurveyReads, OneHandlePerFileAndNoLink) {
    struct Case {
        const char* what;
        void (*make)(const fs::path& db, const fs::path& priv);
        const char* shown;  // the row that tells
        RowState state;
        const char* error;   // a part of its reason
        size_t damaged;      // files with damage in the survey
    };
    const Case cases[] = {
        {"a link to a private file",
         [](const fs::path& db, const fs::path& priv) {
             fs::create_symlink(priv / "SECRET.DAT", db / "leak.dat");
         },
         "leak.dat", RowState::Skipped, "a symbolic link, not followed", 0},
        {"an extension file linked to a private one",
         [](const fs::path& db, const fs::path& priv) {
             build(db, "X.DAT", "family 0x0800 page 1024 logical 60\nsplit logical:30");
             fs::remove(db / "X.^01");
             fs::create_symlink(priv / "SECRET.^01", db / "X.^01");
         },
         "X.DAT", RowState::Failed, "extension file X.^01 is a symbolic link", 0},
        {"a second name of a file",
         [](const fs::path& db, const fs::path&) {
             build(db, "A.DAT", "family 0x0800 page 1024 logical 50\nentry 7 logical 8");
             fs::create_hard_link(db / "A.DAT", db / "B.DAT");
         },
         "B.DAT", RowState::Skipped, "the same file as A.DAT", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const fs::path db = scratch.path() / "db", priv = scratch.path() / "priv";
        build(db, "CLEAN.DAT", kSound);
        build(priv, "SECRET.DAT", "family 0x0800 page 1024 logical 60\nsplit logical:30\n"
                                  "entry 7 logical 8\nentry 40 logical 41");
        c.make(db, priv);
        const Surveyed r = survey({db.string()});
        const inspect::SurveyRow* row = r.row(c.shown);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->state, c.state) << row->error;
        EXPECT_NE(row->error.find(c.error), std::string::npos) << row->error;
        EXPECT_EQ(r.s.damaged(), c.damaged);
        for (const auto& other : r.s.rows) EXPECT_NE(other.pages, 61u) << other.shown;
    }
}

// Names exchanged between the open and the reads change nothing: the file
// opened is the file read, checked and reported under the name it was
// opened by. Folders named twice are walked once.
TEST(SurveyReads, ExchangedNamesAndFoldersNamedTwice) {
    ScratchDir scratch;
    const fs::path db = scratch.path() / "db";
    build(db, "CLEAN.DAT", kSound);
    build(db / "sub", "BAD.DAT", kDamaged);
    const std::string bad = (db / "sub" / "BAD.DAT").string();
    const std::string clean = (db / "CLEAN.DAT").string();
    bool exchanged = false;
    const Surveyed r = survey({db.string(), (db / "sub").string()}, [&](const std::string& path) {
        if (path != bad || exchanged) return;
        exchanged = renameat2(AT_FDCWD, bad.c_str(), AT_FDCWD, clean.c_str(), RENAME_EXCHANGE) == 0;
    });
    ASSERT_TRUE(exchanged);
    const inspect::SurveyRow* row = r.row((db / "sub" / "BAD.DAT").lexically_normal().generic_string());
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->state, RowState::Checked);
    EXPECT_TRUE(row->damaged(false));
    EXPECT_EQ(r.s.damaged(), 1u);
    size_t checked = 0;
    for (const auto& one : r.s.rows) checked += one.state == RowState::Checked ? 1 : 0;
    EXPECT_LE(checked, 2u) << "a file surveyed twice";
}

// A reader of the file does not keep the survey out, a writer does: the
// survey takes no exclusive lock on files it only reads.
TEST(SurveyReads, SharesFilesWithReadersNotWriters) {
    const std::pair<int, RowState> cases[] = {
        {tabulon::Unprotected, RowState::Checked},
        {tabulon::SharedRead, RowState::Checked},
        {tabulon::Repair, RowState::Failed},
    };
    for (const auto& [mode, state] : cases) {
        SCOPED_TRACE(mode);
        ScratchDir scratch;
        build(scratch.path(), "A.DAT", kSound);
        tabulon::Platform& p = tabulon::systemPlatform();
        tabulon::PlatformHandle held = tabulon::kInvalidHandle;
        uint32_t code = 0;
        ASSERT_TRUE(p.open(scratch.path("A.DAT").c_str(), mode, &held, &code)) << code;
        const Surveyed r = survey({scratch.path().string()});
        p.close(held);
        ASSERT_EQ(r.s.rows.size(), 1u);
        EXPECT_EQ(r.s.rows[0].state, state) << r.s.rows[0].error;
    }
}

// A set far longer than its FCR's pages costs no more than its pages, and
// says how much longer it is.
TEST(SurveyReads, WorkEndsAtTheFcrPages) {
    struct Case {
        const char* what;
        const char* recipe;
        const char* member;  // made this long, sparse
        uint64_t size;
        uint32_t gigabytes;  // the finding's figure
    };
    const Case cases[] = {
        {"a main file of 200 GB", "family 0x0800 page 1024 logical 880", "BIG.DAT",
         uint64_t(200) << 30, 199},
        {"an extension file of 4 TiB, an entry past the pages",
         "family 0x0800 page 1024 logical 880\nsplit logical:400\nentry 9 phys 5000", "BIG.^01",
         uint64_t(4) << 40, 4095},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        build(scratch.path(), "BIG.DAT", c.recipe);
        fs::resize_file(scratch.path() / c.member, c.size);
        const auto begun = std::chrono::steady_clock::now();
        const Surveyed r = survey({scratch.path().string()});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        EXPECT_LT(seconds, 10.0);
        ASSERT_EQ(r.s.rows.size(), 1u);
        const inspect::SurveyRow& row = r.s.rows[0];
        EXPECT_EQ(row.state, RowState::Checked) << row.error;
        EXPECT_EQ(row.findings.bySeverity(inspect::Info), 1u);
        inspect::SurveyOptions o;
        o.dirs = {scratch.path().string()};
        o.keepLists = true;
        inspect::Survey listed;
        inspect::runSurvey(o, &listed);
        ASSERT_FALSE(listed.rows[0].findings.list.empty());
        const tabulon::Finding& f = listed.rows[0].findings.list.back().finding;
        EXPECT_EQ(f.code, tabulon::Problem::LongerThanPages);
        EXPECT_EQ(f.found, c.gigabytes);
    }
}

// Every way a known file can fail a first look leaves it in every form of
// the survey, with its reason; a first FCR copy lost is damage, found
// through the second copy.
TEST(SurveyReads, NoKnownFileLeftOut) {
    struct Case {
        const char* what;
        int (*make)(const fs::path& db);  // a handle to close after the survey, or -1
        const char* shown;
        RowState state;
        const char* reason;  // a part of it, or the finding's code
    };
    const Case cases[] = {
        {"the first FCR copy zeroed",
         [](const fs::path& db) {
             std::fstream f(db / "Stock.Dat", std::ios::in | std::ios::out | std::ios::binary);
             const std::string zeros(1024, '\0');
             f.write(zeros.data(), std::streamsize(zeros.size()));
             return -1;
         },
         "Stock.Dat", RowState::Checked, "fcr-copy-damaged"},
        {"cut below one FCR page",
         [](const fs::path& db) {
             fs::resize_file(db / "Stock.Dat", 100);
             return -1;
         },
         "Stock.Dat", RowState::Failed, "100 bytes, shorter than one FCR page"},
        {"locked by another program",
         [](const fs::path& db) {
             const int fd = ::open((db / "Stock.Dat").c_str(), O_RDONLY);
             flock(fd, LOCK_EX);
             return fd;
         },
         "Stock.Dat", RowState::Failed, "cannot read it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const fs::path db = scratch.path();
        build(db, "Stock.Dat", "family 0x0950 page 2048 logical 900");
        build(db, "Other.Dat", kSound);
        const int held = c.make(db);
        const Result text = inspect({"survey", db.string()});
        const Result nagios = inspect({"survey", "--format", "nagios", db.string()});
        const Result prom = inspect({"survey", "--format", "prometheus", db.string()});
        const Json json = inspect({"--json", "survey", db.string()}).json();
        EXPECT_NE(nagios.out.find(" files=2;"), std::string::npos) << nagios.out;
        EXPECT_NE(prom.out.find("path=\"Stock.Dat\"} "), std::string::npos) << prom.out;
        ASSERT_EQ(json.at("files").size(), 2u) << json.dump(1);
        const Json& row = json.at("files").at(1);
        EXPECT_EQ(row.at("path"), c.shown);
        EXPECT_EQ(row.at("state"), c.state == RowState::Checked ? "checked" : "notChecked");
        if (c.state == RowState::Checked) {
            EXPECT_TRUE(row.at("damaged").get<bool>());
            const Result info = inspect({"info", (db / c.shown).string()});
            EXPECT_NE(info.out.find(c.reason), std::string::npos) << info.out;
            EXPECT_EQ(info.out.find("Pre-6.x"), std::string::npos) << info.out;
        } else {
            EXPECT_NE(row.at("error").get<std::string>().find(c.reason), std::string::npos)
                << row.dump();
        }
        EXPECT_NE(text.out.find("Stock.Dat"), std::string::npos) << text.out;
        if (held >= 0) ::close(held);
    }
}

// --follow-links follows a link only to a file in a folder the survey walks,
// by that folder's identity: the file is checked once, under its first name,
// and the link says so; a link that leads out, nowhere, or to a folder stays
// skipped with why. Without the option no link is followed.
TEST(SurveyReads, FollowedLinksStayInsideTheFolders) {
    struct Case {
        const char* what;
        const char* link;    // in db
        const char* target;  // relative to the scratch folder
        bool follow;
        const char* error;  // a part of the link's reason
    };
    const Case cases[] = {
        {"a file beside it", "L.DAT", "db/BAD.DAT", true, "the same file as BAD.DAT, checked there"},
        {"a file in a subfolder", "L.DAT", "db/sub/S.DAT", true,
         "the same file as sub/S.DAT, checked there"},
        {"a file outside", "L.DAT", "priv/SECRET.DAT", true,
         "a symbolic link to a file outside the surveyed folders, not followed"},
        {"a link inside to a file outside", "L.DAT", "db/sub/OUT.DAT", true,
         "a symbolic link to a file outside the surveyed folders, not followed"},
        {"nowhere", "L.DAT", "db/GONE.DAT", true, "a symbolic link whose target cannot be reached"},
        {"a folder inside", "F.DAT", "db/sub", true,
         "a symbolic link to a folder of the survey, walked under its own name"},
        {"a folder outside", "F.DAT", "priv", true,
         "a symbolic link to a folder outside the surveyed folders, not followed"},
        {"a file beside it, not followed", "L.DAT", "db/BAD.DAT", false,
         "a symbolic link, not followed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const fs::path db = scratch.path() / "db", priv = scratch.path() / "priv";
        build(db, "BAD.DAT", kDamaged);
        build(db / "sub", "S.DAT", kSound);
        build(priv, "SECRET.DAT", "family 0x0800 page 1024 logical 70\nentry 7 logical 8");
        fs::create_symlink(priv / "SECRET.DAT", db / "sub" / "OUT.DAT");
        fs::create_symlink(scratch.path() / c.target, db / c.link);
        inspect::SurveyOptions o;
        o.dirs = {db.string()};
        o.followLinks = c.follow;
        Surveyed r;
        inspect::runSurvey(o, &r.s);
        const inspect::SurveyRow* row = r.row(c.link);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->state, RowState::Skipped);
        EXPECT_NE(row->error.find(c.error), std::string::npos) << row->error;
        EXPECT_EQ(r.s.damaged(), 1u);
        EXPECT_EQ(r.s.count(RowState::Checked), 2u);
        EXPECT_TRUE(r.s.complete());
        for (const auto& other : r.s.rows) EXPECT_NE(other.pages, 71u) << other.shown;
    }
    // The option before the command's name, as the service's options come.
    ScratchDir scratch;
    build(scratch.path(), "A.DAT", kSound);
    fs::create_symlink(scratch.path() / "A.DAT", scratch.path() / "L.DAT");
    const Json j = inspect({"--follow-links", "--json", "survey", scratch.path().string()}).json();
    EXPECT_EQ(j.at("files").at(1).at("error"), "the same file as A.DAT, checked there");
}

// A set that lacks what its FCR names (an extension file gone, a member cut
// short) is damage in every form of the survey, with what it lacks.
TEST(SurveyReads, AnIncompleteSetIsDamage) {
    struct Case {
        const char* what;
        void (*make)(const fs::path& db);
        const char* lacks;  // a part of the sentence
    };
    const Case cases[] = {
        {"an extension file missing",
         [](const fs::path& db) { fs::remove(db / "X.^01"); },
         "is X.^01 missing?"},
        {"the extension file cut short",
         [](const fs::path& db) { fs::resize_file(db / "X.^01", 4096); },
         "or X.^01 cut short?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const fs::path db = scratch.path();
        build(db, "X.DAT", "family 0x0800 page 1024 logical 60\nsplit logical:30");
        build(db, "CLEAN.DAT", kSound);
        c.make(db);
        const Surveyed r = survey({db.string()});
        const inspect::SurveyRow* row = r.row("X.DAT");
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->state, RowState::Checked) << row->error;
        EXPECT_NE(row->incomplete.find(c.lacks), std::string::npos) << row->incomplete;
        EXPECT_TRUE(row->damaged(false));
        EXPECT_EQ(r.s.damaged(), 1u);
        EXPECT_EQ(inspect::surveyStatus(r.s), 1);
        const Json j = inspect({"--json", "survey", db.string()}).json();
        const Json& f = j.at("files").at(1);
        EXPECT_EQ(f.at("path"), "X.DAT");
        EXPECT_TRUE(f.at("damaged").get<bool>());
        EXPECT_NE(f.at("incomplete").get<std::string>().find(c.lacks), std::string::npos);
        EXPECT_TRUE(j.at("files").at(0).at("incomplete").is_null());
        const Result text = inspect({"survey", db.string()});
        EXPECT_NE(text.out.find("damage: X.DAT (incomplete set: "), std::string::npos) << text.out;
        EXPECT_NE(text.err.find("damaged: " + db.string() + "/X.DAT ("), std::string::npos);
        EXPECT_NE(text.err.find("; incomplete set: "), std::string::npos) << text.err;
        const Result prom = inspect({"survey", "--format", "prometheus", db.string()});
        const std::string labels = "{dir=\"" + db.string() + "\",path=\"X.DAT\"} 1\n";
        EXPECT_NE(prom.out.find("tabulon_file_incomplete" + labels), std::string::npos);
        EXPECT_NE(prom.out.find("tabulon_file_damaged" + labels), std::string::npos);
        const Result nagios = inspect({"survey", "--format", "nagios", db.string()});
        EXPECT_EQ(nagios.status, 2);
        EXPECT_NE(nagios.out.find("X.DAT"), std::string::npos) << nagios.out;
    }
}

}  // namespace
}  // namespace itest
