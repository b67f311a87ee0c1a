#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <tuple>

#include "support/bestpage.h"
#include "check/scan.h"
#include "format/pageheader.h"
#include "support.h"

using namespace tabulon;

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
// zero), opens it and fills the header cache of a scanner. With a cut, the
// bytes from there on form the first extension file.
class BestPage : public ::testing::Test {
protected:
    void build(const Family& f, uint32_t pages, const std::vector<Page>& headers,
               ScanOptions options = {}, uint64_t cut = 0, int mode = ExclusiveRead) {
        scanner.reset();
        opened.reset();
        family = f;
        Bytes image = unit::fcrImage(f.version, f.pageSize, f.patPageSize, uint64_t(pages) * f.pageSize);
        for (const Page& p : headers) {
            unit::putPageHeader(image, uint64_t(p.n) * f.pageSize, f.version, p.id, p.type, p.usage);
        }
        if (cut == 0) cut = image.size();
        unit::writeFile(dir.path("b.dat"), Bytes(image.begin(), image.begin() + long(cut)));
        if (cut < image.size()) unit::writeFile(dir.path("b.^01"), Bytes(image.begin() + long(cut), image.end()));
        opened = std::make_unique<unit::Opened>(dir.path("b.dat"), mode);
        ASSERT_TRUE(opened->members);
        rescan(options);
    }
    // A new scanner over the open file, with a cache of its own.
    void rescan(const ScanOptions& options) {
        scanner = std::make_unique<Scanner>(opened->file, options);
        ASSERT_TRUE(scanner->cache().preload(false));
        opened->clearOutput();
    }
    // Whether a page was chosen, its physical page number and its type.
    using Answer = std::tuple<bool, uint32_t, uint16_t>;
    Answer search(uint32_t p, std::string* line = nullptr) {
        uint32_t physical = 123;
        uint16_t type = 456;
        opened->clearOutput();
        bool found = findBest(*scanner, p, physical, type);
        if (line) *line = opened->out.outText;
        return {found, physical, type};
    }
    Answer walk(uint32_t p) {
        uint32_t physical = 123;
        uint16_t type = 456;
        bool found = findBestByWalk(*scanner, p, physical, type);
        return {found, physical, type};
    }
    PageHeader header(uint32_t id, uint16_t type, uint16_t usage) const {
        Bytes b(32, 0);
        unit::putPageHeader(b, 0, family.version, id, type, usage);
        PageHeader h{};
        std::copy_n(b.begin(), opened->geometry().headerSize, h.headerBytes);
        h.usageCount = usage;
        return h;
    }

    unit::ScratchDir dir;
    Family family{};
    std::unique_ptr<unit::Opened> opened;
    std::unique_ptr<Scanner> scanner;  // goes before the file it reads
};

const Family k700{0x0700, 512, 512};
const Family k800{0x0800, 1024, 2048};
const Family k950{0x0950, 2048, 4096};
const Family k1300{0x0D00, 1024, 2048};

TEST_F(BestPage, HighestUsageWinsWithoutBit15AndTiesGoToTheLowestPage) {
    build(k800, 40, {{10, 5, 0x44, 0x8005}, {20, 5, 0x56, 0x0007}, {25, 5, 0x80, 0x0007},
                     {12, 6, 0x44, 0}, {13, 7, 0x44, 3}, {30, 7, 0x44, 3},
                     {4, 8, 0x44, 1}, {39, 8, 0x44, 2}});
    // The search prints nothing: the repair that uses it prints the found
    // line (the golden cases pin it, with /O too).
    std::string line;
    EXPECT_EQ(search(5, &line), (Answer{true, 20, 0x56}));
    EXPECT_EQ(line, "");
    EXPECT_EQ(search(6), (Answer{true, 12, 0x44}));  // alone, usage 0
    EXPECT_EQ(search(7), (Answer{true, 13, 0x44}));
    EXPECT_EQ(search(8), (Answer{true, 39, 0x44}));  // first and last cached pages
    EXPECT_EQ(search(9, &line), (Answer{false, 0, 0}));
    EXPECT_EQ(line, "");
}

