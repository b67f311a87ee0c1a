// The copy-on-write layer: reads see the layer's writes (across its blocks,
// past the file's end), the file keeps every byte, and each write is kept
// with the bytes it replaced.
#include "fileio/overlay.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fileio/gather.h"
#include "support/scratch.h"

using namespace tabulon;

namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Overlay, ReadsSeeTheWritesAndTheFileKeepsItsBytes) {
    ScratchDir dir("tabulon-overlay");
    const std::string path = dir.path("F.DAT");
    std::string original(10000, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = char('a' + i % 26);
    std::ofstream(path, std::ios::binary) << original;

    struct Write {
        uint64_t offset;
        std::string bytes;
    };
    // Inside a block, across a block boundary, past the end with a gap.
    const Write writes[] = {{10, "XYZ"}, {4094, "0123"}, {10002, "END"}};
    std::string expected = original;
    OverlayPlatform layer(systemPlatform(), ExclusiveRead);
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    ASSERT_TRUE(layer.open(path.c_str(), Repair, &h, &error));
    for (const Write& w : writes) {
        size_t put = 0;
        ASSERT_TRUE(layer.writeAt(h, w.offset, w.bytes.data(), w.bytes.size(), &put));
        EXPECT_EQ(put, w.bytes.size());
        if (expected.size() < w.offset + w.bytes.size()) expected.resize(w.offset + w.bytes.size());
        expected.replace(w.offset, w.bytes.size(), w.bytes);
    }
    uint64_t size = 0;
    ASSERT_TRUE(layer.size(h, &size));
    EXPECT_EQ(size, expected.size());

    std::string seen(expected.size() + 100, '?');
    size_t got = 0;
    ASSERT_TRUE(layer.readAt(h, 0, seen.data(), seen.size(), &got));
    EXPECT_EQ(seen.substr(0, got), expected);
    // A gathered read sees the writes too.
    uint8_t field[3];
    ASSERT_TRUE(layer.gatherAt(h, 10, 4084, 2, 1, field + 0));
    EXPECT_EQ(field[0], 'X');
    EXPECT_EQ(field[1], '0');
    EXPECT_FALSE(layer.gatherAt(h, 10003, 1, 3, 2, field));  // past the end

    ASSERT_EQ(layer.writes().size(), 3u);
    EXPECT_EQ(std::string(layer.writes()[0].before.begin(), layer.writes()[0].before.end()),
              original.substr(10, 3));
    EXPECT_TRUE(layer.writes()[2].before.empty());  // nothing was there
    layer.close(h);

    // Closed, the layer still reads both sides.
    std::string before(3, '?');
    ASSERT_TRUE(layer.readFile(path, 4094, before.data(), 3, true, &got));
    EXPECT_EQ(before, original.substr(4094, 3));
    ASSERT_TRUE(layer.readFile(path, 4094, before.data(), 3, false, &got));
    EXPECT_EQ(before, "012");
    EXPECT_EQ(readWhole(path), original);
    EXPECT_FALSE(layer.create(dir.path("J").c_str(), &h, &error));
}

// The bytes a layer's writes leave changed, as runs: a byte written back
// with its old value splits a run, one past the end is changed whatever it
// holds, and writes that leave the file as it was leave nothing.
TEST(Overlay, ChangedBytesAreWhatTheWritesLeave) {
    ScratchDir dir("tabulon-overlay");
    const std::string path = dir.path("F.DAT");
    std::ofstream(path, std::ios::binary) << std::string(100, 'a');
    struct Case {
        std::vector<std::pair<uint64_t, std::string>> writes;
        std::string runs;  // "offset:bytes " for each run
    };
    const Case cases[] = {
        {{{10, "XYZ"}, {11, "a"}}, "10:X 12:Z "},
        {{{10, "XY"}, {12, "Z"}, {99, "bc"}}, "10:XYZ 99:bc "},
        {{{100, std::string(1, '\0')}}, std::string("100:") + '\0' + " "},
        {{{10, "XY"}, {10, "aa"}}, ""},
        {{{5, "ab"}, {4, "aa"}}, "6:b "},
    };
    for (const Case& c : cases) {
        OverlayPlatform layer(systemPlatform(), ExclusiveRead);
        PlatformHandle h = kInvalidHandle;
        uint32_t error = 0;
        size_t put = 0;
        ASSERT_TRUE(layer.open(path.c_str(), Repair, &h, &error));
        for (const auto& [at, bytes] : c.writes) {
            ASSERT_TRUE(layer.writeAt(h, at, bytes.data(), bytes.size(), &put));
        }
        const ChangedBytes changed = layer.changedBytes();
        std::string runs;
        size_t from = 0;
        for (const ChangedBytes::Range& r : changed.ranges) {
            runs += std::to_string(r.offset) + ":" +
                    std::string(changed.bytes.begin() + long(from),
                                changed.bytes.begin() + long(from + r.length)) + " ";
            from += r.length;
        }
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(changed.files.size(), c.runs.empty() ? 0u : 1u);
    }
}

// A gathered read over a written range of a file whose size the writes kept
// sees the written bytes, not the file's; an unwritten file is gathered
// below, and the layer's file identity is the file's.
TEST(Overlay, GatherSeesWritesThatKeepTheSize) {
    ScratchDir dir("tabulon-overlay");
    const std::string path = dir.path("F.DAT");
    std::ofstream(path, std::ios::binary) << std::string(8192, 'a');
    struct Case {
        const char* what;
        const char* written;  // at offset 100, nothing when null
        uint8_t field;
    };
    const Case cases[] = {{"written", "W", 'W'}, {"unwritten", nullptr, 'a'}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OverlayPlatform layer(systemPlatform(), Unprotected);
        PlatformHandle h = kInvalidHandle;
        uint32_t error = 0;
        ASSERT_TRUE(layer.open(path.c_str(), Repair, &h, &error));
        size_t put = 0;
        if (c.written) ASSERT_TRUE(layer.writeAt(h, 100, c.written, 1, &put));
        uint8_t field[2] = {};
        ASSERT_TRUE(layer.gatherAt(h, 100, 4096, 2, 1, field));
        EXPECT_EQ(field[0], c.field);
        EXPECT_EQ(field[1], 'a');
        FileId below, above;
        PlatformHandle b = kInvalidHandle;
        ASSERT_TRUE(systemPlatform().open(path.c_str(), Unprotected, &b, &error));
        ASSERT_TRUE(systemPlatform().fileId(b, &below));
        systemPlatform().close(b);
        ASSERT_TRUE(layer.fileId(h, &above));
        EXPECT_EQ(above, below);
        layer.close(h);
    }
    EXPECT_EQ(readWhole(path), std::string(8192, 'a'));
}

// Over a written file, a gather equals the same places read one by one, for
// places wider and narrower than their stride, one place repeated (stride 0),
// and places across the layer's block boundaries.
TEST(Overlay, GatherOverWritesEqualsReads) {
    ScratchDir dir("tabulon-overlay");
    const std::string path = dir.path("F.DAT");
    std::string original(64 * 1024, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = char(i * 7 % 251);
    std::ofstream(path, std::ios::binary) << original;
    std::mt19937_64 random(42);
    auto below = [&](uint64_t n) { return random() % n; };
    OverlayPlatform layer(systemPlatform(), Unprotected);
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    ASSERT_TRUE(layer.open(path.c_str(), Repair, &h, &error));
    for (int w = 0; w < 40; ++w) {
        const std::string bytes(size_t(1 + below(300)), char('A' + w % 26));
        size_t put = 0;
        ASSERT_TRUE(layer.writeAt(h, below(original.size() - bytes.size()), bytes.data(),
                                  bytes.size(), &put));
    }
    for (int g = 0; g < 500; ++g) {
        const size_t width = size_t(1 + below(g % 2 ? 64 : 5000));
        const uint64_t stride = g % 7 == 0 ? 0 : below(g % 3 ? 4096 : 100);
        const size_t count = size_t(1 + below(20));
        const uint64_t span = (count - 1) * stride + width;
        if (span > original.size()) continue;
        const uint64_t offset = below(original.size() - span + 1);
        std::vector<uint8_t> gathered(count * width), read(count * width);
        ASSERT_TRUE(layer.gatherAt(h, offset, stride, count, width, gathered.data()));
        ASSERT_TRUE(gatherByReads(layer, h, offset, stride, count, width, read.data()));
        ASSERT_EQ(gathered, read) << "offset " << offset << " stride " << stride << " count "
                                  << count << " width " << width;
    }
    layer.close(h);
}

}  // namespace
