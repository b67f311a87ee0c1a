// The undo journal and tabulon-undo: what a run with TABULON_UNDO leaves,
// when the journal cannot be made, and what the undo accepts, restores and
// refuses.
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "fileio/journal.h"
#include "format/le.h"
#include "support.h"
#include "support/forwarding_platform.h"
#include "support/sweep.h"

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
    // tabulon-undo on the set, named with --set (the journal's path is an
    // absolute one).
    UndoRun undoSet(std::vector<std::string> args) const {
        args.push_back("--set");
        args.push_back(dir.path(main));
        return runUndoOn(args);
    }
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
        UndoRun dry = undoSet({journal(), "--dry-run"});
        EXPECT_EQ(dry.status, undo::kRestored) << dry.err;
        EXPECT_NE(dry.out.find("Would restore"), std::string::npos);
        EXPECT_EQ(now(), repaired) << "a dry run wrote";

        UndoRun u = undoSet({journal()});
        EXPECT_EQ(u.status, undo::kRestored) << u.err;
        EXPECT_NE(u.out.find("the run completed"), std::string::npos) << u.out;
        EXPECT_EQ(now(), before);

        UndoRun again = undoSet({journal()});
        EXPECT_EQ(again.status, undo::kRestored);
        EXPECT_NE(again.out.find("Nothing to restore"), std::string::npos) << again.out;
        EXPECT_EQ(now(), before);
        // The repair once more, and a flush of the set that fails after
        // the restore: an error.
        for (const auto& [name, bytes] : repaired) writeBytes(dir.path(name), bytes);
        FaultPlatform failing({faults::Op::Flush, 1, faults::How::Error, EIO});
        EXPECT_EQ(runUndoOn({journal(), "--set", dir.path(main)}, failing).status, undo::kError);
    }
}