TEST_F(BestPage, FamiliesWithoutADecodingRuleFindNothing) {
    build({0x0A00, 1024, 2048}, 20, {{10, 5, 0x44, 1}});
    EXPECT_EQ(search(5), (Answer{false, 0, 0}));
    build(k700, 20, {{10, 0xFFFFFF, 0x44, 1}});
    EXPECT_EQ(search(0xFFFFFF), (Answer{true, 10, 0x44}));
    EXPECT_EQ(search(0x1FFFFFF), (Answer{false, 0, 0}));  // no 24-bit id names it
}

// A rewritten page that is no candidate (an FCR page, a page past the end of
// the set) is not looked at, whatever the search looked at before.
TEST_F(BestPage, RewrittenPageThatIsNoCandidateIsIgnored) {
    build(k800, 40, {{14, 5, 0x44, 1}, {20, 6, 0x44, 1}, {30, 7, 0x44, 9}});
    EXPECT_EQ(search(5), (Answer{true, 14, 0x44}));
    scanner->search().noteRewrittenHeader(30, header(5, 0x44, 9));
    scanner->search().noteRewrittenHeader(2, header(8, 0x44, 0));
    scanner->search().noteRewrittenHeader(45, header(8, 0x44, 0));
    // Back to back: the search for 8 looks at page 30 last and finds nothing.
    uint32_t none = 1, five = 1;
    uint16_t noneType = 1, fiveType = 1;
    EXPECT_FALSE(findBest(*scanner, 8, none, noneType));
    EXPECT_TRUE(findBest(*scanner, 5, five, fiveType));
    EXPECT_EQ(std::tuple(none, noneType, five, fiveType), std::tuple(0u, 0, 30u, 0x44));
    EXPECT_EQ(search(6), (Answer{true, 20, 0x44}));
}

// An entry must never point into the table itself: pages that lie in the FCR
// copies (before PAT pair 1) or in a PAT pair are no candidates, whatever
// their bytes name and however high their usage word reads.
TEST_F(BestPage, PagesOfTheFcrAndOfPatPairsAreNoCandidates) {
    // 8.x, 1024-byte pages: the FCR area is pages 0 to 7, pair 1 pages 8 to 11.
    build(k800, 40, {{6, 5, 0x44, 0x7FFF}, {9, 5, 0x44, 0x7FFF}, {11, 6, 0x44, 9},
                     {14, 5, 0x44, 1}});
    EXPECT_EQ(search(5), (Answer{true, 14, 0x44}));
    EXPECT_EQ(walk(5), (Answer{true, 14, 0x44}));
    EXPECT_EQ(search(6), (Answer{false, 0, 0}));
    EXPECT_EQ(walk(6), (Answer{false, 0, 0}));
}

// Without a header cache (a compressed file, a failed preload) the pages are
// read from the file set, with the same choice and line; a search that read
// every page says so.
TEST_F(BestPage, WithoutACacheTheFileSetIsWalked) {
    build(k800, 40, {{10, 5, 0x44, 0x8005}, {20, 5, 0x56, 0x0007}, {25, 5, 0x80, 0x0007},
                     {4, 8, 0x44, 1}, {39, 8, 0x44, 2}});
    std::vector<std::pair<Answer, std::string>> cached;
    for (uint32_t p : {5u, 8u, 9u}) {
        std::string line;
        cached.emplace_back(search(p, &line), line);
    }
    Scanner uncached(opened->file, ScanOptions{});
    for (size_t i = 0; i < cached.size(); ++i) {
        const uint32_t p = std::array{5u, 8u, 9u}[i];
        uint32_t physical = 123;
        uint16_t type = 456;
        bool searchedAll = false;
        opened->clearOutput();
        const bool found = findBest(uncached, p, physical, type, &searchedAll);
        EXPECT_EQ(Answer(found, physical, type), cached[i].first) << p;
        EXPECT_EQ(opened->out.outText, cached[i].second) << p;
        EXPECT_TRUE(searchedAll) << p;
    }
    EXPECT_EQ(uncached.cache().loadedEnd(), 0u);  // the search built no table

    // A set of four pages has no page to look at: nothing was searched.
    unit::writeFile(dir.path("four.dat"), unit::fcrImage(k800.version, k800.pageSize, k800.patPageSize, 4 * 1024));
    unit::Opened four(dir.path("four.dat"), ExclusiveRead);
    ASSERT_TRUE(four.members);
    Scanner none(four.file, ScanOptions{});
    uint32_t physical = 1;
    uint16_t type = 1;
    bool searchedAll = true;
    EXPECT_FALSE(findBest(none, 0, physical, type, &searchedAll));
    EXPECT_FALSE(searchedAll);
    EXPECT_EQ(std::pair(physical, type), std::pair(0u, uint16_t(0)));
}

