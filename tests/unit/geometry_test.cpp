#include <algorithm>
#include <memory>
#include <tuple>

#include "support.h"

using namespace tabulon;

namespace {

using unit::Bytes;
using unit::put16;
using unit::put32;

// Opens an image as a one-member file set, which loads its FCR.
class Fcr : public ::testing::Test {
protected:
    bool open(const Bytes& image) {
        opened.reset();  // the previous open holds the file exclusively
        unit::writeFile(dir.path("f.dat"), image);
        opened = std::make_unique<unit::Opened>(dir.path("f.dat"), ExclusiveRead);
        out = opened->out.outText;
        err = opened->out.errText;
        return opened->members != 0;
    }
    const FileGeometry& geometry() const { return opened->geometry(); }

    unit::ScratchDir dir;
    std::unique_ptr<unit::Opened> opened;
    std::string out, err;
};

TEST_F(Fcr, GeometryFollowsVersionAndPageSize) {
    struct Row {
        uint16_t version, pageSize, patPageSize;
        int usageOffset, headerSize, patIdLength;
    };
    const Row rows[] = {
        {0x0500, 512, 512, 4, 4, 4},      {0x0600, 1024, 1024, 4, 4, 4},
        {0x0700, 4096, 4096, 4, 4, 4},    {0x0800, 512, 2048, 6, 6, 6},
        {0x0800, 4096, 8192, 6, 6, 6},    {0x0800, 8192, 8192, 6, 6, 6},
        {0x0800, 16384, 32768, 6, 6, 6},  {0x0900, 2048, 4096, 6, 6, 6},
        {0x0950, 1024, 4096, 8, 8, 8},    {0x0950, 4096, 8192, 8, 8, 8},
        {0x0950, 16384, 16384, 8, 8, 8},  {0x0D00, 1024, 2048, 8, 16, 8},
        {0x0D00, 16384, 16384, 8, 16, 8}, {0x0D30, 512, 1024, 8, 16, 8},
    };
    for (const Row& r : rows) {
        size_t size = std::max<size_t>(2 * r.patPageSize, 512);
        ASSERT_TRUE(open(unit::fcrImage(r.version, r.pageSize, r.patPageSize, size))) << err;
        const FileGeometry& g = geometry();
        EXPECT_EQ(std::tuple(g.versionCode, g.pageSize, g.patPageSize, g.usageOffset, g.headerSize,
                             g.patIdLength, g.compressedPageSize),
                  std::tuple(r.version, r.pageSize, r.patPageSize, r.usageOffset, r.headerSize,
                             r.patIdLength, r.pageSize));
    }
}

TEST_F(Fcr, StoredVersionAbove0x8000IsNegated) {
    const std::pair<uint16_t, uint16_t> cases[] = {{0xF800, 0x0800}, {0xFA00, 0x0600}, {0x8000, 0x8000}};
    for (auto [stored, folded] : cases) {
        Bytes image = unit::fcrImage(folded, 1024, 2048, 4096);
        put16(image, 74, stored);
        put16(image, 2048 + 74, stored);
        ASSERT_TRUE(open(image)) << err;
        EXPECT_EQ(geometry().versionCode, folded);
    }
    EXPECT_EQ(geometry().headerSize, 16);  // 0x8000 takes the geometry above 0x0950
    EXPECT_EQ(out, "\nWarning: v128.00 files are NOT completely supported!\n\n");
}

// The version code of the first copy: after the signature at 74, or at 6
// when the first four bytes are zero; either signature byte is enough.
TEST(FcrVersion, DecodesTheStoredCodeAndFoldsIt) {
    struct Case {
        Bytes lead;  // the first bytes of the copy
        int at;      // where the code is stored
        uint16_t stored;
        bool ok;
        uint16_t folded;
    };
    const Case cases[] = {
        {{'F', 'C'}, 74, 0x0700, true, 0x0700},
        {{'F', 'C'}, 74, 0xF800, true, 0x0800},
        {{'F', 'C'}, 74, 0x8001, true, 0x7FFF},
        {{'F', 'C'}, 74, 0x8000, true, 0x8000},
        {{'F', 'x'}, 74, 0x0950, true, 0x0950},
        {{'x', 'C'}, 74, 0x0950, true, 0x0950},
        {{'C', 'F'}, 74, 0x0950, false, 0},
        {{0, 0, 0, 1}, 74, 0x0950, false, 0},  // not zero, and no signature
        {{0, 0, 0, 0}, 6, 0x0500, true, 0x0500},
        {{0, 0, 0, 0}, 6, 0xFA00, true, 0x0600},
    };
    for (const Case& c : cases) {
        Bytes copy(512, 0);
        std::copy(c.lead.begin(), c.lead.end(), copy.begin());
        unit::put16(copy, size_t(c.at), c.stored);
        unit::put16(copy, size_t(c.at == 6 ? 74 : 6), 0x1234);  // the other place is not read
        FcrVersion v;
        ASSERT_EQ(decodeFcrVersion(copy.data(), &v), c.ok) << std::hex << c.stored;
        if (c.ok) {
            EXPECT_EQ(std::pair(v.stored, v.folded), std::pair(c.stored, c.folded)) << std::hex << c.stored;
        }
    }
}

// Copy 0 records 01 00 00 00 as its page count, copy 1 02 00 00 00, and only
// copy 1 says the file is owner-encrypted.
TEST_F(Fcr, CurrentCopyHasTheHigherUsageCountAndSuppliesTheFields) {
    struct Case {
        uint16_t version;
        uint32_t usage0, usage1;
        int current;
        uint32_t pageCount;
    };
    const Case cases[] = {
        {0x0700, 5, 5, 0, 65536}, {0x0700, 4, 5, 1, 131072},   {0x0700, 0xFFFFFFFF, 1, 0, 65536},
        {0x0800, 7, 7, 0, 65536}, {0x0950, 7, 8, 1, 131072}, {0x0D00, 1, 0x80000000, 1, 2},
        {0x0D00, 2, 1, 0, 1},
    };
    for (const Case& c : cases) {
        const size_t copy1 = c.version < 0x0800 ? 1024 : c.version == 0x0950 ? 4096 : 2048;
        Bytes image = unit::fcrImage(c.version, 1024, uint16_t(copy1), 2 * copy1);
        const int at = unit::usageOffsetOf(c.version);
        put32(image, at, c.usage0);
        put32(image, copy1 + at, c.usage1);
        put32(image, 38, 1);
        put32(image, copy1 + 38, 2);
        image[copy1 + 55] = 0x02;
        for (size_t i = 0; i < 9; ++i) image[copy1 + 46 + i] = uint8_t(0xA0 + i);
        ASSERT_TRUE(open(image)) << err;
        const FileGeometry& g = geometry();
        EXPECT_EQ(std::tuple(g.currentFcr, g.pageCount, g.encrypted, g.encryptionMask[0], g.encryptionMask[8]),
                  std::tuple(c.current, c.pageCount, c.current, c.current ? 0xA0 : 0, c.current ? 0xA8 : 0))
            << std::hex << c.version << ' ' << c.usage0 << ' ' << c.usage1;
    }
}

TEST_F(Fcr, CompressionFlagLiesAt400For0x0950AndAt156Above) {
    const std::tuple<uint16_t, int, int> cases[] = {
        {0x0950, 400, 1}, {0x0950, 156, 0}, {0x0D00, 156, 1}, {0x0D00, 400, 0}, {0x0900, 156, 0}};
    for (auto [version, flagAt, compressed] : cases) {
        Bytes image = unit::fcrImage(version, 8192, 16384, 32768);
        put16(image, size_t(flagAt), 0x2000);
        put16(image, 80, 4096);
        ASSERT_TRUE(open(image)) << err;
        EXPECT_EQ(std::pair(geometry().compressed, int(geometry().compressedPageSize)),
                  std::pair(compressed, compressed ? 4096 : 8192))
            << std::hex << version << std::dec << " flag at " << flagAt;
        EXPECT_EQ(out.find("Page Compression are not yet supported") != std::string::npos, compressed == 1);
    }
}

// From the threshold on, 6.x files place pages 4096 bytes further on: the gap
// in front of PAT pair 31.
TEST_F(Fcr, LargeOffsetThresholdIsSetFor6xPageSizes) {
    const std::pair<uint16_t, uint32_t> rows[] = {
        {512, 1967104},   {1024, 7866368},  {1536, 17697792}, {2048, 31461376},
        {2560, 49157120}, {3072, 70785024}, {3584, 96345088}, {4096, 125837312},
    };
    for (auto [pageSize, threshold] : rows) {
        ASSERT_TRUE(open(unit::fcrImage(0x0600, pageSize, pageSize, 2 * pageSize))) << err;
        EXPECT_EQ(geometry().largeOffsetThreshold, threshold) << pageSize;
        EXPECT_EQ(largeOffsetThresholdFor(pageSize), threshold) << pageSize;
        EXPECT_EQ(patPairOffset(geometry(), 31), uint64_t(threshold) + 4096) << pageSize;
        EXPECT_EQ(opened->file.patPairOffset(31), uint64_t(threshold) + 4096) << pageSize;
        const uint32_t firstShifted = 15u * pageSize / 2 + 2;
        EXPECT_EQ(opened->file.pageOffset(firstShifted - 1), uint64_t(threshold) - pageSize);
        EXPECT_EQ(opened->file.pageOffset(firstShifted), uint64_t(threshold) + 4096);
    }
    const std::pair<uint16_t, uint16_t> unset[] = {{0x0700, 4096}, {0x0600, 8192}, {0x0610, 5120}};
    for (auto [version, pageSize] : unset) {
        ASSERT_TRUE(open(unit::fcrImage(version, pageSize, pageSize, 2 * pageSize))) << err;
        EXPECT_EQ(geometry().largeOffsetThreshold, 0xFFFFFFFFu) << std::hex << version;
    }
    EXPECT_EQ(largeOffsetThresholdFor(8192), 0u);
    EXPECT_EQ(largeOffsetThresholdFor(5120), 0u);
}

// The tables as pure functions of the geometry, and the same values from an
// opened file of each row, which says nothing about a size the tables know.
TEST_F(Fcr, EntriesPerPageAndPairStrideTables) {
    const std::tuple<uint16_t, uint16_t, uint16_t, int, int> rows[] = {
        {0x0600, 1024, 1024, 254, 262144},     {0x0700, 512, 512, 126, 65536},
        {0x0700, 4096, 4096, 1022, 4194304},   {0x0800, 512, 2048, 312, 163840},
        {0x0800, 1024, 2048, 316, 327680},     {0x0800, 1536, 3072, 476, 737280},
        {0x0800, 2048, 4096, 636, 1310720},    {0x0900, 2560, 5120, 796, 2048000},
        {0x0800, 3072, 6144, 956, 2949120},    {0x0800, 3584, 7168, 1116, 4014080},
        {0x0800, 4096, 8192, 1276, 5242880},   {0x094F, 8192, 8192, 1278, 10485760},
        {0x0950, 1024, 4096, 476, 480 * 1024}, {0x0950, 2048, 4096, 478, 480 * 2048},
        {0x0950, 4096, 8192, 956, 960 * 4096}, {0x0D00, 8192, 16384, 1596, 1600 * 8192},
        {0x0D00, 16384, 16384, 1598, 1600 * 16384},
    };
    for (auto [version, pageSize, patPageSize, entries, stride] : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << version << std::dec << ' ' << pageSize);
        const FileGeometry g = unit::geometryOf(version, pageSize, patPageSize);
        EXPECT_EQ(std::pair(patEntriesPerPage(g), patPairStride(g)), std::pair(entries, stride));
        EXPECT_TRUE(entriesKnown(g));
        EXPECT_TRUE(strideKnown(g));

        ASSERT_TRUE(open(unit::fcrImage(version, pageSize, patPageSize, 2 * patPageSize))) << err;
        ASSERT_EQ(geometry().patPageSize, patPageSize);
        opened->clearOutput();
        EXPECT_EQ(std::pair(opened->file.patEntriesPerPage(), opened->file.patPairStride()),
                  std::pair(entries, stride));
        EXPECT_EQ(opened->out.errText, "");
    }
    // From 0x0950 a compressed file steps by its compressed page size; below
    // 0x0950 by the plain page size.
    FileGeometry g = unit::geometryOf(0x0950, 8192, 16384);
    g.compressed = 1;
    g.compressedPageSize = 4096;
    EXPECT_EQ(patPairStride(g), 1600 * 4096);
    g = unit::geometryOf(0x0900, 4096, 8192);
    g.compressed = 1;
    g.compressedPageSize = 1024;
    EXPECT_EQ(patPairStride(g), 1276 * 4096 + 2 * 8192);

