// Platform::gatherAt hands back exactly the bytes that one positioned read per
// place would, and fails when any place runs past the end of the file; so
// does gatherByReads, the piecewise form the bindings fall back on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fileio/gather.h"
#include "fileio/platform.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

class Gather : public testing::Test {
protected:
    void SetUp() override {
        path_ = (fs::temp_directory_path() / ("tabulon_gather_" + std::to_string(::getpid()))).string();
        bytes_.resize(3 * 1024 * 1024 + 123);
        uint32_t x = 7;
        for (auto& b : bytes_) {
            x = x * 1664525u + 1013904223u;
            b = uint8_t(x >> 24);
        }
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
        uint32_t error = 0;
        ASSERT_TRUE(platform_.open(path_.c_str(), ExclusiveRead, &handle_, &error));
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) platform_.close(handle_);
        fs::remove(path_);
    }
    std::vector<uint8_t> expected(uint64_t offset, uint64_t stride, size_t count, size_t width) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* at = bytes_.data() + offset + i * stride;
            out.insert(out.end(), at, at + width);
        }
        return out;
    }
    std::string path_;
    std::vector<uint8_t> bytes_;
    Platform& platform_ = systemPlatform();
    PlatformHandle handle_ = kInvalidHandle;
};

TEST_F(Gather, CopiesEachPlace) {
    struct Row {
        uint64_t offset, stride;
        size_t count, width;
    };
    const uint64_t size = 3 * 1024 * 1024 + 123;
    const Row rows[] = {
        {0, 4096, 768, 8},              // page headers of a whole file
        {4096 * 5 + 17, 4096, 300, 18}, // unaligned start
        {1, 512, 1, 6},                 // one place
        {100, 3, 1000, 5},              // places that overlap
        {size - 8, 4096, 1, 8},         // last bytes of the file
        {size - 8 - 2 * 4096, 4096, 3, 8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.offset) + "/" + std::to_string(r.stride));
        std::vector<uint8_t> out(r.count * r.width, 0xEE);
        ASSERT_TRUE(platform_.gatherAt(handle_, r.offset, r.stride, r.count, r.width, out.data()));
        EXPECT_EQ(out, expected(r.offset, r.stride, r.count, r.width));
        std::vector<uint8_t> pieces(r.count * r.width, 0xEE);
        ASSERT_TRUE(gatherByReads(platform_, handle_, r.offset, r.stride, r.count, r.width, pieces.data()));
        EXPECT_EQ(pieces, out);
    }
}

TEST_F(Gather, FailsPastTheEnd) {
    const uint64_t size = bytes_.size();
    struct Row {
        uint64_t offset, stride;
        size_t count, width;
        bool ok;
    };
    const Row rows[] = {
        {size - 7, 4096, 1, 8, false},
        {size - 8 - 4096, 4096, 2, 9, false},
        {size, 4096, 1, 1, false},
        {UINT64_MAX - 4, 4096, 1, 8, false},
        {0, UINT64_MAX / 2, 3, 8, false},
        {size + 100, 4096, 0, 8, true},  // no place at all
    };
    std::vector<uint8_t> out(4096 * 8);
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.offset) + "/" + std::to_string(r.stride));
        EXPECT_EQ(platform_.gatherAt(handle_, r.offset, r.stride, r.count, r.width, out.data()), r.ok);
        EXPECT_EQ(gatherByReads(platform_, handle_, r.offset, r.stride, r.count, r.width, out.data()), r.ok);
    }
}

}  // namespace
