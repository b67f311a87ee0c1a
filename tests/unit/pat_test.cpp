#include <memory>
#include <tuple>

#include "access/patpair.h"
#include "format/pat.h"
#include "support.h"

using namespace tabulon;

namespace {

using unit::Bytes;

TEST(PatPairOffset, PairsFollowTheFcrCopiesAtTheStride) {
    const std::tuple<uint16_t, uint16_t, uint16_t, uint32_t, uint64_t> cases[] = {
        {0x0800, 2048, 4096, 0, 0},
        {0x0800, 2048, 4096, 1, 16384},
        {0x0600, 1024, 1024, 1, 2048},
        {0x0600, 1024, 1024, 30, 2048 + 29 * 262144},
        {0x0600, 1024, 1024, 31, 2048 + 30 * 262144 + 4096},
        {0x0610, 1024, 1024, 32, 2048 + 31 * 262144 + 4096},
        {0x0700, 1024, 1024, 31, 7866368},
        {0x0950, 4096, 8192, 2, 4 * 8192 + 960 * 4096},
        {0x0D00, 16384, 16384, 100000, 4 * 16384 + 99999ull * 1600 * 16384},
    };
    for (auto [version, pageSize, patPageSize, n, offset] : cases) {
        const FileGeometry g = unit::geometryOf(version, pageSize, patPageSize);
        EXPECT_EQ(patPairOffset(g, n), offset) << std::hex << version << std::dec << " pair " << n;
    }
}

// Where the pairs of a family lie: pair 1 at `first`, then every `stride`.
struct Family {
    uint16_t version, pageSize, patPageSize;
    uint64_t first, stride;
    uint32_t entries;
    uint64_t pair(uint32_t n) const { return first + (n - 1) * stride; }
};
const Family k700{0x0700, 512, 512, 1024, 65536, 126};
const Family k800{0x0800, 1024, 2048, 8192, 327680, 316};
const Family k950{0x0950, 1024, 4096, 16384, 491520, 476};

// A file of PAT pairs whose copy 0 is filled with 0x5A and copy 1 with 0xA5
// behind a zero header that starts with the pair number, opened for repair.
class PatPairs : public ::testing::Test {
protected:
    void build(const Family& f, uint32_t pairs, uint64_t size = 0, bool verbose = false) {
        opened.reset();
        family = f;
        image = unit::fcrImage(f.version, f.pageSize, f.patPageSize,
                               size ? size : f.pair(pairs) + 2 * f.patPageSize);
        const int header = f.version < 0x0800 ? 8 : f.version < 0x0950 ? 20 : 16;
        for (uint32_t n = 1; n <= pairs; ++n) {
            for (uint64_t copy = 0; copy < 2; ++copy) {
                uint64_t at = f.pair(n) + copy * f.patPageSize;
                if (at + f.patPageSize > image.size()) continue;
                std::fill_n(image.begin() + long(at), f.patPageSize, copy ? 0xA5 : 0x5A);
                std::fill_n(image.begin() + long(at), header, 0);
                image[at] = uint8_t(n);
            }
        }
        unit::writeFile(path(), image);
        opened = std::make_unique<unit::Opened>(path(), Repair, verbose);
        ASSERT_TRUE(opened->members);
        opened->clearOutput();
    }
    void setUsage(uint32_t n, uint32_t u0, uint32_t u1) {
        const int at = unit::usageOffsetOf(family.version);
        unit::put32(image, family.pair(n) + at, u0);
        unit::put32(image, family.pair(n) + family.patPageSize + at, u1);
        unit::writeFile(path(), image);
    }
    std::string path() const { return dir.path("p.dat"); }
    BtrieveFile& file() { return opened->file; }
    std::string& err() { return opened->out.errText; }

