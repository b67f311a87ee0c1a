// Repairs reach the disk: a member that was written is flushed when the file
// set closes, and only such a member.
#include <gtest/gtest.h>

#include "btrfile.h"
#include "fileio/fileset.h"

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
class RecordingPlatform : public Platform {
public:
    bool open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) override {
        if (!sys.open(name, mode, handle, error)) return false;
        handles.push_back(*handle);
        return true;
    }
    bool size(PlatformHandle h, uint64_t* size) override { return sys.size(h, size); }
    bool readAt(PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got) override {
        return sys.readAt(h, at, b, n, got);
    }
    bool writeAt(PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put) override {
        return sys.writeAt(h, at, b, n, put);
    }
    bool gatherAt(PlatformHandle h, uint64_t at, uint64_t stride, size_t count, size_t width,
                  uint8_t* out) override {
        return sys.gatherAt(h, at, stride, count, width, out);
    }
    bool create(const char* name, PlatformHandle* handle, uint32_t* error) override {
        return sys.create(name, handle, error);
    }
    bool append(PlatformHandle h, const void* b, size_t n, uint32_t* error) override {
        return sys.append(h, b, n, error);
    }
    bool flush(PlatformHandle h, uint32_t* error) override { return sys.flush(h, error); }
    void close(PlatformHandle h) override { sys.close(h); }
    std::string errorText(uint32_t e) override { return sys.errorText(e); }

    Platform& sys = systemPlatform();
    std::vector<PlatformHandle> handles;
};

}  // namespace

namespace {

using namespace btr;

class Durability : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TABULON_WRAP_FSYNC
        GTEST_SKIP() << "fsync calls are counted on Linux only";
#endif
        // A 7.x file split after its PAT pair: the pages lie in extension .^01.
        Bytes file = makeHealthyFile({0x0700, 1024});
        ASSERT_TRUE(readLayout(file, &layout));
        split = size_t(layout.pairOffset(1) + 2 * layout.patPageSize);
        writeFile(dir.file("F.DAT"), Bytes(file.begin(), file.begin() + long(split)));
        writeFile(dir.file("F.^01"), Bytes(file.begin() + long(split), file.end()));
        ASSERT_EQ(set.open(dir.file("F.DAT"), Repair, out, false), 2);
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
    EXPECT_TRUE(set.close());
    EXPECT_EQ(flushedFds, std::vector<int>{extension});
}

TEST_F(Durability, NothingWrittenNothingFlushed) {
    uint8_t header[4];
    ASSERT_TRUE(set.readAt(split, header, sizeof header));
    EXPECT_TRUE(set.close());
    EXPECT_TRUE(flushedFds.empty());
}

}  // namespace