TEST_F(Undo, JournalGroupsPatPairsAndKeepsUsageCounts) {
    repair(kSplitRecipe);
    JournalContents j;
    ASSERT_TRUE(parseJournal(readBytes(journal()), &j).ok());
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

// The records of a journal, to change and put back together with sound
// framing and checksums.
using Records = std::vector<std::pair<uint8_t, Bytes>>;

Records recordsOf(const Bytes& journal) {
    Records r;
    for (size_t at = 12; at + 9 <= journal.size();) {
        const size_t n = le32(journal.data() + at + 1);
        r.emplace_back(journal[at],
                       Bytes(journal.begin() + long(at) + 5, journal.begin() + long(at + 5 + n)));
        at += n + 9;
    }
    return r;
}

Bytes assemble(const Records& records) {
    Bytes b = journalPreamble();
    for (const auto& [kind, body] : records) {
        const Bytes r = journalRecord(kind, body);
        b.insert(b.end(), r.begin(), r.end());
    }
    return b;
}

// A group record of one block, all of it changeable.
Bytes groupOf(uint64_t offset, const Bytes& old) {
    Bytes b(18);
    putLe32(b.data(), 1);
    putLe32(b.data() + 4, uint32_t(offset));
    putLe32(b.data() + 8, uint32_t(offset >> 32));
    putLe32(b.data() + 12, uint32_t(old.size()));
    b.insert(b.end(), old.begin(), old.end());
    return b;
}

// A group record of 1-byte blocks at the offsets.
Bytes groupOfBytes(const std::vector<uint64_t>& offsets) {
    Bytes b(4);
    putLe32(b.data(), uint32_t(offsets.size()));
    for (uint64_t offset : offsets) {
        Bytes one = groupOf(offset, Bytes(1, 0x55));
        b.insert(b.end(), one.begin() + 4, one.end());
    }
    return b;
}

// Offset of the n-th record (from 0) in a journal.
size_t recordAt(const Bytes& journal, size_t n) {
    size_t at = 12;
    for (size_t i = 0; i < n; ++i) at += le32(journal.data() + at + 1) + 9;
    return at;
}

TEST_F(Undo, RefusesASetThatChangedSince) {
    struct Change {
        const char* what;
        std::function<void(const std::string& dir, const std::string& main)> apply;
        int forced;                   // status with --force
        int status = undo::kRefused;  // without
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
        {"the second FCR copy changed",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[2048 + 100] ^= 0xFF;  // FCR copies (and PAT pages) of 2048 bytes
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
        {"the FCR changed, a run cut short",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[100] ^= 0xFF;
             writeBytes(d + "/" + m, b);
             Records r = recordsOf(readBytes(d + "/undo.journal"));
             r.pop_back();  // no closing record: no fingerprint to tell the FCR changed
             writeBytes(d + "/undo.journal", assemble(r));
         },
         undo::kRestored},
        {"the FCR changed, a journal without the file's identity",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[100] ^= 0xFF;
             writeBytes(d + "/" + m, b);
             Records r = recordsOf(readBytes(d + "/undo.journal"));
             r[0].second.resize(r[0].second.size() - 17);
             b = assemble(r);
             putLe32(b.data() + 8, 2);
             writeBytes(d + "/undo.journal", b);
         },
         undo::kError, undo::kError},  // only the FCR ties such a journal to its set
        {"the FCR changed, a journal that does not know the file's identity",
         [](const std::string& d, const std::string& m) {
             Bytes b = readBytes(d + "/" + m);
             b[100] ^= 0xFF;
             writeBytes(d + "/" + m, b);
             Records r = recordsOf(readBytes(d + "/undo.journal"));
             std::fill(r[0].second.end() - 17, r[0].second.end(), 0);
             writeBytes(d + "/undo.journal", assemble(r));
         },
         undo::kError, undo::kError},
        {"an extension member appeared",
         [](const std::string& d, const std::string&) { writeBytes(d + "/TEST.^01", Bytes(512)); },
         undo::kError, undo::kError},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir.path())) fs::remove(e.path());
        repair(kRecipe);
        c.apply(dir.path(), main);
        const Snapshot changed = now();
        UndoRun u = undoSet({journal()});
        EXPECT_EQ(u.status, c.status) << u.out << u.err;
        EXPECT_NE(u.err.find("Refused"), std::string::npos) << u.err;
        EXPECT_EQ(now(), changed) << "a refused undo wrote";

        UndoRun forced = undoSet({journal(), "--force"});
        EXPECT_EQ(forced.status, c.forced) << forced.err;
        if (c.forced != undo::kRestored) {
            // Another set: --force does not make it this one.
            EXPECT_EQ(now(), changed);
            continue;
        }
        // Every journaled block is back to its old bytes.
        JournalContents j;
        ASSERT_TRUE(parseJournal(readBytes(journal()), &j).ok());
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
    Bytes bytes = readBytes(journal());
    ASSERT_TRUE(parseJournal(bytes, &j).ok());
    const size_t closing = 9 + 4 * j.blocks.size();
    bytes.resize(bytes.size() - closing);
    writeBytes(journal(), bytes);
    ASSERT_TRUE(parseJournal(bytes, &j).ok());
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
        UndoRun u = undoSet({journal()});
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
    UndoRun u = undoSet({journal()});
    EXPECT_EQ(u.status, undo::kRestored) << u.err;
    EXPECT_NE(u.out.find("cut short"), std::string::npos) << u.out;
    EXPECT_EQ(now(), before);

    // A later record of the same block: the earlier record's old bytes are
    // the older ones, and are written last.
    for (const auto& [name, b] : repairedSet) writeBytes(dir.path(name), b);
    const auto at = repairedSet.at(main).begin() + long(pat->block.offset);
    Bytes middle(at, at + pat->block.length);
    middle.back() ^= 0x5A;
    Records r = recordsOf(bytes);
    r.emplace_back('G', groupOf(pat->block.offset, middle));
    writeBytes(journal(), assemble(r));
    EXPECT_EQ(undoSet({journal()}).status, undo::kRestored);
    EXPECT_EQ(now(), before);
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
        // One flipped bit in a middle record's length: the records after it
        // show it is no cut-short tail.
        {"a middle record's length past the end",
         [](Bytes& b) { b[recordAt(b, 1) + 3] ^= 0x01; },
         undo::kError},
        // A last record cut short was never relied on: the rest restores.
        {"torn last record", [](Bytes& b) { b.resize(b.size() - 3); }, undo::kRestored},
        // Unless the set no longer holds the old bytes it shows, or it shows none.
        {"cut after the run", [](Bytes& b) { b.resize(recordAt(b, 1) + 131); }, undo::kError},
        {"cut before any old bytes", [](Bytes& b) { b.resize(recordAt(b, 1) + 7); }, undo::kError},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Bytes b = good;
        d.apply(b);
        writeBytes(journal(), b);
        UndoRun u = undoSet({journal(), "--dry-run"});
        EXPECT_EQ(u.status, d.status) << u.out << u.err;
        // Damage is never taken for a tail the run cut short, and --force
        // restores what it can but the status still says not all.
        if (d.status == undo::kError) {
            EXPECT_EQ(u.out.find("no write it would have covered"), std::string::npos) << u.out;
            EXPECT_EQ(undoSet({journal(), "--dry-run", "--force"}).status, undo::kError);
        }
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
    ASSERT_TRUE(parseJournal(good, &full).ok());
    // A seeded sample of the prefixes; all of them in undo_journal_prefixes_long.
    const sweep::Sweep cuts = sweep::fromEnvironment();
    SCOPED_TRACE(cuts.note());
    for (size_t n : cuts.pick(good.size(), 300)) {
        JournalContents j;
        Bytes prefix(good.begin(), good.begin() + long(n));
        if (!parseJournal(prefix, &j).ok()) continue;
        // Only whole records count: the blocks are a prefix of the full list.
        ASSERT_LE(j.blocks.size(), full.blocks.size());
        for (size_t i = 0; i < j.blocks.size(); ++i) {
            ASSERT_EQ(j.blocks[i].old, full.blocks[i].old) << n;
        }
        ASSERT_FALSE(j.closed) << n;
    }
}

