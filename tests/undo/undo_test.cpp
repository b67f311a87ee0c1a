// The undo journal and tabulon-undo: what a run with TABULON_UNDO leaves,
// when the journal cannot be made, and what the undo accepts, restores and
// refuses.
#include <cerrno>
#include <functional>

#include "fileio/journal.h"
#include "support.h"

using namespace tabulon;

namespace {

using namespace undotest;
using faults::FaultPlatform;

// fix_all_bits: PAT header fields, a zero page header and two bad entries.
const char* const kRecipe =
    "family 0x0800 page 512 logical 10\n"
    "pat 1 copy 1 signature\npat 1 copy 0 number 5\nheader 3 zero\n"
    "entry 6 logical 8\nentry 9 beyond 1\n";

// A set split into two members, repaired across several PAT pairs.
const char* const kSplitRecipe =
    "family 0x0700 page 1024 logical 1200\n"
    "entry 5 logical 7\nheader 300 zero\nentry 700 logical 702\npat 3 copy 0 number 9\n"
    "entry 1100 logical 1102\nsplit 300000\n";

class Undo : public ::testing::Test {
  protected:
    void repair(const char* recipe,
                const std::vector<std::string>& args = {"@FILE", "/F-1", "/R"}) {
        RepairCase c{"undo", recipe, args};
        main = buildCase(c, dir.path());
        before = snapshot(dir.path());
        FaultPlatform p;
        run = runTabulonOn(args, dir.path(), main, p, journal());
        ASSERT_EQ(run.status, 0) << run.err;
        repaired = snapshot(dir.path(), "undo.journal");
        ASSERT_NE(repaired, before);
    }
    std::string journal() const { return dir.path("undo.journal"); }
    Snapshot now() const { return snapshot(dir.path(), "undo.journal"); }

    Scratch dir;
    std::string main;
    Snapshot before, repaired;
    TabulonRun run;
};

TEST_F(Undo, RestoresACompletedRepairAndThenHasNothingToDo) {
    for (const char* recipe : {kRecipe, kSplitRecipe}) {
        SCOPED_TRACE(recipe);
        for (const auto& e : fs::directory_iterator(dir.path())) fs::remove(e.path());
        repair(recipe);
        UndoRun dry = runUndoOn({journal(), "--dry-run"});
        EXPECT_EQ(dry.status, undo::kRestored) << dry.err;
        EXPECT_NE(dry.out.find("Would restore"), std::string::npos);
        EXPECT_EQ(now(), repaired) << "a dry run wrote";

        UndoRun u = runUndoOn({journal()});
        EXPECT_EQ(u.status, undo::kRestored) << u.err;
        EXPECT_NE(u.out.find("the run completed"), std::string::npos) << u.out;
        EXPECT_EQ(now(), before);

        UndoRun again = runUndoOn({journal()});
        EXPECT_EQ(again.status, undo::kRestored);
        EXPECT_NE(again.out.find("Nothing to restore"), std::string::npos) << again.out;
        EXPECT_EQ(now(), before);
    }
}

TEST_F(Undo, JournalGroupsPatPairsAndKeepsUsageCounts) {
    repair(kSplitRecipe);
    JournalContents j;
    std::string why;
    ASSERT_TRUE(parseJournal(readBytes(journal()), &j, &why)) << why;
    EXPECT_TRUE(j.closed);
    EXPECT_FALSE(j.tornTail);
    EXPECT_EQ(j.identity.members.size(), 2u);
    EXPECT_EQ(j.identity.mainPath, dir.path(main));
    // Repairs in three pairs and a page header: one group for the pairs, one
    // for the header.
    EXPECT_EQ(j.groups, 2u);
    size_t patCopies = 0;
    for (const JournaledBlock& b : j.blocks) {
        if (b.block.kept.size() == 1) ++patCopies;
        EXPECT_EQ(b.old.size(), b.block.length);
    }
    EXPECT_GE(patCopies, 6u);
}

TEST_F(Undo, RefusesASetThatChangedSince) {
    struct Change {
        const char* what;
        std::function<void(const std::string& dir, const std::string& main)> apply;
        int forced;  // status with --force
    };
    const Change changes[] = {
        {"a member grew",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b.push_back(0);
             writeBytes(d + "/" + m, b);
         },
         undo::kRestored},
        {"the FCR changed",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[100] ^= 0xFF;
             writeBytes(d + "/" + m, b);
         },
         undo::kRestored},
        {"a repaired PAT entry changed again",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[0x2000 + 0x30] ^= 0xFF;  // a slot of the current PAT copy
             writeBytes(d + "/" + m, b);
         },
         undo::kRestored},
        {"an extension member appeared",
         [](const std::string& d, const std::string&) { writeBytes(d + "/TEST.^01", Bytes(512)); },
         undo::kRestored},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir.path())) fs::remove(e.path());
        repair(kRecipe);
        c.apply(dir.path(), main);
        const Snapshot changed = now();
        UndoRun u = runUndoOn({journal()});
        EXPECT_EQ(u.status, undo::kRefused) << u.out << u.err;
        EXPECT_NE(u.err.find("Refused"), std::string::npos) << u.err;
        EXPECT_EQ(now(), changed) << "a refused undo wrote";

        UndoRun forced = runUndoOn({journal(), "--force"});
        EXPECT_EQ(forced.status, c.forced) << forced.err;
        // Every journaled block is back to its old bytes.
        JournalContents j;
        std::string why;
        ASSERT_TRUE(parseJournal(readBytes(journal()), &j, &why));
        Bytes b = readBytes(dir.path(main));
        for (const JournaledBlock& jb : j.blocks) {
            EXPECT_TRUE(
                std::equal(jb.old.begin(), jb.old.end(), b.begin() + long(jb.block.offset)));
        }
    }
}