    Bytes image = unit::fcrImage(0x0950, 8192, 16384, 32768);
    unit::put16(image, 400, 0x2000);
    unit::put16(image, 80, 4096);
    ASSERT_TRUE(open(image)) << err;
    EXPECT_EQ(opened->file.patPairStride(), 1600 * 4096);
    EXPECT_EQ(opened->out.errText, "");
}

TEST_F(Fcr, UnknownPageSizeGivesZeroAndSaysSoEveryTime) {
    ASSERT_TRUE(open(unit::fcrImage(0x0950, 512, 4096, 8192))) << err;
    EXPECT_EQ(err, "");  // the open itself asks for neither
    EXPECT_FALSE(entriesKnown(geometry()));
    EXPECT_FALSE(strideKnown(geometry()));
    EXPECT_EQ(opened->file.patEntriesPerPage(), 0);
    EXPECT_EQ(opened->file.patPairStride(), 0);
    EXPECT_EQ(opened->out.errText, "Unexpected Page Size <512>\nUnexpected Page Size <512>\n");
    // Locating a pair asks for the stride, message included; pair 0 does not.
    opened->clearOutput();
    EXPECT_EQ(opened->file.patPairOffset(0), 0u);
    EXPECT_EQ(opened->out.errText, "");
    EXPECT_EQ(opened->file.patPairOffset(2), 4u * 4096);  // no stride to step by
    EXPECT_EQ(opened->out.errText, "Unexpected Page Size <512>\n");

    ASSERT_TRUE(open(unit::fcrImage(0x0800, 5120, 10240, 20480))) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(patEntriesPerPage(geometry()), 0);
    EXPECT_EQ(opened->file.patEntriesPerPage(), 0);
    EXPECT_EQ(opened->out.errText, "Unexpected Page Size <5120>\n");
    // Below 0x0800 every size is known: the entries follow the PAT page size.
    const FileGeometry old = unit::geometryOf(0x0600, 5120, 5120);
    EXPECT_TRUE(entriesKnown(old));
    EXPECT_EQ(patEntriesPerPage(old), 5120 / 4 - 2);
}

}  // namespace