// The crafted journals of an attacker and the mishaps of an administrator:
// each is refused with status 2 and nothing is written, --force or not.
TEST_F(Undo, CraftedJournalsAreRefusedAndWriteNothing) {
    repair(kSplitRecipe);
    const Bytes good = readBytes(journal());
    const std::string victim = dir.path("victim");
    writeBytes(victim, Bytes(600, 'v'));
    const std::string other = dir.path("other.dat");
    {
        // Another Btrieve set: one member, another version and page size.
        Scratch elsewhere;
        RepairCase c{"other", kRecipe, {}};
        const std::string name = buildCase(c, elsewhere.path());
        fs::copy_file(elsewhere.path(name), other);
    }
    auto withBlock = [&](uint64_t offset, uint32_t length) {
        Records r = recordsOf(good);
        r.resize(1);
        r.emplace_back('G', groupOf(offset, Bytes(length, 0x55)));
        return assemble(r);
    };
    auto namingVictim = [&](const std::string& path) {
        JournalIdentity id;
        id.mainPath = path;
        id.members = {{path, 600}};
        return assemble({{'I', identityBody(id)}, {'G', groupOf(0, Bytes(30, 'X'))}});
    };
    const uint64_t mainSize = fs::file_size(dir.path(main));
    const uint64_t total = mainSize + fs::file_size(dir.path("TEST.^01"));
    JournalContents full;
    ASSERT_TRUE(parseJournal(good, &full).ok());
    const JournaledBlock* header = nullptr;
    for (const JournaledBlock& b : full.blocks) {
        if (b.block.kept.empty()) header = &b;
    }
    ASSERT_NE(header, nullptr);
    {
        // A set of the same member count, version, page size and PAT page
        // size, whose FCR copies differ: another set.
        Scratch elsewhere;
        std::string recipe = kSplitRecipe;
        recipe.replace(recipe.find("logical 1200"), 12, "logical 1190");
        RepairCase c{"same geometry", recipe, {}};
        const std::string name = buildCase(c, elsewhere.path());
        fs::copy_file(elsewhere.path(name), dir.path("OTHER.DAT"));
        fs::copy_file(elsewhere.path("TEST.^01"), dir.path("OTHER.^01"));
    }
    auto withRecords = [&](std::function<void(Records&)> change) {
        Records r = recordsOf(good);
        change(r);
        return assemble(r);
    };
    // 1 more block than the set's geometry allows a repair to write.
    std::vector<uint64_t> tooMany(total / 1024 + 2 * 2 + 3);
    for (size_t i = 0; i < tooMany.size(); ++i) tooMany[i] = 100 + i % 50;

    struct Crafted {
        const char* what;
        Bytes journal;
        std::vector<std::string> args;  // after the journal; --set MAIN when empty
        const char* says;
    };
    std::vector<Crafted> cases = {
        {"an absolute path", namingVictim(victim), {"--force"}, "absolute"},
        {"a path out of the folder", namingVictim("../victim"), {"--force"}, "leads out"},
        {"a path out of the folder by its last part", namingVictim("sub/.."), {}, "leads out"},
        {"a path from a root, written with a backslash",
         namingVictim("\\victim"),
         {"--force"},
         "absolute"},
        {"another file named with --set",
         namingVictim(victim),
         {"--set", victim, "--force"},
         "not a Btrieve file"},
        {"another set named with --set", good, {"--set", other, "--force"}, "not the file set"},
        {"another set of the same geometry named with --set",
         good,
         {"--set", dir.path("OTHER.DAT"), "--force"},
         "is not the file the journal was made on"},
        {"another set of the same geometry named with --set, a journal of format 2",
         [&] {
             Records r = recordsOf(good);
             r[0].second.resize(r[0].second.size() - 17);
             Bytes b = assemble(r);
             putLe32(b.data() + 8, 2);
             return b;
         }(),
         {"--set", dir.path("OTHER.DAT"), "--force"},
         "which file the journal was made on cannot be told"},
        {"the recorded page size not the set's",
         withRecords([](Records& r) { putLe16(r[0].second.data() + 2 + r[0].second[0] + 2, 4096); }),
         {"--force"},
         "page size is 1024"},
        {"a page header block one byte short",
         withBlock(header->block.offset, header->block.length - 1),
         {},
         "Block 1"},
        {"a block of no bytes", withBlock(header->block.offset, 0), {"--force"}, "malformed"},
        {"an identity whose file identity is neither known nor unknown",
         withRecords([](Records& r) { r[0].second[r[0].second.size() - 17] = 2; }),
         {},
         "the identity record at byte 12 is malformed"},
        {"a group of no blocks",
         withRecords([](Records& r) { r.insert(r.begin() + 1, {'G', Bytes(4, 0)}); }),
         {},
         "malformed"},
        {"more blocks than a repair of the set writes",
         withRecords([&](Records& r) {
             r.resize(1);
             r.emplace_back('G', groupOfBytes(tooMany));
         }),
         {"--force"},
         "more than a repair of the set writes"},
        {"a record after the closing record",
         withRecords([&](Records& r) { r.emplace_back('G', groupOf(header->block.offset,
                                                                    header->old)); }),
         {},
         "a record after the closing record"},
        {"a middle record's length past the end, records after it",
         [&] {
             Bytes b = good;
             putLe32(b.data() + recordAt(b, 1) + 1, uint32_t(b.size()));
             return b;
         }(),
         {},
         "records follow it"},
        {"a block across the main file's end", withBlock(mainSize - 4, 1000), {}, "Block 1"},
        {"a block past the set's end", withBlock(total + 10, 100), {}, "Block 1"},
        {"a block inside a member, not one a repair writes", withBlock(100, 30), {}, "Block 1"},
        {"an FCR span of 0xFFFFFFFF",
         [&] {
             Records r = recordsOf(good);
             putLe32(r[0].second.data() + 2 + r[0].second[0] + 6, 0xFFFFFFFF);
             return assemble(r);
         }(),
         {"--force"},
         "FCR span"},
        {"the first group's length set to 0x7fffffff",
         [&] {
             Bytes b = good;
             putLe32(b.data() + recordAt(b, 1) + 1, 0x7FFFFFFF);
             return b;
         }(),
         {},
         "damaged"},
        {"the second group's length set to 0x7fffffff",
         [&] {
             Bytes b = good;
             putLe32(b.data() + recordAt(b, 2) + 1, 0x7FFFFFFF);
             return b;
         }(),
         {},
         "damaged"},
        {"a kept range past its block's end",
         withRecords([](Records& r) {
             putLe32(r[1].second.data() + 18, 1);
             putLe32(r[1].second.data() + 22, le32(r[1].second.data() + 12));
         }),
         {},
         "malformed"},
        {"more blocks than a repair of the set writes, in two groups",
         withRecords([&](Records& r) {
             r.resize(1);
             const auto half = tooMany.begin() + long(tooMany.size() / 2);
             r.emplace_back('G', groupOfBytes(std::vector<uint64_t>(tooMany.begin(), half)));
             r.emplace_back('G', groupOfBytes(std::vector<uint64_t>(half, tooMany.end())));
         }),
         {"--force"},
         "more than a repair of the set writes"},
        {"a closing record that counts a block less",
         withRecords([](Records& r) {
             Bytes& c = r.back().second;
             putLe32(c.data(), le32(c.data()) - 1);
             c.erase(c.end() - 8, c.end() - 4);
         }),
         {},
         "the closing record"},
        {"a record before the last failing its checksum",
         [&] {
             Bytes b = good;
             b[recordAt(b, 2) - 10] ^= 0x40;  // an old byte of the first group
             return b;
         }(),
         {},
         "fails its checksum"},
    };
    for (Crafted& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(journal(), c.journal);
        const Snapshot was = now();
        std::vector<std::string> args{journal()};
        if (c.args.empty() || c.args[0] != "--set") {
            if (!std::string(c.says).starts_with("absolute") &&
                !std::string(c.says).starts_with("leads")) {
                args.insert(args.end(), {"--set", dir.path(main)});
            }
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        UndoRun u = runUndoOn(args);
        EXPECT_EQ(u.status, undo::kError) << u.out << u.err;
        EXPECT_NE(u.err.find(c.says), std::string::npos) << u.err;
        EXPECT_EQ(u.out.find("no write it would have covered was made"), std::string::npos);
        EXPECT_LE(countOf(u.err, "\n"), 25u) << u.err;  // blocks listed up to a limit
        EXPECT_EQ(now(), was) << "a refused undo wrote";
    }

    // Blocks outside the plan are listed up to a limit, then counted.
    writeBytes(journal(), withRecords([](Records& r) {
                   r.resize(1);
                   std::vector<uint64_t> offsets;
                   for (uint64_t i = 0; i < 30; ++i) offsets.push_back(100 + i);
                   r.emplace_back('G', groupOfBytes(offsets));
               }));
    UndoRun listed = undoSet({journal()});
    EXPECT_EQ(listed.status, undo::kError);
    EXPECT_EQ(countOf(listed.err, "is neither a PAT copy"), 20u) << listed.err;
    EXPECT_NE(listed.err.find("\n(10 more block(s) not listed.)\n"), std::string::npos)
        << listed.err;

    // The member .^01 replaced by a link to a file of the same bytes.
    writeBytes(journal(), good);
    const Bytes ext = readBytes(dir.path("TEST.^01"));
    writeBytes(dir.path("linked"), ext);
    fs::remove(dir.path("TEST.^01"));
    fs::create_symlink(dir.path("linked"), dir.path("TEST.^01"));
    UndoRun linked = undoSet({journal(), "--force"});
    EXPECT_EQ(linked.status, undo::kError) << linked.out << linked.err;
    EXPECT_NE(linked.err.find("regular file"), std::string::npos) << linked.err;
    EXPECT_EQ(readBytes(dir.path("linked")), ext);
}

TEST_F(Undo, DamageIsReportedAndForceRestoresWhatCameBefore) {
    repair(kSplitRecipe);
    const Bytes good = readBytes(journal());
    JournalContents full;
    ASSERT_TRUE(parseJournal(good, &full).ok());
    ASSERT_EQ(full.groups, 2u);

    // The second group damaged: --force takes back the first group's blocks.
    Bytes b = good;
    const size_t second = recordAt(b, 2);
    putLe32(b.data() + second + 1, 0x7FFFFFFF);
    writeBytes(journal(), b);
    UndoRun forced = undoSet({journal(), "--force"});
    EXPECT_EQ(forced.status, undo::kError) << forced.out << forced.err;
    EXPECT_NE(forced.out.find("before byte " + std::to_string(second)), std::string::npos)
        << forced.out;
    const Bytes m = readBytes(dir.path(main));
    for (const JournaledBlock& jb : full.blocks) {
        if (jb.group != 0 || jb.block.offset + jb.block.length > m.size()) continue;
        EXPECT_TRUE(std::equal(jb.old.begin(), jb.old.end(), m.begin() + long(jb.block.offset)));
    }

    // Cut after the run inside the second group: the first group's blocks
    // restored, the written block the cut record shows named, status 2.
    for (const auto& [name, bytes] : repaired) writeBytes(dir.path(name), bytes);
    writeBytes(journal(), Bytes(good.begin(), good.begin() + long(recordAt(good, 3)) - 5));
    UndoRun cut = undoSet({journal()});
    EXPECT_EQ(cut.status, undo::kError) << cut.out << cut.err;
    EXPECT_NE(cut.err.find("written, and not restored"), std::string::npos) << cut.err;
    EXPECT_EQ(readBytes(dir.path(main)), m);

    // A damaged closing record whose length is intact is the tail of a run
    // cut short: reported, and the blocks restored.
    for (const auto& [name, bytes] : repaired) writeBytes(dir.path(name), bytes);
    b = good;
    const size_t closing = recordAt(b, 3);
    b[closing + 6] ^= 0x01;
    writeBytes(journal(), b);
    UndoRun torn = undoSet({journal()});
    EXPECT_EQ(torn.status, undo::kRestored) << torn.out << torn.err;
    EXPECT_NE(torn.out.find("from byte " + std::to_string(closing) + " (" +
                            std::to_string(good.size() - closing) + " bytes), was cut short"),
              std::string::npos)
        << torn.out;
    EXPECT_NE(torn.out.find("the run was cut short"), std::string::npos);
    EXPECT_EQ(now(), before);

    // A journal of 2 TiB: read a record at a time, refused at its damage.
    for (const auto& [name, bytes] : repaired) writeBytes(dir.path(name), bytes);
    writeBytes(journal(), Bytes(good.begin(), good.begin() + long(recordAt(good, 1))));
    fs::resize_file(journal(), uint64_t(2) << 40);
    UndoRun huge = undoSet({journal(), "--dry-run"});
    EXPECT_EQ(huge.status, undo::kError) << huge.out << huge.err;
    EXPECT_NE(huge.err.find("damaged"), std::string::npos) << huge.err;
    fs::remove(journal());
}

TEST(UndoJournal, ReplaysOutOfOrderAreRefused) {
    Scratch dir;
    RepairCase c{"ab", kRecipe, {}};
    const std::string main = buildCase(c, dir.path());
    const Snapshot original = snapshot(dir.path());
    const std::string jA = dir.path("a.journal"), jB = dir.path("b.journal");
    FaultPlatform p;
    ASSERT_EQ(runTabulonOn({"@FILE", "/F4", "/R"}, dir.path(), main, p, jA).status, 0);
    const Snapshot afterA = snapshot(dir.path(), "a.journal");
    ASSERT_EQ(runTabulonOn({"@FILE", "/F-1", "/R"}, dir.path(), main, p, jB).status, 0);
    auto set = [&] {
        Snapshot s = snapshot(dir.path());
        s.erase("a.journal");
        s.erase("b.journal");
        return s;
    };
    const Snapshot afterB = set();
    ASSERT_NE(afterB, afterA);

    UndoRun a = runUndoOn({jA, "--set", dir.path(main)});
    EXPECT_EQ(a.status, undo::kRefused) << a.out << a.err;
    EXPECT_NE(a.err.find("undo that run's journal first"), std::string::npos) << a.err;
    EXPECT_EQ(set(), afterB);

    EXPECT_EQ(runUndoOn({jB, "--set", dir.path(main)}).status, undo::kRestored);
    EXPECT_EQ(runUndoOn({jA, "--set", dir.path(main)}).status, undo::kRestored);
    Snapshot s = set();
    EXPECT_TRUE(s == original);
}

// Records the mode of every open.
class ModePlatform : public ForwardingPlatform {
  public:
    bool open(const char* name, int mode, PlatformHandle* h, uint32_t* error) override {
        modes.push_back(mode);
        return ForwardingPlatform::open(name, mode, h, error);
    }
    std::vector<int> modes;
};

TEST_F(Undo, SmallerMishaps) {
    repair(kRecipe);
    // A dry run opens the set read-only: no writer lock.
    ModePlatform modes;
    UndoRun dry = runUndoOn({journal(), "--dry-run", "--set", dir.path(main)}, modes);
    EXPECT_EQ(dry.status, undo::kRestored) << dry.err;
    for (int mode : modes.modes) EXPECT_NE(mode & ~PlainFileOnly, int(Repair));
    // The set's resolved path comes before the first restored block.
    UndoRun u = undoSet({journal()});
    const size_t at = u.out.find("File set: " + resolvedPath(dir.path(main)) + "\n");
    EXPECT_NE(at, std::string::npos) << u.out;
    EXPECT_LT(at, u.out.find("Restored "));

    // Names from the journal are printed with control characters escaped.
    JournalIdentity id;
    id.mainPath = "\x1b[2J\rNICE\xc2\x9b" "31m\x9b\x7f.DAT";
    writeBytes(journal(), assemble({{'I', identityBody(id)}}));
    UndoRun escaped = runUndoOn({journal()});
    EXPECT_EQ(escaped.status, undo::kError);
    for (char c : {'\x1b', '\x9b', '\x7f'}) {
        EXPECT_EQ((escaped.out + escaped.err).find(c), std::string::npos) << int(c);
    }
    EXPECT_NE(escaped.err.find("\\x1b[2J\\x0dNICE\\xc2\\x9b31m\\x9b\\x7f.DAT"), std::string::npos)
        << escaped.err;
    // A relative path that does not open here points at --set.
    EXPECT_NE(escaped.err.find("--set"), std::string::npos) << escaped.err;
    // Letters whose UTF-8 has bytes of the C1 range stay whole.
    const std::string words = "\xd0\x97\xd0\xb0\xd0\xba\xd0\xb0\xd0\xb7\xd1\x8b/\xe6\xb3\xa8\xe6\x96\x87";
    id.mainPath = words + "\x1b.DAT";
    writeBytes(journal(), assemble({{'I', identityBody(id)}}));
    const UndoRun letters = runUndoOn({journal()});
    EXPECT_NE(letters.err.find(words + "\\x1b.DAT"), std::string::npos) << letters.err;
}

// The journal's own set under another path: a folder reached through a link
// is refused unless --set names the set, and a copy of the set (another
// file, the same FCR copies) is the set, in a journal of either format.
TEST_F(Undo, TheSetIsReachedThroughNoLinkedFolder) {
    repair(kRecipe);
    const Bytes good = readBytes(journal());
    fs::create_directories(dir.path("real"));
    fs::create_directories(dir.path("deep"));
    fs::create_directory_symlink(dir.path("real"), dir.path("sub"));
    fs::create_directory_symlink("../real", dir.path("deep/sub"));
    struct Case {
        const char* what;
        std::string named;  // the path the journal names, from the folder of the undo
        std::string set;    // --set, or none
        bool oldFormat = false;
        int status = undo::kError;
        const char* says = "whose folder is reached through a symbolic link";
        bool held = false;  // another program holds the set open
    };
    const Case cases[] = {
        {"a plain folder", "real/" + main, "", false, undo::kRestored, "Restored 3 block(s)"},
        {"a plain folder, a journal without the file's identity", "./real/" + main, "", true,
         undo::kRestored, "Restored 3 block(s)"},
        {"a linked folder", "sub/" + main, ""},
        {"a linked folder after a plain one", "deep/sub/" + main, ""},
        {"a linked folder named with --set", "sub/" + main, "sub/" + main, false, undo::kRestored,
         "Restored 3 block(s)"},
        {"a copy of the set", main, "COPY.DAT", false, undo::kRestored, "Restored 3 block(s)"},
        {"a set another program holds open", "real/" + main, "", false, undo::kError,
         "(Another program has the file set open", true},
    };
    const fs::path was = fs::current_path();
    fs::current_path(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(dir.path(main));
        fs::remove(dir.path("COPY.DAT"));
        writeBytes(dir.path("real/" + main), repaired.at(main));
        writeBytes(dir.path("COPY.DAT"), repaired.at(main));
        Records r = recordsOf(good);
        JournalContents j;
        ASSERT_TRUE(parseJournal(good, &j).ok());
        j.identity.mainPath = c.named;
        j.identity.members[0].first = c.named;
        r[0].second = identityBody(j.identity);
        if (c.oldFormat) r[0].second.resize(r[0].second.size() - 17);
        Bytes b = assemble(r);
        if (c.oldFormat) putLe32(b.data() + 8, 2);
        writeBytes(journal(), b);
        std::vector<std::string> args{journal()};
        if (!c.set.empty()) args.insert(args.end(), {"--set", c.set});
        PlatformHandle held = kInvalidHandle;
        uint32_t error = 0;
        if (c.held) systemPlatform().open(("real/" + main).c_str(), Repair, &held, &error);
        UndoRun u = runUndoOn(args);
        if (held != kInvalidHandle) systemPlatform().close(held);
        EXPECT_EQ(u.status, c.status) << u.out << u.err;
        EXPECT_NE((u.out + u.err).find(c.says), std::string::npos) << u.out << u.err;
        EXPECT_EQ(u.err.find("the folder the repair ran in"), std::string::npos) << u.err;
        const std::string restored = c.set == "COPY.DAT" ? "COPY.DAT" : "real/" + main;
        EXPECT_EQ(readBytes(dir.path(restored)) == before.at(main), c.status == undo::kRestored);
    }

    // The platform's open through no link, from the same folder.
    const struct {
        std::string name;
        bool opens;
    } opens[] = {{"real/" + main, true},     {"./real//" + main, true},
                 {dir.path("real/" + main), true}, {"sub/" + main, false},
                 {"deep/sub/" + main, false}, {dir.path("sub/" + main), false}};
    fs::create_symlink("real/" + main, dir.path("LINKED.DAT"));
    for (const auto& o : opens) {
        SCOPED_TRACE(o.name);
        PlatformHandle h = kInvalidHandle;
        uint32_t error = 0;
        const bool opened =
            systemPlatform().open(o.name.c_str(), ExclusiveRead | NoLinkedFolders, &h, &error);
        EXPECT_EQ(opened, o.opens) << error;
        if (opened) systemPlatform().close(h);
        // Without the flag the links are followed.
        ASSERT_TRUE(systemPlatform().open(o.name.c_str(), ExclusiveRead, &h, &error));
        systemPlatform().close(h);
    }
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    EXPECT_FALSE(systemPlatform().open("LINKED.DAT", ExclusiveRead | NoLinkedFolders, &h, &error));
    fs::current_path(was);
}

// The command a repair names to take it back works as printed, quoted for
// the shell: from the repair's folder when the journal names the set by a
// path tabulon-undo takes, else from any folder, with --set.
TEST(UndoJournal, TheCommandARepairNamesTakesItBack) {
    Scratch dir;
    const std::string here = dir.path("it's here"), elsewhere = dir.path("else");
    fs::create_directories(here);
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(".", here + "/self");
    const struct {
        std::string set, journal, runIn;
    } cases[] = {
        {"TEST.DAT", "u.journal", here},  // the command as it always was
        {here + "/TEST.DAT", "u.journal", elsewhere},
        {"../it's here/TEST.DAT", dir.path("u.journal"), elsewhere},
        {"self/TEST.DAT", "u.journal", elsewhere},
    };
    const fs::path was = fs::current_path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        buildCase(RepairCase{"x", kRecipe, {}}, here);
        const Snapshot before = snapshot(here);
        fs::current_path(here);
        FaultPlatform p;
        const std::string err = runTabulonOn({c.set, "/F-1", "/R"}, here, "", p, c.journal).err;
        const size_t from = err.rfind("(tabulon-undo ") + 13, to = err.rfind(" takes these");
        const std::string command = err.substr(from, to - from);
        EXPECT_TRUE(c.runIn != here || command == " u.journal") << command;
        fs::current_path(c.runIn);
        EXPECT_EQ(std::system((TABULON_UNDO_EXE + command + " >/dev/null").c_str()), 0) << err;
        fs::current_path(was);
        EXPECT_TRUE(snapshot(here, "u.journal") == before) << command;
        fs::remove(here + "/u.journal");
        fs::remove(dir.path("u.journal"));
    }
}