TEST_F(Undo, CutShortRunRestoresWhereTheRunCouldHaveWritten) {
    repair(kSplitRecipe);
    // Drop the closing record: the journal of a run that was killed.
    JournalContents j;
    std::string why;
    Bytes bytes = readBytes(journal());
    ASSERT_TRUE(parseJournal(bytes, &j, &why));
    const size_t closing = 9 + 4 * j.blocks.size();
    bytes.resize(bytes.size() - closing);
    writeBytes(journal(), bytes);
    ASSERT_TRUE(parseJournal(bytes, &j, &why));
    ASSERT_FALSE(j.closed);

    // A PAT copy whose usage count differs was written by someone else.
    const JournaledBlock* pat = nullptr;
    const uint64_t mainSize = readBytes(dir.path(main)).size();
    for (const JournaledBlock& b : j.blocks) {
        if (!pat && !b.block.kept.empty() && b.block.offset + b.block.length <= mainSize) pat = &b;
    }
    ASSERT_NE(pat, nullptr);
    const Snapshot repairedSet = now();
    {
        Bytes m = readBytes(dir.path(main));
        m[pat->block.offset + pat->block.kept[0].first] ^= 1;
        writeBytes(dir.path(main), m);
        UndoRun u = runUndoOn({journal()});
        EXPECT_EQ(u.status, undo::kRefused) << u.out << u.err;
        m[pat->block.offset + pat->block.kept[0].first] ^= 1;
        writeBytes(dir.path(main), m);
    }
    // Any bytes elsewhere in the blocks are what a partly done write leaves.
    {
        Bytes m = readBytes(dir.path(main));
        m[pat->block.offset + pat->block.length - 1] ^= 0x5A;
        writeBytes(dir.path(main), m);
    }
    UndoRun u = runUndoOn({journal()});
    EXPECT_EQ(u.status, undo::kRestored) << u.err;
    EXPECT_NE(u.out.find("cut short"), std::string::npos) << u.out;
    EXPECT_EQ(now(), before);
    (void)repairedSet;
}

