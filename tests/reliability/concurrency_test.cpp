// Two processes on one file: the sharing modes of the open, and a file left
// by a repair that was killed between writing copy 0 and copy 1 of a pair.
#include <gtest/gtest.h>

#include <algorithm>

#include "builder/recipe.h"
#include "builder/samples.h"
#include "fileio/platform.h"
#include "support/harness.h"

using namespace tabulon;

namespace {

using namespace harness;
using namespace tbuild;

const char* const kRefused =
    ", Status Code 16, Device or resource busy\r\n"
    "Unable to open files. Make sure nobody is using them before using Tabulon!\n"
    "While you're at it, please make an extra backup copy, too!\n";

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const char* modeName(int mode) {
    return mode == ExclusiveRead ? "exclusive read" : mode == Repair ? "repair" : "unprotected";
}

// This process holds the file in one mode while the tool opens it in another.
TEST(SharingModes, SecondOpenerWhileTheFirstHoldsTheFile) {
    struct Opener {
        int mode;
        std::vector<std::string> options;
    };
    const Opener openers[] = {{ExclusiveRead, {}}, {Repair, {"/F1"}}, {Unprotected, {"/U"}}};
    // allowed[holder][second]
    const bool allowed[3][3] = {
        {false, false, false},  // an exclusive reader admits nobody
        {false, false, true},   // a writer admits unprotected readers only
        {false, true, true},    // an unprotected reader admits all but exclusive readers
    };
    for (const Opener& holder : openers) {
        for (const Opener& second : openers) {
            SCOPED_TRACE(std::string(modeName(holder.mode)) + " holder, " + modeName(second.mode) + " opener");
            TempDir dir;
            const std::string name = dir.file("SHARED.DAT");
            writeFile(name, makeSample({0x0800, 512}).bytes());
            std::vector<std::string> args = {name, "/R"};
            args.insert(args.end(), second.options.begin(), second.options.end());

            PlatformHandle h = kInvalidHandle;
            uint32_t error = 0;
            ASSERT_TRUE(systemPlatform().open(name.c_str(), holder.mode, &h, &error)) << error;
            RunResult r = runTool(args);
            systemPlatform().close(h);

            ASSERT_EQ(runFault(r), "");
            if (allowed[holder.mode][second.mode]) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_NE(r.out.find("Problems Found (Total)      : 0\n"), std::string::npos) << r.out;
            } else {
                EXPECT_EQ(r.status, 253);
                EXPECT_TRUE(endsWith(r.err, "Failed to Open File <" + name + ">" + kRefused)) << r.err;
                EXPECT_EQ(r.out, "Scanning file " + name + " for PAT inconsistencies...\n\n");
            }
            // Closing the holder's handle lifts its locks.
            RunResult after = runTool(args);
            EXPECT_EQ(after.status, 0) << after.err;
        }
    }
}

// An extension file held exclusively ends the set before it; the open of the
// main file still succeeds, and the pages in the extension count as missing.
TEST(SharingModes, HeldExtensionFileEndsTheSet) {
    TempDir dir;
    // Split where the pages begin, after the PAT pair.
    const WrittenSet set =
        buildFromRecipe(sampleRecipe({0x0700, 1024}) + "split logical:1\n", dir.path, "SPLIT.DAT");
    ASSERT_EQ(set.members, (std::vector<std::string>{dir.file("SPLIT.DAT"), dir.file("SPLIT.^01")}));

    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    ASSERT_TRUE(systemPlatform().open(dir.file("SPLIT.^01").c_str(), ExclusiveRead, &h, &error));
    RunResult r = runTool({dir.file("SPLIT.DAT"), "/R"});
    systemPlatform().close(h);
    ASSERT_EQ(runFault(r), "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Failed to Open File <" + dir.file("SPLIT.^01") +
                         ">, Status Code 16, Device or resource busy\r\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Problems Found (Total)      : 4\n"), std::string::npos) << r.out;
}

// A repair of a PAT header writes copy 0, then copy 1. Killed in between, it
// leaves copy 0 repaired and copy 1 damaged: the next run loads the pair,
// reports the one damaged field, checks every entry, and can finish the job.
TEST(InterruptedRepair, OnlyCopyZeroOfThePairWritten) {
    for (const NamedSample& f : healthySamples()) {
        const uint16_t v = f.shape.version;
        if (v < 0x0600 || v == 0x0620 || v == 0x0951) continue;  // no header layout to repair
        SCOPED_TRACE(f.name);
        const Bytes healthy = makeSample(f.shape).bytes();
        // Copy 1 still names pair 7.
        const Bytes file = interpretRecipe(f.recipe + "pat 1 copy 1 number 7\n").file.bytes();
        TempDir dir;
        const std::string name = dir.file("HALF.DAT");
        writeFile(name, file);

        RunResult check = runTool({name, "/R"});
        ASSERT_EQ(runFault(check), "");
        EXPECT_NE(check.err.find("==>PAT Page ID's Do Not Match.\n"), std::string::npos);
        EXPECT_NE(check.err.find("==>PAT[1] Header Error: Pat Number "), std::string::npos) << check.err;
        EXPECT_EQ(check.err.find("==>PAT[0]"), std::string::npos) << check.err;
        EXPECT_NE(check.out.find("Problems Found (PAT Pages)  : 1\n"), std::string::npos) << check.out;
        EXPECT_NE(check.out.find("Pages Examined (Total)      : 4\n"), std::string::npos) << check.out;

        RunResult fix = runTool({name, "/R", "/F4"});
        ASSERT_EQ(runFault(fix), "");
        EXPECT_NE(fix.out.find("PAT Headers Fixed:          : 1\n"), std::string::npos) << fix.out;
        EXPECT_EQ(readFile(name), healthy);
    }
}

// An entry repair changes the current copy only, so a kill between the two
// writes leaves what a finished repair leaves. Here copy 0 is current: fix
// bit 2 frees the entry of logical page 2, whose page lost its header, and
// the next run finds the entry free (7.x keeps the page number with type 0,
// which is reported again).
TEST(InterruptedRepair, EntryRepairChangesTheCurrentCopyOnly) {
    for (auto [v, problemsLeft] : {std::pair<uint16_t, int>{0x0700, 1}, {0x0800, 0}, {0x0D00, 0}}) {
        SCOPED_TRACE(v);
        const BuiltRecipe built =
            interpretRecipe(sampleRecipe({v, 1024}) + "pat 1 copy 0 usage 9\nheader 2 zero\n");
        const Layout& l = built.file.layout();
        const Bytes file = built.file.bytes();
        const size_t copy0 = size_t(pairOffset(l, 1)), copy1 = copy0 + l.patPageSize;
        TempDir dir;
        const std::string name = dir.file("HALF.DAT");
        writeFile(name, file);
        ASSERT_EQ(runFault(runTool({name, "/R", "/F2"})), "");

        const Bytes after = readFile(name);
        EXPECT_TRUE(std::equal(file.begin() + long(copy1), file.begin() + long(copy1 + l.patPageSize),
                               after.begin() + long(copy1)));
        EXPECT_FALSE(std::equal(file.begin() + long(copy0), file.begin() + long(copy1), after.begin() + long(copy0)));
        RunResult r = runTool({name, "/R"});
        ASSERT_EQ(runFault(r), "");
        EXPECT_NE(r.out.find("Pages Examined (Total)      : 3\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Problems Found (Total)      : " + std::to_string(problemsLeft) + "\n"),
                  std::string::npos)
            << r.out;
    }
}

}  // namespace