// Member 0 ends two bytes into page 20: the preload stops there and page 20
// cannot be read, but the pages of member 1 are searched as well; the search
// then says that it could not read every page. Headers written through the
// file set after the first search are seen by the next one.
TEST_F(BestPage, PagesPastWhereThePreloadStoppedAreSearched) {
    build(k800, 40,
          {{10, 5, 0x44, 1}, {30, 5, 0x56, 3}, {12, 6, 0x44, 0}, {35, 6, 0x44, 0}, {33, 7, 0x44, 9},
           {37, 8, 0x80, 2}},
          {}, 20 * 1024 + 2, Repair);
    ASSERT_EQ(scanner->cache().loadedEnd(), 20u);
    auto both = [&](uint32_t p) {
        uint32_t physical = 1, plainPhysical = 1;
        uint16_t type = 1, plainType = 1;
        bool all = true, plainAll = true;
        const bool found = findBest(*scanner, p, physical, type, &all);
        const bool plainFound = findBestByWalk(*scanner, p, plainPhysical, plainType, &plainAll);
        EXPECT_EQ(Answer(found, physical, type), Answer(plainFound, plainPhysical, plainType)) << p;
        EXPECT_FALSE(all) << p;  // page 20 was not read
        EXPECT_FALSE(plainAll) << p;
        return Answer(found, physical, type);
    };
    EXPECT_EQ(both(5), (Answer{true, 30, 0x56}));
    EXPECT_EQ(both(6), (Answer{true, 12, 0x44}));
    EXPECT_EQ(both(8), (Answer{true, 37, 0x80}));
    EXPECT_EQ(both(9), (Answer{false, 0, 0}));

    // Page 33 (usage 9) now names 5, page 37 names 9.
    PageHeader h = header(5, 0x44, 0);
    ASSERT_TRUE(opened->file.writePageHeader(33, h));
    h = header(9, 0x56, 0);
    ASSERT_TRUE(opened->file.writePageHeader(37, h));
    EXPECT_EQ(both(5), (Answer{true, 33, 0x44}));
    EXPECT_EQ(both(7), (Answer{false, 0, 0}));
    EXPECT_EQ(both(8), (Answer{false, 0, 0}));
    EXPECT_EQ(both(9), (Answer{true, 37, 0x56}));
}

// The index must give the plain walk's answer, also while headers are
// rewritten during the run: a few rewrites are merged in, many force a rebuild.
TEST_F(BestPage, IndexAgreesWithThePlainWalk) {
    for (const Family& f : {k700, k800, k950, k1300}) {
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
                scanner->search().noteRewrittenHeader(n, header(randomId(), randomType(), randomUsage()));
            }
            // Pages that are no candidates take no part in the search.
            scanner->search().noteRewrittenHeader(2, header(randomId(), 0x44, 0x7FFF));
            scanner->search().noteRewrittenHeader(pages + 3, header(randomId(), 0x44, 0x7FFF));
            agree(round == 0 ? "after few rewrites" : "after many rewrites");
        }
    }
}

}  // namespace
