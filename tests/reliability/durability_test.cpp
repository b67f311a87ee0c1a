// Repairs reach the disk: a member that was written is flushed when the file
// set closes, and only such a member.
#include <gtest/gtest.h>

#include "builder/recipe.h"
#include "builder/samples.h"
#include "fileio/fileset.h"
#include "support/forwarding_platform.h"
#include "support/harness.h"

using namespace tabulon;

#ifdef TABULON_WRAP_FSYNC
namespace {
std::vector<int> flushedFds;
}
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
    flushedFds.push_back(fd);
    return __real_fsync(fd);
}
#endif

namespace {

// Remembers the handles the set opens, so that a flush can be told apart.
class RecordingPlatform : public ForwardingPlatform {
public:
    bool open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) override {
        if (!next_.open(name, mode, handle, error)) return false;
        handles.push_back(*handle);
        return true;
    }
    bool flush(PlatformHandle h, uint32_t* error) override {
        if (flushError == 0) return next_.flush(h, error);
        *error = flushError;
        return false;
    }
    std::string errorText(uint32_t e) override { return "text " + std::to_string(e) + "\n"; }

    std::vector<PlatformHandle> handles;
    uint32_t flushError = 0;  // when set, every flush fails with it
};

}  // namespace

namespace {

using namespace harness;
using namespace tbuild;

class Durability : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TABULON_WRAP_FSYNC
        GTEST_SKIP() << "fsync calls are counted on Linux only";
#endif
        // A 7.x file split after its PAT pair: the pages lie in extension .^01.
        const BuiltRecipe built = interpretRecipe(sampleRecipe({0x0700, 1024}) + "split logical:1\n");
        ASSERT_EQ(writeFileSet(built.file, dir.file("F.DAT"), built.plan).members.size(), 2u);
        split = size_t(built.plan.cuts.at(0));
        ASSERT_EQ(split, pairOffset(built.file.layout(), 1) + 2 * built.file.layout().patPageSize);
        ASSERT_TRUE(set.open(dir.file("F.DAT"), Repair, out, false).ok());
        ASSERT_EQ(set.memberCount(), 2);
        flushedFds.clear();
    }

    TempDir dir;
    NullOutput out;
    RecordingPlatform platform;
    FileSet set{platform};
    Layout layout;
    size_t split = 0;
};

TEST_F(Durability, OnlyWrittenMembersAreFlushedAtClose) {
    // Rewrite the first page header in the extension with its own bytes.
    uint8_t header[4];
    ASSERT_TRUE(set.readAt(split, header, sizeof header));
    ASSERT_TRUE(set.writeAt(split, header, sizeof header));

    ASSERT_EQ(platform.handles.size(), 2u);
    const int extension = int(platform.handles[1]);
    EXPECT_TRUE(set.close().ok());
    EXPECT_EQ(flushedFds, std::vector<int>{extension});
}

TEST_F(Durability, NothingWrittenNothingFlushed) {
    uint8_t header[4];
    ASSERT_TRUE(set.readAt(split, header, sizeof header));
    EXPECT_TRUE(set.close().ok());
    EXPECT_TRUE(flushedFds.empty());
}

// A close that cannot flush several written members says each, in the
// order of the members, and lets none of them go unsaid.
TEST_F(Durability, EveryFailedFlushIsCarried) {
    uint8_t header[4];
    ASSERT_TRUE(set.readAt(0, header, sizeof header));
    ASSERT_TRUE(set.writeAt(0, header, sizeof header));
    ASSERT_TRUE(set.readAt(split, header, sizeof header));
    ASSERT_TRUE(set.writeAt(split, header, sizeof header));
    platform.flushError = 5;

    const Status closed = set.close();
    const std::vector<Status> each = failures(closed);
    ASSERT_EQ(each.size(), 2u);
    EXPECT_EQ(each[0].name, dir.file("F.DAT"));
    EXPECT_EQ(each[1].name, dir.file("F.^01"));
    for (const Status& s : each) {
        EXPECT_EQ(s.failure, Failure::Flush);
        EXPECT_EQ(describe(s), "Unable to flush " + s.name + ", Status Code 5, text 5\n");
    }
    // Every handle is closed all the same.
    EXPECT_EQ(set.memberCount(), 0);
}

}  // namespace