TEST(UndoJournal, AJournalAmongTheMembersIsRefused) {
    for (const char* name : {"TEST.^02", "TEST.^^^", "TEST.DAT", "./TEST.^01"}) {
        SCOPED_TRACE(name);
        Scratch dir;
        RepairCase rc{"x", kRecipe, {"@FILE", "/F-1", "/R"}};
        const std::string main = buildCase(rc, dir.path());
        const Snapshot before = snapshot(dir.path());
        FaultPlatform p;
        const std::string journal = dir.path(name);
        TabulonRun r = runTabulonOn(rc.args, dir.path(), main, p, journal);
        EXPECT_EQ(r.status, -3);
        const std::string line =
            "Undo journal <" + journal + "> names a member of the file set: refused.\n";
        EXPECT_TRUE(r.err.ends_with("\n" + line)) << r.err;
        EXPECT_EQ(countOf(r.err, "\n"), 2u) << r.err;  // the banner, then this line
        EXPECT_EQ(r.out.find("Pages Examined"), std::string::npos);
        EXPECT_EQ(snapshot(dir.path()), before);
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
            // A journal is kept, and named last, only when the run journaled
            // a block; the rest of the output is that of a run without one.
            if (journal == 0) continue;
            const std::string line =
                "Undo journal: @DIR/undo.journal (tabulon-undo @DIR/undo.journal --set @DIR/" +
                main + " takes these repairs back)\n";
            std::string& err = runs[journal].err;
            const bool named = err.size() >= line.size() &&
                               err.compare(err.size() - line.size(), line.size(), line) == 0;
            EXPECT_EQ(named, fs::exists(dir.path("undo.journal"))) << c.name << err;
            if (named) err.resize(err.size() - line.size());
            EXPECT_EQ(countOf(err, "Undo journal"), 0u) << c.name;
        }
        EXPECT_EQ(runs[0].out, runs[1].out) << c.name;
        EXPECT_EQ(runs[0].err, runs[1].err) << c.name;
        EXPECT_EQ(runs[0].status, runs[1].status) << c.name;
        EXPECT_TRUE(sets[0] == sets[1]) << c.name;
    }
}

}  // namespace
