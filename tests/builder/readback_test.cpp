// Reading a layout back from the bytes: every family's FCR, the current copy
// deciding compression and the last pair, and the FCRs that give no layout.
#include "builder/readback.h"

#include <gtest/gtest.h>

#include <string>

#include "builder/recipe.h"

namespace tbuild {
namespace {

std::vector<std::uint8_t> built(const std::string& recipe) {
    return interpretRecipe(recipe).file.bytes();
}

void expectSameGeometry(const Layout& read, const Layout& made) {
    EXPECT_EQ(read.describe(), made.describe());
    EXPECT_EQ(read.usageOffset, made.usageOffset);
    EXPECT_EQ(read.firstSlot, made.firstSlot);
    EXPECT_EQ(read.slotSize, made.slotSize);
    EXPECT_EQ(read.largeOffsetThreshold, made.largeOffsetThreshold);
}

struct Reading {
    const char* recipe;
    std::uint32_t lastPair;
    int currentFcr;
};

class ReadBack : public ::testing::TestWithParam<Reading> {};

// The geometry read from the FCR is the one the file was built with.
TEST_P(ReadBack, GivesTheBuiltLayout) {
    const Reading& c = GetParam();
    BuiltRecipe r = interpretRecipe(c.recipe);
    std::optional<FcrReading> read = readLayout(r.file.bytes());
    ASSERT_TRUE(read);
    expectSameGeometry(read->layout, r.file.layout());
    EXPECT_EQ(read->lastPair, c.lastPair);
    EXPECT_EQ(read->currentFcr, c.currentFcr);
}

INSTANTIATE_TEST_SUITE_P(
    Families, ReadBack,
    ::testing::Values(Reading{"family 0x0500 style zero page 1024 logical 1", 0, 0},
                      Reading{"family 0x0600 style zero page 512 logical 4", 1, 0},
                      Reading{"family 0xFA00 page 4096 logical 4 fcrcurrent 1", 1, 1},
                      Reading{"family 0x0700 page 1024 logical 300 pairs 2", 2, 0},
                      Reading{"family 0xF800 page 2048 logical 4 pairs 3 fcrcurrent 1", 3, 1},
                      Reading{"family 0xF700 page 1024 logical 4", 1, 0},
                      Reading{"family 0x0950 page 4096 compressed 2048 logical 8 fcrcurrent 1", 1,
                              1},
                      Reading{"family 0x0D00 page 1024 compressed 512 logical 4", 1, 0},
                      Reading{"family 0x0D30 page 8192 logical 4 pairs 3", 3, 0}));

// Compression and the last pair come from the current copy only.
TEST(ReadBack, CurrentCopyDecidesCompressionAndLastPair) {
    for (int current : {0, 1}) {
        SCOPED_TRACE(current);
        const std::string other = std::to_string(1 - current);
        auto read =
            readLayout(built("family 0x0D00 page 1024 compressed 512 logical 4 fcrcurrent " +
                             std::to_string(current) + "\nfcr lastpair 9 copy " + other +
                             "\nfcr u16 156 0 copy " + other + "\n"));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->currentFcr, current);
        EXPECT_EQ(read->lastPair, 1u);
        EXPECT_EQ(read->layout.pageUnit, 512u);
    }
}

TEST(ReadBack, CompressedPageSizeZeroLeavesNoStride) {
    auto read = readLayout(built("family 0x0950 page 1024 logical 4\nfcr compressed 0\n"));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->layout.pageSize, 1024u);
    EXPECT_EQ(read->layout.pageUnit, 0u);
    EXPECT_EQ(read->layout.pairStride, 0u);
    EXPECT_EQ(pageOffset(read->layout, 7), 0u);
    EXPECT_EQ(pairOffset(read->layout, 1), 4u * 4096u);
}

TEST(ReadBack, FcrsThatGiveNoLayout) {
    const std::string base = "family 0x0800 page 512 logical 4\n";
    struct Refused {
        std::string recipe;
        std::size_t mainSize;
    };
    for (const Refused& c : {
             Refused{base + "size 511", SIZE_MAX},
             Refused{base, 511},                              // copy 0 reads the main file alone
             Refused{base + "fcr pagesize 256", SIZE_MAX},    // below 512
             Refused{base + "fcr byte 43 0xFF", SIZE_MAX},    // PAT pages above 32768 bytes
             Refused{base + "size pair:0:1+2047", SIZE_MAX},  // copy 1 cut short
         }) {
        EXPECT_FALSE(readLayout(built(c.recipe), c.mainSize)) << c.recipe << " main " << c.mainSize;
    }
    // The last of them with both copies whole, and copy 1 in an extension.
    EXPECT_TRUE(readLayout(built(base + "size pair:0:1+2048")));
    EXPECT_TRUE(readLayout(built(base), 512));
    // Files before 6.x have no copy 1 and no page size bound.
    auto old =
        readLayout(built("family 0x0500 style zero page 512 logical 1\nfcr byte 9 0 copy 0\n"));
    ASSERT_TRUE(old);
    EXPECT_EQ(old->layout.version, 0x0500);
    EXPECT_EQ(old->layout.pageSize, 0u);
}

}  // namespace
}  // namespace tbuild
