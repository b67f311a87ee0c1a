// The recipe language: each command does what the matching builder call does.
#include "builder/recipe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "builder/bytes.h"
#include "builder/damage.h"

namespace tbuild {
namespace {

namespace fs = std::filesystem;

FileParams params0800() {
    FileParams s;
    s.storedVersion = 0x0800;
    s.pageSize = 1024;
    s.logicalPages = 600;
    return s;
}

TEST(Recipe, DescriptionOnOneLineOrMany) {
    auto a = interpretRecipe("family 0x0800 page 1024 logical 600\n");
    auto b = interpretRecipe("# a comment\nfamily 0x0800\n\npage 1024   # trailing\nlogical 600\n");
    EXPECT_EQ(a.file.bytes(), makeHealthy(params0800()).bytes());
    EXPECT_EQ(b.file.bytes(), a.file.bytes());
}

TEST(Recipe, DescriptionKeys) {
    auto r = interpretRecipe(
        "stored 0xF6B0 page 4096 logical 100 pairs 3 style zero mix data scatter 7\n"
        "fcrcurrent 1 patcurrent 1 pagecount 55 encrypted 1 2 3\n");
    FileParams s;
    s.storedVersion = 0xF6B0;
    s.pageSize = 4096;
    s.logicalPages = 100;
    s.pairs = 3;
    s.fcrStyle = FcrStyle::Zero;
    s.mix = TypeMix::AllData;
    s.scatter = true;
    s.seed = 7;
    s.fcrCurrent = 1;
    s.patCurrent = 1;
    s.pageCount = 55;
    s.encrypted = true;
    s.mask = {1, 2, 3};
    EXPECT_EQ(r.file.bytes(), makeHealthy(s).bytes());
    EXPECT_EQ(r.file.pairCount(), 3u);
}

// Each recipe line against the builder calls it stands for.
struct Equivalence {
    const char* line;
    void (*apply)(BtrFile&);
};

class RecipeCommand : public ::testing::TestWithParam<Equivalence> {};

TEST_P(RecipeCommand, MatchesBuilderCall) {
    const Equivalence& e = GetParam();
    auto r = interpretRecipe(std::string("family 0x0800 page 1024 logical 600\n") + e.line + "\n");
    BtrFile f = makeHealthy(params0800());
    e.apply(f);
    EXPECT_EQ(r.file.bytes(), f.bytes()) << e.line;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RecipeCommand,
    ::testing::Values(
        Equivalence{"damage entry 12 -> phys 3", [](BtrFile& f) { pointEntryAt(f, 12, 3); }},
        Equivalence{"entry 12 logical 14", [](BtrFile& f) { misdirectEntry(f, 12, 14); }},
        Equivalence{"entry 12 beyond 2 copy 1",
                    [](BtrFile& f) { pointEntryBeyondEnd(f, 12, 2, CopySel::Copy1); }},
        Equivalence{"entry 12 type 0 copy both",
                    [](BtrFile& f) { setEntryType(f, 12, 0, CopySel::Both); }},
        Equivalence{"entry 12 free",
                    [](BtrFile& f) {
                        f.setEntryOf(12, PageId{0xFFFFFFFE, 0});
                    }},
        Equivalence{"entry 320 phys 9 type 0x44",
                    [](BtrFile& f) {
                        f.setEntryOf(320, PageId{9, 0x44});
                    }},
        Equivalence{"header 12 zero", [](BtrFile& f) { zeroPageHeader(f, 12); }},
        Equivalence{"header 12 nousagebit", [](BtrFile& f) { clearUsageBit(f, 12); }},
        Equivalence{"header 12 absent", [](BtrFile& f) { f.clearPage(f.home(12)); }},
        Equivalence{"phys 20 id 5 type 0x56 usage 9",
                    [](BtrFile& f) {
                        f.setPage(20, PageId{5, 0x56}, 9);
                    }},
        Equivalence{"candidate 12 usage 0x8003 type 0x56",
                    [](BtrFile& f) { addCandidatePage(f, 12, 0x8003, 0x56); }},
        Equivalence{"duplicate 12 usage 4", [](BtrFile& f) { addCandidatePage(f, 12, 4); }},
        Equivalence{"pat 2 copy 1 signature", [](BtrFile& f) { damagePatSignature(f, 2, 1); }},
        Equivalence{"pat 2 copy 0 number 7", [](BtrFile& f) { damagePatNumber(f, 2, 0, 7); }},
        Equivalence{"pat 1 copy both usage 9", [](BtrFile& f) { f.setPatUsage(1, -1, 9); }},
        Equivalence{"pat 1 copy 1 byte 5 0x11", [](BtrFile& f) { f.pat(1, 1)[5] = 0x11; }},
        Equivalence{"pat 1 iddiffer", [](BtrFile& f) { makePatIdsDiffer(f, 1); }},
        Equivalence{"fcr lastpair 0xFFFFFFFF", [](BtrFile& f) { f.setLastPair(0xFFFFFFFF); }},
        Equivalence{"fcr pagecount 7 copy 1", [](BtrFile& f) { f.setPageCount(7, 1); }},
        Equivalence{"fcr usage 9 copy 1", [](BtrFile& f) { f.setFcrUsage(1, 9); }},
        Equivalence{"fcr version 0x0700 style zero copy 0",
                    [](BtrFile& f) { f.setStoredVersion(0x0700, FcrStyle::Zero, 0); }},
        Equivalence{"fcr u32 100 0x01020304", [](BtrFile& f) { f.fcrPut32(-1, 100, 0x01020304); }},
        Equivalence{"fcr pagesize 2048", [](BtrFile& f) { f.setPageSizeField(2048); }},
        Equivalence{"fcr encrypted 5 6 copy current",
                    [](BtrFile& f) {
                        f.setEncryption({5, 6}, f.currentFcr());
                    }},
        Equivalence{"poke pair:1:1+3 'Q' 0x51",
                    [](BtrFile& f) {
                        f.poke(pairOffset(f.layout(), 1) + 2048 + 3, 'Q');
                        f.poke(pairOffset(f.layout(), 1) + 2048 + 4, 0x51);
                    }},
        Equivalence{"poke32 logical:3+0 0",
                    [](BtrFile& f) { f.poke32(pageOffset(f.layout(), f.home(3)), 0); }},
        Equivalence{"poke16 page:40-2 0xBEEF",
                    [](BtrFile& f) { f.poke16(pageOffset(f.layout(), 40) - 2, 0xBEEF); }},
        Equivalence{"fill pair:1:1 3000 0xFF",
                    [](BtrFile& f) {
                        for (std::uint64_t i = 0; i < 3000; ++i) {
                            f.poke(pairOffset(f.layout(), 1) + 2048 + i, 0xFF);
                        }
                    }},
        Equivalence{"size 100000", [](BtrFile& f) { f.setSize(100000); }},
        Equivalence{"type 12 0x56", [](BtrFile& f) {
                        f.setPage(f.home(12), PageId{12, 0x56}, generatedUsage(0x56, 12));
                        f.setEntryOf(12, PageId{f.home(12), 0x56}, CopySel::Both);
                    }}));

// Raw bytes land in statement order over what the file holds (here the id of
// logical page 1 and its type 0x44 at byte 4).
TEST(Recipe, FillAndPokeLaterStatementWins) {
    const std::string base = "family 0x0800 page 1024 logical 600\n";
    auto a = interpretRecipe(base + "poke logical:1+1 0x11\nfill logical:1 4 0x22\n").file;
    auto b = interpretRecipe(base + "fill logical:1 4 0x22\npoke logical:1+1 0x11\n").file;
    const std::uint64_t at = pageOffset(a.layout(), a.home(1));
    EXPECT_EQ(a.read(at, 5), (std::vector<std::uint8_t>{0x22, 0x22, 0x22, 0x22, 0x44}));
    EXPECT_EQ(b.read(at, 5), (std::vector<std::uint8_t>{0x22, 0x11, 0x22, 0x22, 0x44}));
}

TEST(Recipe, OutputPlan) {
    auto r = interpretRecipe(
        "name ORDERS.DAT\nfamily 0x0800 page 1024 logical 600\n"
        "split 40000 pair:2\ndelta 64\nstray 3 10\n");
    EXPECT_EQ(r.mainName, "ORDERS.DAT");
    EXPECT_EQ(r.plan.cuts, (std::vector<std::uint64_t>{40000, pairOffset(r.file.layout(), 2)}));
    EXPECT_TRUE(r.plan.delta);
    EXPECT_EQ(r.plan.deltaSize, 64u);
    ASSERT_EQ(r.plan.strays.size(), 1u);
    EXPECT_EQ(r.plan.strays[0], (std::pair<unsigned, std::uint64_t>{3, 10}));
}

TEST(Recipe, SplitEveryStopsAt127Extensions) {
    auto r = interpretRecipe("family 0x0800 page 1024 logical 600\nsplit every 100000\n");
    ASSERT_EQ(r.plan.cuts.size(), (r.file.size() - 1) / 100000);
    EXPECT_EQ(r.plan.cuts.front(), 100000u);
    EXPECT_EQ(r.plan.cuts.back(), r.plan.cuts.size() * 100000u);
    auto many = interpretRecipe("family 0x0800 page 1024 logical 600\nsplit every 1000\n");
    EXPECT_EQ(many.plan.cuts.size(), 127u);
}

TEST(Recipe, RawFileOfBytes) {
    auto r = interpretRecipe("raw 600\npoke 0 'X' 'Y' 1\n");
    auto b = r.file.bytes();
    ASSERT_EQ(b.size(), 600u);
    EXPECT_EQ(b[0], 'X');
    EXPECT_EQ(b[1], 'Y');
    EXPECT_EQ(b[2], 1);
    EXPECT_EQ(std::count(b.begin(), b.end(), 0), 597);
}

TEST(Recipe, ErrorsNameTheLine) {
    struct Bad {
        const char* text;
        std::size_t line;
    };
    for (const Bad& bad :
         {Bad{"family 0x0800 page 1024 logical 10\nfrobnicate 3\n", 2},
          Bad{"family 0x0800 page 1024 logical 10\nentry x phys 3\n", 2},
          Bad{"family 0x0800 page 1024 logical 10\nentry 1 phys 3\npage 512\n", 3},
          Bad{"family 0x0800\npage 1024 logical 10\n\npat 9 signature\n", 4},
          Bad{"family 0x0800 page 1000 logical 10\n", 1}, Bad{"entry 1 phys 3\n", 1},
          Bad{"family 0x0800 page 1024 logical 10\nheader 11 zero\n", 2},
          Bad{"family 0x0800 page 1024 logical 10\nfcr byte 5000 1\n", 2},
          Bad{"family 0x0800 page 1024 logical 10\npoke 1 256\n", 2},
          Bad{"family 0x0800 page 1024 logical 10\nentry 3 phys 0x1g\n", 2}}) {
        try {
            interpretRecipe(bad.text);
            ADD_FAILURE() << "accepted: " << bad.text;
        } catch (const RecipeError& e) {
            EXPECT_EQ(e.line(), bad.line) << bad.text << e.what();
        }
    }
}

TEST(Recipe, BuildWritesTheSet) {
    std::random_device rd;
    fs::path dir = fs::temp_directory_path() / ("tbuild-recipe-" + std::to_string(rd()));
    fs::create_directories(dir);
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{dir};
    auto set = buildFromRecipe("family 0x0800 page 1024 logical 600\nsplit 40000\ndelta\n",
                               dir.string(), "T.DAT");
    ASSERT_EQ(set.members.size(), 2u);
    EXPECT_EQ(set.members[0], (dir / "T.DAT").string());
    EXPECT_EQ(fs::file_size(set.members[0]), 40000u);
    EXPECT_TRUE(fs::exists(dir / "T.^^^"));
    auto named =
        buildFromRecipe("name X.BTR\nfamily 0x0600 page 1024 logical 6\n", dir.string(), "T.DAT");
    EXPECT_EQ(named.members[0], (dir / "X.BTR").string());
}

}  // namespace
}  // namespace tbuild