TEST_F(Undo, DamagedJournalsAreErrors) {
    repair(kRecipe);
    const Bytes good = readBytes(journal());
    struct Damage {
        const char* what;
        std::function<void(Bytes&)> apply;
        int status;
    };
    const Damage damages[] = {
        {"no magic number", [](Bytes& b) { b[0] = 'X'; }, undo::kError},
        {"another version", [](Bytes& b) { b[8] = 9; }, undo::kError},
        {"a damaged record before the last", [](Bytes& b) { b[40] ^= 1; }, undo::kError},
        {"empty", [](Bytes& b) { b.clear(); }, undo::kError},
        // A last record cut short was never relied on: the rest restores.
        {"torn last record", [](Bytes& b) { b.resize(b.size() - 3); }, undo::kRestored},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Bytes b = good;
        d.apply(b);
        writeBytes(journal(), b);
        UndoRun u = runUndoOn({journal(), "--dry-run"});
        EXPECT_EQ(u.status, d.status) << u.out << u.err;
        EXPECT_EQ(now(), repaired);
    }
    UndoRun missing = runUndoOn({dir.path("no.journal")});
    EXPECT_EQ(missing.status, undo::kError);
    EXPECT_NE(missing.err.find("Unable to open undo journal"), std::string::npos);
}

TEST_F(Undo, EveryPrefixOfAJournalParsesOrIsRefusedWhole) {
    repair(kSplitRecipe);
    const Bytes good = readBytes(journal());
    JournalContents full;
    std::string why;
    ASSERT_TRUE(parseJournal(good, &full, &why));
    for (size_t n = 0; n < good.size(); ++n) {
        JournalContents j;
        Bytes prefix(good.begin(), good.begin() + long(n));
        if (!parseJournal(prefix, &j, &why)) continue;
        // Only whole records count: the blocks are a prefix of the full list.
        ASSERT_LE(j.blocks.size(), full.blocks.size());
        for (size_t i = 0; i < j.blocks.size(); ++i) {
            ASSERT_EQ(j.blocks[i].old, full.blocks[i].old) << n;
        }
        ASSERT_FALSE(j.closed) << n;
    }
}

TEST(UndoJournal, CannotBeCreated) {
    struct Case {
        const char* what;
        bool exists;
        const char* journalName;
        uint32_t error;
    };
    const Case cases[] = {
        {"exists", true, "undo.journal", EEXIST},
        {"folder missing", false, "missing/undo.journal", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch dir;
        RepairCase rc{"x", kRecipe, {"@FILE", "/F-1", "/R"}};
        const std::string main = buildCase(rc, dir.path());
        const std::string journal = dir.path(c.journalName);
        if (c.exists) writeBytes(journal, Bytes{'k', 'e', 'e', 'p'});
        const Snapshot before = snapshot(dir.path());
        FaultPlatform p;
        TabulonRun r = runTabulonOn(rc.args, dir.path(), main, p, journal);
        EXPECT_EQ(r.status, -3);
        EXPECT_EQ(snapshot(dir.path()), before);
        const std::string line = "Unable to create undo journal <" + journal + ">, Status Code " +
                                 std::to_string(c.error) + ", " +
                                 systemPlatform().errorText(c.error);
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        // Before the scan: no scan line, no report.
        EXPECT_EQ(r.err.find("Scanning PAT Pairs"), std::string::npos);
        EXPECT_EQ(r.out.find("Pages Examined"), std::string::npos);
    }
}

TEST(UndoJournal, IgnoredWithoutAFixMask) {
    Scratch dir;
    RepairCase rc{"x", kRecipe, {"@FILE", "/R"}};
    const std::string main = buildCase(rc, dir.path());
    FaultPlatform p;
    TabulonRun r = runTabulonOn(rc.args, dir.path(), main, p, dir.path("undo.journal"));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(dir.path("undo.journal")));
}

TEST(UndoJournal, SameOutputAsARunWithout) {
    for (const RepairCase& c : repairCases()) {
        TabulonRun runs[2];
        Snapshot sets[2];
        for (int journal = 0; journal < 2; ++journal) {
            Scratch dir;
            const std::string main = buildCase(c, dir.path());
            FaultPlatform p;
            runs[journal] =
                runTabulonOn(c.args, dir.path(), main, p, journal ? dir.path("undo.journal") : "");
            sets[journal] = snapshot(dir.path(), "undo.journal");
            for (std::string* t : {&runs[journal].out, &runs[journal].err}) {
                maskFolder(t, dir.path().string());
            }
        }
        EXPECT_EQ(runs[0].out, runs[1].out) << c.name;
        EXPECT_EQ(runs[0].err, runs[1].err) << c.name;
        EXPECT_EQ(runs[0].status, runs[1].status) << c.name;
        EXPECT_TRUE(sets[0] == sets[1]) << c.name;
    }
}

}  // namespace
