// The healthy samples hold what the reliability tests and the fuzz seeds
// count on, read from the rendered bytes: four logical pages of the four
// classes named by the current PAT copy, a stale copy of page 2 that no entry
// names, copy 1 current in FCR and PAT, and nothing after the stale copy.
#include "builder/samples.h"

#include <gtest/gtest.h>

#include <set>

#include "builder/bytes.h"
#include "builder/readback.h"

namespace tbuild {
namespace {

TEST(Samples, SeedNamesAndShapes) {
    std::set<std::string> names;
    std::set<std::uint16_t> families;
    for (const NamedSample& s : healthySamples()) {
        names.insert(s.name);
        families.insert(s.shape.version);
    }
    EXPECT_EQ(names.size(), 15u);
    EXPECT_EQ(families, (std::set<std::uint16_t>{0x0500, 0x0600, 0x0610, 0x0620, 0x0700, 0x0800,
                                                 0x0900, 0x0950, 0x0951, 0x0D00, 0x0D30}));
}

TEST(Samples, PagesEntriesAndTheStaleCopy) {
    for (const NamedSample& s : healthySamples()) {
        SCOPED_TRACE(s.name + "\n" + s.recipe);
        const std::vector<std::uint8_t> b = makeSample(s.shape).bytes();
        std::optional<FcrReading> read = readLayout(b);
        ASSERT_TRUE(read);
        const Layout& l = read->layout;
        EXPECT_EQ(l.version, s.shape.version);
        EXPECT_EQ(l.pageSize, s.shape.pageSize);
        EXPECT_EQ(l.pageUnit, s.shape.pageSize);
        EXPECT_EQ(le32(b.data()) == 0, !s.shape.signature);
        if (!l.hasPat()) {
            EXPECT_EQ(b.size(), 2u * l.pageSize);
            EXPECT_EQ(read->lastPair, 1u);
            continue;
        }
        EXPECT_EQ(read->currentFcr, 1);
        EXPECT_EQ(read->lastPair, 1u);
        const std::uint32_t pageCount = l.version < 0x0800 ? 3 : 6;
        EXPECT_EQ(le32(b.data() + 38), l.version <= 0x0950 ? exchangeHalves(pageCount) : pageCount);
        const bool compressed = s.shape.compressed;
        EXPECT_EQ(le16(b.data() + (l.version == 0x0950 ? 400 : 156)) == 0x2000, compressed);

        const std::uint64_t pat = pairOffset(l, 1);
        const std::uint8_t* copy0 = b.data() + pat;
        const std::uint8_t* copy1 = copy0 + l.patPageSize;
        EXPECT_GT(le32(copy1 + l.usageOffset), le32(copy0 + l.usageOffset));
        const std::uint32_t first =
            static_cast<std::uint32_t>((pat + 2ull * l.patPageSize + l.pageUnit - 1) / l.pageUnit);
        const std::uint16_t types[4] = {0x44, 0x80, 0x56, 0x44};
        std::uint16_t usage[5] = {};
        for (std::uint32_t i = 0; i < 5; ++i) {
            const std::uint8_t* page = b.data() + pageOffset(l, first + i);
            const PageId h = decodeHeader(l, page);
            EXPECT_EQ(h, (PageId{i < 4 ? i + 1 : 2, types[i < 4 ? i : 1]})) << "page " << i;
            usage[i] = le16(page + l.headerSize);
        }
        EXPECT_EQ(usage[0] & 0x8000, 0x8000);
        EXPECT_EQ(usage[3] & 0x8000, 0x8000);
        EXPECT_LT(usage[4], usage[1]);  // the stale copy is older
        EXPECT_EQ(b.size(), pageOffset(l, first + 5));

        // Both copies name the four pages; no slot names the stale copy.
        for (const std::uint8_t* copy : {copy0, copy1}) {
            for (std::uint32_t j = 0; j < l.slotsOnDisk(); ++j) {
                const PageId e = decodeEntry(l, copy + slotOffset(l, j));
                if (j < 4) {
                    std::uint16_t type = j == 3 && l.version >= 0x0D30 ? 0x4544 : types[j];
                    EXPECT_EQ(e, (PageId{first + j, type})) << "slot " << j;
                } else {
                    EXPECT_EQ(e, (l.wideEntries() ? PageId{0xFFFFFFFEu, 0} : PageId{}))
                        << "slot " << j;
                }
            }
        }
    }
}

}  // namespace
}  // namespace tbuild
