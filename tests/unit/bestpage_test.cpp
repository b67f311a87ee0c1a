#include <algorithm>
#include <tuple>

#include "support.h"

namespace {

using unit::Bytes;

struct Family {
    uint16_t version, pageSize, patPageSize;
};

struct Page {
    uint32_t n, id;
    uint16_t type, usage;
};

// Writes a file set of `pages` pages with the given headers (all other pages
// zero), opens it and fills the header cache.
class BestPage : public unit::Fresh {
protected:
    void build(const Family& f, uint32_t pages, const std::vector<Page>& headers) {
        family = f;
        Bytes image = unit::fcrImage(f.version, f.pageSize, f.patPageSize, uint64_t(pages) * f.pageSize);
        for (const Page& p : headers) {
            unit::putPageHeader(image, uint64_t(p.n) * f.pageSize, f.version, p.id, p.type, p.usage);
        }
        unit::writeFile(dir.path("b.dat"), image);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(openFileSet(dir.path("b.dat").c_str(), ExclusiveRead));
        ASSERT_TRUE(preloadHeaders(false));
        testing::internal::GetCapturedStdout();
    }
    // Whether a page was chosen, its physical page number and its type.
    using Answer = std::tuple<bool, uint32_t, uint16_t>;
    Answer search(uint32_t p, std::string* line = nullptr) {
        uint32_t physical = 123;
        uint16_t type = 456;
        testing::internal::CaptureStdout();
        bool found = findBestPage(p, physical, type);
        std::string out = testing::internal::GetCapturedStdout();
        if (line) *line = out;
        return {found, physical, type};
    }
    Answer walk(uint32_t p) {
        uint32_t physical = 123;
        uint16_t type = 456;
        bool found = findBestPageLinear(p, physical, type);
        return {found, physical, type};
    }
    PageHeader header(uint32_t id, uint16_t type, uint16_t usage) const {
        Bytes b(32, 0);
        unit::putPageHeader(b, 0, family.version, id, type, usage);
        PageHeader h{};
        std::copy_n(b.begin(), fileGeometry.headerSize, h.headerBytes);
        h.usageCount = usage;
        return h;
    }

    unit::ScratchDir dir;
    Family family{};
};

const Family k700{0x0700, 512, 512};
const Family k800{0x0800, 1024, 2048};
const Family k950{0x0950, 2048, 4096};
const Family k1300{0x0D00, 1024, 2048};

TEST_F(BestPage, HighestUsageWinsWithoutBit15AndTiesGoToTheLowestPage) {
    build(k800, 40, {{10, 5, 0x44, 0x8005}, {20, 5, 0x56, 0x0007}, {25, 5, 0x80, 0x0007},
                     {12, 6, 0x44, 0}, {13, 7, 0x44, 3}, {30, 7, 0x44, 3},
                     {4, 8, 0x44, 1}, {39, 8, 0x44, 2}});
    std::string line;
    EXPECT_EQ(search(5, &line), (Answer{true, 20, 0x56}));
    EXPECT_EQ(line, "Found Logical Page 00000005 at Physical Page 00000014 with type 0056.\n");
    EXPECT_EQ(search(6), (Answer{true, 12, 0x44}));  // alone, usage 0
    EXPECT_EQ(search(7), (Answer{true, 13, 0x44}));
    EXPECT_EQ(search(8), (Answer{true, 39, 0x44}));  // first and last cached pages
    EXPECT_EQ(search(9, &line), (Answer{false, 0, 0}));
    EXPECT_EQ(line, "");

    scanOptions.showOffsets = 1;
    search(5, &line);
    EXPECT_EQ(line, "Found Logical Page 00000005 at Physical Page 00000014 (0x0000005000) with type 0056.\n");
}

TEST_F(BestPage, FamiliesWithoutADecodingRuleFindNothing) {
    build({0x0A00, 1024, 2048}, 20, {{10, 5, 0x44, 1}});
    EXPECT_EQ(search(5), (Answer{false, 0, 0}));
    unit::resetGlobals();
    build(k700, 20, {{10, 0xFFFFFF, 0x44, 1}});
    EXPECT_EQ(search(0xFFFFFF), (Answer{true, 10, 0x44}));
    EXPECT_EQ(search(0x1FFFFFF), (Answer{false, 0, 0}));  // no 24-bit id names it
}

// A rewritten page that the cache holds no header for is not looked at,
// whatever the search looked at before.
TEST_F(BestPage, RewrittenPageOutsideTheCacheIsNoCandidate) {
    build(k800, 40, {{10, 5, 0x44, 1}, {20, 6, 0x44, 1}, {30, 7, 0x44, 9}});
    EXPECT_EQ(search(5), (Answer{true, 10, 0x44}));
    noteRewrittenHeader(30, header(5, 0x44, 9));
    noteRewrittenHeader(2, header(8, 0x44, 0));
    noteRewrittenHeader(45, header(8, 0x44, 0));
    // Back to back: the search for 8 looks at page 30 last and finds nothing.
    uint32_t none = 1, five = 1;
    uint16_t noneType = 1, fiveType = 1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(findBestPage(8, none, noneType));
    EXPECT_TRUE(findBestPage(5, five, fiveType));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::tuple(none, noneType, five, fiveType), std::tuple(0u, 0, 30u, 0x44));
    EXPECT_EQ(search(6), (Answer{true, 20, 0x44}));
}

// The index must give the plain walk's answer, also while headers are
// rewritten during the run: a few rewrites are merged in, many force a rebuild.
TEST_F(BestPage, IndexAgreesWithThePlainWalk) {
    for (const Family& f : {k700, k800, k950, k1300}) {
        unit::resetGlobals();
        SCOPED_TRACE(testing::Message() << "version " << std::hex << f.version);
        std::mt19937 random(f.version);
        const bool packed = f.version < 0x0800;
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < 40; ++i) ids.push_back(i);
        ids.push_back(packed ? 0xFFFFFF : 0xFFFFFFFE);
        if (!packed) ids.push_back(0x01000005);  // differs from 5 above bit 23 only
        auto randomId = [&] { return ids[random() % ids.size()]; };
        auto randomUsage = [&] { return uint16_t((random() % 2 ? 0x8000 : 0) | random() % 12); };
        auto randomType = [&] { return uint16_t(random() % 3 == 0 ? 0x44 : random() % 0x100); };

        const uint32_t pages = 2500;
        std::vector<Page> headers;
        for (uint32_t n = 4; n < pages; ++n) headers.push_back({n, randomId(), randomType(), randomUsage()});
        build(f, pages, headers);

        std::vector<uint32_t> queries = ids;
        queries.push_back(40);
        queries.push_back(0x7FFFFFFF);
        auto agree = [&](const char* when) {
            for (uint32_t p : queries) ASSERT_EQ(search(p), walk(p)) << when << ", logical page " << p;
        };
        agree("fresh cache");
        for (int round = 0; round < 8; ++round) {
            const int rewrites = round == 0 ? 300 : 200;  // 300 merged in, then past 1024: rebuilt
            for (int i = 0; i < rewrites; ++i) {
                uint32_t n = 4 + random() % (pages - 4);
                noteRewrittenHeader(n, header(randomId(), randomType(), randomUsage()));
            }
            // Pages the cache holds no header for take no part in the search.
            noteRewrittenHeader(2, header(randomId(), 0x44, 0x7FFF));
            noteRewrittenHeader(pages + 3, header(randomId(), 0x44, 0x7FFF));
            agree(round == 0 ? "after few rewrites" : "after many rewrites");
        }
    }
}

}  // namespace
