// Fixed byte layouts and offsets of the format, pinned as numbers worked out
// by hand; the tool's own arithmetic is checked against the same files.
#include "builder/layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace tbuild {
namespace {

TEST(Fold, StoredCodesAbove0x8000AreNegated) {
    EXPECT_EQ(foldVersion(0xF800), 0x0800);
    EXPECT_EQ(foldVersion(0xFA00), 0x0600);
    EXPECT_EQ(foldVersion(0xF6B0), 0x0950);
    EXPECT_EQ(foldVersion(0x8000), 0x8000);
    EXPECT_EQ(foldVersion(0x8001), 0x7FFF);
    EXPECT_EQ(foldVersion(0x0D30), 0x0D30);
}

TEST(PackedWord, SixXHeaderBytesDecode) {
    Layout l = makeLayout(0x0600, 1024);
    const std::uint8_t bytes[] = {0x12, 0x44, 0x34, 0x56};
    EXPECT_EQ(decodeHeader(l, bytes), (PageId{0x125634, 0x44}));
    std::uint8_t out[4] = {};
    encodeHeader(l, PageId{0x125634, 0x44}, out);
    EXPECT_EQ(std::to_array(out), std::to_array(bytes));
}

TEST(PackedWord, SevenXEntryAndHeaderBytes) {
    Layout l = makeLayout(0x0700, 1024);
    std::uint8_t slot[4] = {};
    encodeEntry(l, PageId{0x123456, 0x44}, slot);
    EXPECT_EQ(std::to_array(slot), (std::array<std::uint8_t, 4>{0x12, 0x44, 0x56, 0x34}));
    std::uint8_t head[4] = {};
    encodeHeader(l, PageId{0x012345, 0x44}, head);
    EXPECT_EQ(std::to_array(head), (std::array<std::uint8_t, 4>{0x01, 0x44, 0x45, 0x23}));
}

TEST(WideFormats, EntryAndHeaderFields) {
    Layout l8 = makeLayout(0x0800, 1024);
    std::uint8_t slot[8] = {9, 9, 9, 9, 9, 9, 0xAA, 0xBB};
    encodeEntry(l8, PageId{0x01020304, 0x8001}, slot);
    EXPECT_EQ(std::to_array(slot),
              (std::array<std::uint8_t, 8>{4, 3, 2, 1, 0x01, 0x80, 0xAA, 0xBB}));
    Layout l16 = makeLayout(0x0D00, 4096);
    std::uint8_t head[16];
    head[15] = 0x77;
    encodeHeader(l16, PageId{7, 0x44}, head);
    EXPECT_EQ(std::to_array(head), (std::array<std::uint8_t, 16>{7, 0, 0, 0, 0x44, 0}));
}

struct Geometry {
    std::uint16_t version;
    std::uint32_t pageSize;
    std::uint32_t patPageSize;
    std::uint32_t entries;
    std::uint64_t stride;
    std::uint32_t headerSize;
    std::uint32_t firstSlot;
    std::uint32_t slotSize;
};

class GeometryTable : public ::testing::TestWithParam<Geometry> {};

TEST_P(GeometryTable, MatchesFormat) {
    const Geometry& g = GetParam();
    Layout l = makeLayout(g.version, g.pageSize);
    EXPECT_EQ(l.patPageSize, g.patPageSize);
    EXPECT_EQ(l.entriesPerPage, g.entries);
    EXPECT_EQ(l.pairStride, g.stride);
    EXPECT_EQ(l.headerSize, g.headerSize);
    EXPECT_EQ(l.firstSlot, g.firstSlot);
    EXPECT_EQ(l.slotSize, g.slotSize);
    EXPECT_EQ(slotOffset(l, 3), g.firstSlot + 3 * g.slotSize);
}

INSTANTIATE_TEST_SUITE_P(
    Families, GeometryTable,
    ::testing::Values(Geometry{0x0600, 512, 512, 126, 65536, 4, 8, 4},
                      Geometry{0x0600, 1024, 1024, 254, 262144, 4, 8, 4},
                      Geometry{0x0610, 4096, 4096, 1022, 4194304, 4, 8, 4},
                      Geometry{0x0700, 2048, 2048, 510, 1048576, 4, 8, 4},
                      Geometry{0x0800, 512, 2048, 312, 312 * 512 + 4096, 6, 20, 6},
                      Geometry{0x0800, 1024, 2048, 316, 316 * 1024 + 4096, 6, 20, 6},
                      Geometry{0x0800, 4096, 8192, 1276, 1276 * 4096 + 16384, 6, 20, 6},
                      Geometry{0x0800, 8192, 8192, 1278, 1278 * 8192 + 16384, 6, 20, 6},
                      Geometry{0x0900, 16384, 32768, 0, 65536, 6, 20, 6},
                      Geometry{0x0950, 1024, 4096, 476, 480 * 1024, 8, 16, 8},
                      Geometry{0x0950, 4096, 8192, 956, 960 * 4096, 8, 16, 8},
                      Geometry{0x0950, 16384, 16384, 1598, 1600 * 16384, 8, 16, 8},
                      Geometry{0x0D00, 1024, 2048, 476, 480 * 1024, 16, 16, 8},
                      Geometry{0x0D30, 8192, 16384, 1596, 1600 * 8192, 16, 16, 8},
                      Geometry{0x8000, 4096, 8192, 956, 960 * 4096, 16, 16, 8}));

TEST(PairOffset, PinnedValues) {
    EXPECT_EQ(pairOffset(makeLayout(0x0800, 2048), 0), 0u);
    EXPECT_EQ(pairOffset(makeLayout(0x0800, 2048), 1), 16384u);
    EXPECT_EQ(pairOffset(makeLayout(0x0600, 1024), 1), 2048u);
    EXPECT_EQ(pairOffset(makeLayout(0x0600, 1024), 30), 7604224u);
    EXPECT_EQ(pairOffset(makeLayout(0x0600, 1024), 31), 7870464u);
    EXPECT_EQ(pairOffset(makeLayout(0x0700, 1024), 31), 7866368u);
    EXPECT_EQ(pairOffset(makeLayout(0x0950, 4096), 1), 32768u);
    EXPECT_EQ(pairOffset(makeLayout(0x0950, 4096), 2), 32768u + 960u * 4096u);
    // Page compression: the stride counts compressed page units.
    EXPECT_EQ(pairOffset(makeLayout(0x0950, 8192, 4096), 2), 4u * 16384u + 1600u * 4096u);
}

TEST(LargeOffset, ThresholdPerPageSize) {
    const std::pair<std::uint32_t, std::uint32_t> table[] = {
        {512, 1967104},   {1024, 7866368},  {1536, 17697792}, {2048, 31461376},
        {2560, 49157120}, {3072, 70785024}, {3584, 96345088}, {4096, 125837312}};
    for (auto [pageSize, threshold] : table) {
        EXPECT_EQ(makeLayout(0x0600, pageSize).largeOffsetThreshold, threshold) << pageSize;
        EXPECT_EQ(makeLayout(0x0610, pageSize).largeOffsetThreshold, threshold) << pageSize;
    }
    EXPECT_EQ(makeLayout(0x0700, 1024).largeOffsetThreshold, 0xFFFFFFFFu);
    EXPECT_EQ(makeLayout(0x0600, 8192).largeOffsetThreshold, 0xFFFFFFFFu);
}

TEST(PageOffset, SixXPagesMoveByTheGap) {
    Layout l4 = makeLayout(0x0600, 4096);
    EXPECT_EQ(pageOffset(l4, 30721), 125833216u);
    EXPECT_EQ(pageOffset(l4, 30722), 125841408u);
    Layout l5 = makeLayout(0x0600, 512);
    EXPECT_EQ(pageOffset(l5, 3841), 1966592u);
    EXPECT_EQ(pageOffset(l5, 3842), 1971200u);
    // The first moved page starts where pair 31 starts.
    Layout l1 = makeLayout(0x0600, 1024);
    EXPECT_EQ(pageOffset(l1, 7682), pairOffset(l1, 31));
    Layout l7 = makeLayout(0x0700, 1024);
    EXPECT_EQ(pageOffset(l7, 7682), 7682u * 1024u);
    EXPECT_EQ(pageOffset(makeLayout(0x0950, 8192, 4096), 10), 40960u);
}

TEST(PageOffset, PageAtOrBeforeInvertsIt) {
    for (auto [version, pageSize] :
         {std::pair{0x0600, 512}, std::pair{0x0600, 4096}, std::pair{0x0800, 1024}}) {
        Layout l = makeLayout(static_cast<std::uint16_t>(version), pageSize);
        for (std::uint32_t p : {0u, 1u, 3841u, 3842u, 30721u, 30722u, 40000u}) {
            std::uint64_t at = pageOffset(l, p);
            EXPECT_EQ(pageAtOrBefore(l, at), p);
            EXPECT_EQ(pageAtOrBefore(l, at + pageSize - 1), p);
        }
    }
}

TEST(Logical, PairAndSlotNumbering) {
    Layout l = makeLayout(0x0800, 512);  // 312 entries
    EXPECT_EQ(pairOfLogical(l, 1), 1u);
    EXPECT_EQ(slotOfLogical(l, 1), 0u);
    EXPECT_EQ(pairOfLogical(l, 312), 1u);
    EXPECT_EQ(slotOfLogical(l, 312), 311u);
    EXPECT_EQ(pairOfLogical(l, 313), 2u);
    EXPECT_EQ(slotOfLogical(l, 313), 0u);
    EXPECT_EQ(logicalOf(l, 2, 0), 313u);
}

TEST(Logical, SlotsThatFitOnDisk) {
    // Above 9.50 with 1024-byte pages the PAT page holds 2048 bytes, fewer
    // than the 476 slots of the entry table.
    EXPECT_EQ(makeLayout(0x0D00, 1024).slotsOnDisk(), (2048u - 16u) / 8u);
    EXPECT_EQ(makeLayout(0x0950, 1024).slotsOnDisk(), 476u);
    EXPECT_EQ(makeLayout(0x0800, 1024).slotsOnDisk(), 316u);
}

}  // namespace
}  // namespace tbuild
