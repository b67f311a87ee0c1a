#include <algorithm>
#include <tuple>

#include "format/pageheader.h"
#include "support.h"

using namespace tabulon;

namespace {

using unit::Bytes;

TEST(Pages, PageOffsetSkipsTheGapOf6xFilesOnly) {
    // version, pageSize, threshold, compressed page size (0: not compressed), page, offset
    const std::tuple<uint16_t, uint16_t, uint32_t, uint16_t, uint32_t, uint64_t> cases[] = {
        {0x0600, 4096, 125837312, 0, 30721, 125833216},
        {0x0600, 4096, 125837312, 0, 30722, 125841408},
        {0x0600, 512, 1967104, 0, 3841, 1966592},
        {0x0600, 512, 1967104, 0, 3842, 1971200},
        {0x06FF, 512, 1967104, 0, 3842, 1971200},
        {0x0700, 4096, 125837312, 0, 30722, 30722ull * 4096},  // 7.x: no shift
        {0x0600, 8192, 0xFFFFFFFF, 0, 524287, 524287ull * 8192},
        {0x0600, 8192, 0xFFFFFFFF, 0, 524288, 524288ull * 8192 + 4096},
        {0x0950, 8192, 0xFFFFFFFF, 4096, 7, 7 * 4096},
        {0x0D00, 16384, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFFull * 16384},
    };
    for (auto [version, pageSize, threshold, compressedPageSize, page, offset] : cases) {
        FileGeometry g = unit::geometryOf(version, pageSize);
        g.largeOffsetThreshold = threshold;
        g.compressed = compressedPageSize != 0;
        g.compressedPageSize = compressedPageSize ? compressedPageSize : pageSize;
        EXPECT_EQ(pageOffset(g, page), offset) << std::hex << version << std::dec << " page " << page;
    }
}

TEST(Pages, HeaderWordsDecodeAndEncodeByFamily) {
    struct Case {
        uint16_t version;
        Bytes bytes;
        uint32_t id;
        uint16_t type;
    };
    const Case cases[] = {
        {0x0600, {0x12, 0x44, 0x34, 0x56}, 0x125634, 0x44},
        {0x0700, {0x12, 0x44, 0x56, 0x34}, 0x123456, 0x44},
        {0x0800, {0x78, 0x56, 0x34, 0x12, 0x80, 0x00}, 0x12345678, 0x0080},
        {0x0D00, {0x01, 0x00, 0x00, 0x80, 0x44, 0x45}, 0x80000001, 0x4544},
    };
    for (const Case& c : cases) {
        const FileGeometry g = unit::geometryOf(c.version, 1024);
        PageHeader h{};
        std::copy(c.bytes.begin(), c.bytes.end(), h.headerBytes);
        PageIdentity id = decodePageHeader(g, h);
        EXPECT_EQ(std::pair(id.pageId, id.pageType), std::pair(c.id, c.type)) << std::hex << c.version;

        PageHeader written{};
        std::fill(std::begin(written.headerBytes), std::end(written.headerBytes), 0xEE);
        encodePageHeader(g, written, c.id, c.type);
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), written.headerBytes)) << std::hex << c.version;
        EXPECT_EQ(written.headerBytes[c.bytes.size()], 0xEE);  // the rest stays as it was
    }
}

// The last page of a file of ten 1024-byte pages, read through the file set.
TEST(Pages, UsageWordIsUnmaskedOnlyBehindLongHeaders) {
    const std::pair<uint16_t, uint16_t> cases[] = {{0x0D00, 0x1234 ^ 0x5AA5}, {0x0950, 0x1234 ^ 0x5AA5},
                                                   {0x0800, 0x1234}, {0x0700, 0x1234}};
    for (auto [version, usage] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << version);
        unit::ScratchDir dir;
        const uint16_t patPageSize = version < 0x0800 ? 1024 : version == 0x0950 ? 4096 : 2048;
        Bytes image = unit::fcrImage(version, 1024, patPageSize, 10 * 1024);
        image[55] = image[patPageSize + 55] = 0x02;
        image[46] = image[patPageSize + 46] = 0xA5;
        image[47] = image[patPageSize + 47] = 0x5A;
        unit::putPageHeader(image, 9 * 1024, version, 77, 0x44, 0x1234);
        unit::writeFile(dir.path("e.dat"), image);
        unit::Opened o(dir.path("e.dat"), ExclusiveRead);
        ASSERT_TRUE(o.members);
        const FileGeometry& g = o.geometry();
        ASSERT_EQ(g.encrypted, 1);
        PageHeader h{};
        ASSERT_TRUE(o.file.readPageHeader(9, h));
        EXPECT_EQ(h.usageCount, usage);
        EXPECT_EQ(decodePageHeader(g, h).pageId, 77u);
        EXPECT_EQ(unmaskUsage(g, 0x1234), usage);
        // The header field as a gathered read hands it over decodes alike.
        PageHeader field{};
        decodeHeaderField(g, image.data() + 9 * 1024, &field);
        EXPECT_EQ(field.usageCount, usage);
        EXPECT_TRUE(std::equal(field.headerBytes, field.headerBytes + g.headerSize, h.headerBytes));
        EXPECT_FALSE(o.file.readPageHeader(10, h));  // beyond the end of the set
    }
}

TEST(Pages, WritingA0950HeaderWritesExactlyEightBytes) {
    unit::ScratchDir dir;
    Bytes image = unit::fcrImage(0x0950, 1024, 4096, 10 * 1024);
    std::fill(image.begin() + 8 * 1024, image.end(), 0xEE);
    unit::writeFile(dir.path("w.dat"), image);
    unit::Opened o(dir.path("w.dat"), Repair);
    ASSERT_TRUE(o.members);
    PageHeader h{};
    for (int i = 0; i < kMaxHeaderSize; ++i) h.headerBytes[i] = uint8_t(i + 1);
    h.usageCount = 0x4321;
    ASSERT_TRUE(o.file.writePageHeader(8, h));
    ASSERT_TRUE(o.file.close().ok());
    for (int i = 0; i < 8; ++i) image[8 * 1024 + i] = uint8_t(i + 1);
    EXPECT_EQ(unit::readFile(dir.path("w.dat")), image);  // the usage word stays as it was
}

}  // namespace