    unit::ScratchDir dir;
    Family family{};
    Bytes image;
    std::unique_ptr<unit::Opened> opened;
};

TEST_F(PatPairs, HigherUsageCopyIsCurrentAndEqualCountsMakeCopyOneCurrent) {
    const std::tuple<uint32_t, uint32_t, uint32_t, char> cases[] = {
        {5, 5, 1, '>'}, {4, 5, 1, '<'}, {6, 5, 0, '>'}, {0xFFFFFFFF, 1, 0, '>'}, {1, 0x80000000, 1, '<'}};
    build(k700, 1, 0, true);
    for (auto [u0, u1, current, sign] : cases) {
        setUsage(1, u0, u1);
        PatPair pair(file());  // nothing loaded yet
        EXPECT_EQ(pair.loaded(), -1);
        opened->clearOutput();
        ASSERT_TRUE(pair.load(1));
        char usage[80];
        std::snprintf(usage, sizeof usage, "Usage 0 (%.8x) %c Usage 1 (%.8x) [Loaded PAT Pair 1]\n", u0,
                      sign, u1);
        EXPECT_EQ(err(), std::string("(1)Seeking PAT Pair 1 at Large Offset 00000000:00000400\n") + usage);
        EXPECT_EQ(pair.current(), current);
        EXPECT_EQ(pair.loaded(), 1);
        EXPECT_EQ(currentPatCopy(file().geometry(), pair.copy(0), pair.copy(1)), current);
        // A pair already loaded is not read again.
        opened->clearOutput();
        ASSERT_TRUE(pair.load(1));
        EXPECT_EQ(err(), "");
    }
}

TEST_F(PatPairs, IdsDifferOnlyWhenIdBytesDiffer) {
    build(k800, 1);
    for (auto [byte, notice] : {std::pair(0, true), {5, true}, {6, false}, {9, false}, {10, false}}) {
        Bytes changed = image;
        changed[family.pair(1) + family.patPageSize + size_t(byte)] ^= 0x01;
        unit::writeFile(path(), changed);
        PatPair pair(file());
        ASSERT_TRUE(pair.load(1));
        EXPECT_EQ(pair.idsMatch(), !notice) << "byte " << byte;
    }
}

TEST_F(PatPairs, WritingAPairThatIsNotLoadedWritesNothing) {
    build(k700, 7);
    PatPair pair(file());
    ASSERT_TRUE(pair.load(6));
    pair.copy(0)[100] ^= 0xFF;
    EXPECT_FALSE(pair.write(7));
    EXPECT_EQ(err(), "Writing to incorrect PAT Pair!!!\r\n");
    EXPECT_EQ(unit::readFile(path()), image);
}

TEST_F(PatPairs, FailedLoadLeavesTheFileAlone) {
    build(k700, 7, k700.pair(7) + 512 + 100);  // copy 1 of pair 7 runs past the end
    PatPair pair(file());
    ASSERT_TRUE(pair.load(6));
    EXPECT_FALSE(pair.load(7));
    const uint32_t physical = 0x123456;
    const uint16_t type = 0x44;
    EXPECT_FALSE(pair.setEntry(6 * k700.entries + 1, physical, type));
    EXPECT_FALSE(pair.setEntry(7 * k700.entries + 1, physical, type));  // pair 8: beyond the end
    EXPECT_NE(pair.loaded(), 7);
    EXPECT_EQ(unit::readFile(path()), image);
}

// A load that fails after copy 0 was read has overwritten the buffer of the
// pair loaded before: that pair is loaded no more, so an entry set in it
// reads it again instead of writing the other pair's bytes over its copy 0.
TEST_F(PatPairs, FailedLoadForgetsThePairLoadedBefore) {
    build(k700, 7, k700.pair(7) + 512 + 100);  // copy 1 of pair 7 runs past the end
    PatPair pair(file());
    ASSERT_TRUE(pair.load(6));
    EXPECT_FALSE(pair.load(7));
    EXPECT_EQ(pair.loaded(), -1);
    ASSERT_TRUE(pair.setEntry(5 * k700.entries + 1, 0x123, 0x44));
    EXPECT_EQ(pair.loaded(), 6);
    const Bytes after = unit::readFile(path());
    // Copy 0 of pair 6 is as it was, but for the slot.
    const size_t at = size_t(k700.pair(6));
    EXPECT_TRUE(std::equal(after.begin() + long(at + 12), after.begin() + long(at + 512),
                           image.begin() + long(at + 12)));
}

TEST_F(PatPairs, SetPatEntryStoresTheSlotInTheCurrentCopyOnly) {
    struct Case {
        const Family* family;
        uint32_t p, physical;
        uint16_t type;
        uint32_t u0, u1, pair;
        int slotAt;
        Bytes bytes;
        uint16_t typeRead;  // below 0x0800 only the low 8 bits of the type are kept
    };
    const Case cases[] = {
        {&k700, 1, 0x123456, 0x44, 3, 3, 1, 8, {0x12, 0x44, 0x56, 0x34}, 0x44},
        {&k700, 126, 0x000102, 0x56, 9, 3, 1, 8 + 4 * 125, {0x00, 0x56, 0x02, 0x01}, 0x56},
        {&k700, 127, 0xABCDEF, 0x4544, 0, 1, 2, 8, {0xAB, 0x44, 0xEF, 0xCD}, 0x44},
        {&k800, 1, 0x01020304, 0x0080, 2, 1, 1, 20, {0x04, 0x03, 0x02, 0x01, 0x80, 0x00}, 0x0080},
        {&k800, 318, 0xFFFFFFFE, 0, 1, 2, 2, 26, {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 0},
        {&k950, 476, 0x01020304, 0x44, 5, 5, 1, 16 + 8 * 475, {0x04, 0x03, 0x02, 0x01, 0x44, 0x00}, 0x44},
        {&k950, 477, 0x00000009, 0x8180, 7, 2, 2, 16, {0x09, 0x00, 0x00, 0x00, 0x80, 0x81}, 0x8180},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.family->version << std::dec << " page " << c.p);
        build(*c.family, 2);
        setUsage(c.pair, c.u0, c.u1);
        PatPair pair(file());
        ASSERT_TRUE(pair.setEntry(c.p, c.physical, c.type));
        EXPECT_EQ(pair.loaded(), c.pair);
        // Only these bytes change: not the other copy, not slot bytes 6 and 7.
        const uint64_t current = c.u1 >= c.u0 ? 1 : 0;
        Bytes expect = image;
        const uint64_t page = c.family->pair(c.pair) + current * c.family->patPageSize;
        std::copy(c.bytes.begin(), c.bytes.end(), expect.begin() + long(page) + c.slotAt);
        EXPECT_EQ(unit::readFile(path()), expect);

        // The format layer finds the slot and reads the entry back from the page.
        const FileGeometry& g = file().geometry();
        const uint32_t j = (c.p - 1) % c.family->entries;
        EXPECT_EQ(patSlotOffset(g, j), c.slotAt);
        EXPECT_EQ(patSlotSize(g), c.family->version < 0x0800 ? 4 : c.family->version < 0x0950 ? 6 : 8);
        const PatEntry e = readPatEntry(g, expect.data() + page, j);
        EXPECT_EQ(std::pair(e.physical, e.type), std::pair(c.physical, c.typeRead));
    }
}

// The slots of a PAT page that lie wholly inside it.
TEST(PatSlots, OnlyWholeSlotsCount) {
    const std::tuple<uint16_t, uint16_t, uint16_t, uint32_t, uint32_t> cases[] = {
        {0x0700, 512, 512, 126, 126},       // 8 + 4 x 126 = 512: the last slot ends the page
        {0x0700, 512, 512, 127, 126},
        {0x0800, 1024, 2048, 316, 316},
        {0x0800, 1024, 2048, 1000, (2048 - 20) / 6},
        {0x0950, 1024, 4096, 600, (4096 - 16) / 8},
        {0x0950, 1024, 4096, 0, 0},
    };
    for (auto [version, pageSize, patPageSize, entries, slots] : cases) {
        EXPECT_EQ(patSlotsInPage(unit::geometryOf(version, pageSize, patPageSize), entries), slots)
            << std::hex << version << std::dec << ' ' << entries;
    }
}

// The pair number a PAT page header records, in the layout of each version.
TEST(PatHeader, PairNumberByVersion) {
    const Bytes page = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    const std::tuple<uint16_t, bool, uint32_t> cases[] = {
        {0x0600, true, 0x0403},   {0x0610, true, 0x0403},   {0x0700, true, 0x010403},
        {0x0800, true, 0x030201}, {0x0900, true, 0x030201}, {0x0950, true, 0x030201},
        {0x0D00, true, 0x030201}, {0x0D30, true, 0x030201}, {0x0500, false, 0},
        {0x0620, false, 0},       {0x0951, false, 0},       {0x0A00, false, 0},
    };
    for (auto [version, known, number] : cases) {
        const PatHeaderLayout* layout = patHeaderLayout(version);
        EXPECT_EQ(layout != nullptr, known) << std::hex << version;
        if (!layout) continue;
        EXPECT_EQ(patHeaderPairNumber(*layout, page.data()), number) << std::hex << version;
        // Written back, the number reads the same and the signature is sound.
        Bytes copy(16, 0);
        writePatHeaderPairNumber(*layout, copy.data(), number);
        writePatSignature(*layout, copy.data());
        EXPECT_EQ(patHeaderPairNumber(*layout, copy.data()), number) << std::hex << version;
        EXPECT_TRUE(patSignatureSound(*layout, copy.data())) << std::hex << version;
    }
}

}  // namespace
