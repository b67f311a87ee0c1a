// The page index answers as a plain walk over the file would: on random files
// (split members, headers cut by a member's end, page compression, the 6.x
// shift), with random writes through the file set between the searches.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <tuple>

#include "support/bestpage.h"
#include "access/btrfile.h"
#include "builder/recipe.h"
#include "check/scan.h"
#include "fileio/output.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

struct Shape {
    const char* name;
    const char* recipe;
};

// Each shape has pages the preload cannot read or never reaches.
const Shape kShapes[] = {
    {"cached, split mid-header",
     "family 0x0800 page 512 logical 300 scatter 3\nsplit page:150+3\n"},
    {"cached, split every 7000 bytes", "family 0x0700 page 512 logical 200\nsplit every 7000\n"},
    {"compressed 2048",
     "family 0x0950 page 4096 compressed 2048 logical 900 scatter 5\n"
     "split page:300+1 page:700+9\n"},
    {"6.x past the shift", "family 0x0600 page 512 logical 4200\nsplit page:3900+2\n"},
    {"16-byte headers", "family 0x0D00 page 4096 logical 500\nsplit page:90+10\n"},
};

class PageIndexTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        std::random_device seed;
        dir = fs::temp_directory_path() / ("tabulon-index-" + std::to_string(seed()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

TEST_P(PageIndexTest, SearchAndHeadersMatchAPlainWalkThroughRandomWrites) {
    const Shape& shape = kShapes[GetParam()];
    tbuild::buildFromRecipe(shape.recipe, dir.string(), "F.DAT");
    NullOutput out;
    BtrieveFile file(out, systemPlatform());
    ASSERT_TRUE(file.open((dir / "F.DAT").string(), Repair, false).ok()) << shape.name;
    const FileGeometry& g = file.geometry();
    ScanOptions options;
    options.progress = 0;
    Scanner scanner(file, options);
    if (!g.compressed) scanner.cache().preload(false);

    std::mt19937 random(GetParam() * 7919 + 1);
    const uint32_t end = PageIndex::candidateEnd(g, file.fileSet().totalSize());
    ASSERT_GT(end, 8u) << shape.name;
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(random);
    };

    for (int round = 0; round < 40; ++round) {
        // Searches for ids that pages name, and for some that none names.
        for (int s = 0; s < 8; ++s) {
            uint32_t id = pick(0, end + 20);
            uint32_t a = 0, b = 0;
            uint16_t ta = 0, tb = 0;
            bool allA = false, allB = false;
            const bool foundA = findBest(scanner, id, a, ta, &allA);
            const bool foundB = findBestByWalk(scanner, id, b, tb, &allB);
            ASSERT_EQ(std::tuple(foundA, a, ta, allA), std::tuple(foundB, b, tb, allB))
                << shape.name << " round " << round << " id " << id;
        }
        // The check's reads of pages the cache lacks.
        for (int s = 0; s < 8; ++s) {
            const uint32_t p = pick(4, end + 2);
            if (scanner.cache().lookup(p, *std::make_unique<PageHeader>())) continue;
            PageHeader viaIndex{}, direct{};
            const bool a = scanner.fetchPageHeader(p, viaIndex);
            const bool b = file.readPageHeader(p, direct) != 0;
            ASSERT_EQ(a, b) << shape.name << " page " << p;
            if (a) {
                ASSERT_EQ(
                    std::memcmp(viaIndex.headerBytes, direct.headerBytes, size_t(g.headerSize)), 0)
                    << shape.name << " page " << p;
                ASSERT_EQ(viaIndex.usageCount, direct.usageCount) << shape.name << " page " << p;
            }
        }
        // Random writes: a header rewritten to name another page's id, or
        // bytes across a header and its neighbour, or a run across a member's
        // end. The cache keeps its own copy, as fix bit 1 would leave it.
        const int writes = int(pick(1, 4));
        for (int w = 0; w < writes; ++w) {
            const uint32_t p = pick(4, end - 1);
            uint8_t bytes[40];
            for (uint8_t& byte : bytes) byte = uint8_t(pick(0, 255));
            const uint32_t id = pick(1, end);
            bytes[0] = uint8_t(id), bytes[1] = uint8_t(id >> 8);
            bytes[2] = 0, bytes[3] = 0;
            const uint64_t at =
                file.pageOffset(p) + pick(0, 1) * pick(0, uint32_t(g.headerSize) + 1);
            file.fileSet().writeAt(at, bytes, pick(1, sizeof bytes));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PageIndexTest,
                         ::testing::Range(0, int(sizeof kShapes / sizeof kShapes[0])));

}  // namespace
