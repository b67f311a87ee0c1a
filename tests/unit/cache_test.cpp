#include <memory>
#include <tuple>

#include "access/cache.h"
#include "format/pageheader.h"
#include "support.h"

using namespace tabulon;

namespace {

using unit::Bytes;

constexpr uint32_t kPage = 4096;

// A 7.x file set of 4096-byte pages whose page p names logical page p. The
// bytes are cut into members of the given sizes.
class CachedHeaders : public ::testing::Test {
protected:
    void build(const std::vector<uint64_t>& members) {
        cache.reset();
        opened.reset();
        uint64_t total = 0;
        for (uint64_t m : members) total += m;
        Bytes all = unit::fcrImage(0x0700, kPage, kPage, total);
        for (uint64_t p = 4; (p + 1) * kPage <= total; ++p) {
            unit::putPageHeader(all, p * kPage, 0x0700, uint32_t(p), 0x44, uint16_t(p));
        }
        uint64_t at = 0;
        for (size_t k = 0; k < members.size(); ++k) {
            std::string name;
            ASSERT_TRUE(memberName(path(), int(k), &name));
            unit::writeFile(name, Bytes(all.begin() + long(at), all.begin() + long(at + members[k])));
            at += members[k];
        }
        opened = std::make_unique<unit::Opened>(path(), ExclusiveRead);
        ASSERT_EQ(opened->members, int(members.size()));
        cache = std::make_unique<HeaderCache>(opened->file);
    }
    bool preload(bool showProgress) {
        opened->clearOutput();
        bool ok = cache->preload(showProgress);
        out = opened->out.outText;
        err = opened->out.errText;
        return ok;
    }
    bool lookup(uint32_t p, PageHeader& h) const { return cache->lookup(p, h); }
    uint32_t pageId(const PageHeader& h) const { return decodePageHeader(opened->geometry(), h).pageId; }
    static std::string loaded(uint32_t n) {
        return "Pre-loaded " + std::to_string(n) + " physical page headers into memory.\n";
    }
    static std::string figure(uint32_t percent) {
        char text[16];
        std::snprintf(text, sizeof text, "%.3u%%\b\b\b\b", unsigned(percent));
        return text;
    }
    std::string path() const { return dir.path("c.dat"); }

    unit::ScratchDir dir;
    std::unique_ptr<unit::Opened> opened;
    std::unique_ptr<HeaderCache> cache;
    std::string out, err;
};

TEST_F(CachedHeaders, ProgressFiguresOnlyAbove500Pages) {
    std::string every10th;
    for (uint32_t k = 1; k <= 99; ++k) every10th += figure(k);
    std::string every5th;
    for (uint32_t p = 5; p < 501; p += 5) every5th += figure(p * 100 / 501);
    const std::tuple<uint32_t, bool, std::string> cases[] = {
        {500, true, ""}, {501, true, every5th}, {1000, true, every10th}, {1000, false, ""}};
    for (const auto& [pages, showProgress, figures] : cases) {
        build({uint64_t(pages) * kPage});
        ASSERT_TRUE(preload(showProgress));
        EXPECT_EQ(cache->entryCount(), pages);
        EXPECT_EQ(err, figures) << pages << " pages";
        EXPECT_EQ(out, loaded(pages));
    }
    EXPECT_EQ(every5th.substr(0, 8), "000%\b\b\b\b");
    EXPECT_EQ(every5th.size(), 100u * 8);
}

TEST_F(CachedHeaders, PartialLastPageIsNotLoaded) {
    build({1000 * kPage + 512});
    ASSERT_TRUE(preload(false));
    EXPECT_EQ(cache->entryCount(), 1000u);
    EXPECT_EQ(cache->loadedEnd(), 1000u);
    EXPECT_EQ(out, loaded(1000));
    PageHeader h{};
    ASSERT_TRUE(lookup(999, h));
    EXPECT_EQ(pageId(h), 999u);
    EXPECT_EQ(h.usageCount, 999);
    h.usageCount = 0xBEEF;
    EXPECT_FALSE(lookup(1000, h));
    EXPECT_EQ(h.usageCount, 0xBEEF);  // left as it was
    for (uint32_t p = 0; p < 4; ++p) EXPECT_FALSE(lookup(p, h)) << p;
    ASSERT_TRUE(lookup(4, h));
    EXPECT_EQ(pageId(h), 4u);
}

TEST_F(CachedHeaders, UnreadableHeaderEndsLoading) {
    // Member 0 ends two bytes into page 700; member 1 holds the next 300 pages.
    build({700 * kPage + 2, 300 * kPage});
    ASSERT_TRUE(preload(false));
    EXPECT_EQ(cache->entryCount(), 1000u);
    EXPECT_EQ(out, loaded(700));
    EXPECT_EQ(cache->loadedEnd(), 700u);
    PageHeader h{};
    EXPECT_TRUE(lookup(699, h));
    EXPECT_FALSE(lookup(700, h));
    EXPECT_FALSE(lookup(701, h));
    EXPECT_TRUE(opened->file.readPageHeader(701, h));  // readable, but past where loading stopped
}

TEST_F(CachedHeaders, SecondPreloadChangesNothing) {
    build({20 * kPage});
    ASSERT_TRUE(preload(true));
    EXPECT_EQ(out, loaded(20));
    ASSERT_TRUE(preload(true));
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(cache->entryCount(), 20u);
}

TEST_F(CachedHeaders, SetsOfFourPagesOrFewerHaveNoTable) {
    for (uint32_t pages : {2u, 3u, 4u}) {
        build({pages * kPage});
        EXPECT_FALSE(preload(true)) << pages;
        EXPECT_EQ(out, "");
        EXPECT_EQ(cache->loadedEnd(), 0u);
        PageHeader h{};
        for (uint32_t p = 0; p <= 4; ++p) EXPECT_FALSE(lookup(p, h)) << p;
    }
    build({5 * kPage});
    EXPECT_TRUE(preload(true));
    EXPECT_EQ(out, loaded(5));
    PageHeader h{};
    EXPECT_TRUE(lookup(4, h));
}

// A table that ends at a limit (the FCR's pages) prints what the whole
// table prints and holds the same headers below the limit, none from it on:
// sets cut into members at random places, limits anywhere.
TEST_F(CachedHeaders, LimitedTablePrintsWhatTheWholeOneDoes) {
    std::mt19937 random(61);
    for (int round = 0; round < 30; ++round) {
        std::vector<uint64_t> members;
        for (int k = 0, n = 1 + int(random() % 3); k < n; ++k) {
            members.push_back((random() % 400 + (k == 0 ? 5 : 1)) * kPage + random() % 3 * 1023);
        }
        SCOPED_TRACE(testing::PrintToString(members));
        for (int k = 1; k < 4; ++k) {
            std::string name;
            if (memberName(path(), k, &name)) std::filesystem::remove(name);
        }
        build(members);
        const bool progress = random() % 2 == 0;
        const bool whole = preload(progress);
        const std::string wholeOut = out, wholeErr = err;
        std::vector<std::pair<bool, uint32_t>> seen;
        PageHeader h{};
        for (uint32_t p = 0; p < cache->entryCount() + 2; ++p) {
            seen.emplace_back(lookup(p, h), lookup(p, h) ? pageId(h) : 0);
        }
        const uint32_t limit = uint32_t(random() % (seen.size() + 2));
        cache = std::make_unique<HeaderCache>(opened->file);
        cache->limitTo(limit);
        EXPECT_EQ(preload(progress), whole) << limit;
        EXPECT_EQ(out, wholeOut) << limit;
        EXPECT_EQ(err, wholeErr) << limit;
        for (uint32_t p = 0; p < seen.size(); ++p) {
            const bool kept = p < std::max(limit, kFirstCachedPage + 1);
            EXPECT_EQ(lookup(p, h), kept && seen[p].first) << p << " of limit " << limit;
            if (kept && seen[p].first) {
                EXPECT_EQ(pageId(h), seen[p].second) << p;
            }
        }
    }
}

// A rewritten header replaces the cached header bytes and keeps the usage
// count; pages the table holds no header for stay uncached.
TEST_F(CachedHeaders, UpdateReplacesHeaderBytesOfCachedPagesOnly) {
    build({700 * kPage + 2, 300 * kPage});
    ASSERT_TRUE(preload(false));
    PageHeader rewritten{};
    encodePageHeader(opened->geometry(), rewritten, 0xABCDE, 0x56);
    rewritten.usageCount = 0x7777;
    for (uint32_t p : {3u, 4u, 699u, 700u, 1500u}) cache->update(p, rewritten);
    PageHeader h{};
    for (uint32_t p : {4u, 699u}) {
        ASSERT_TRUE(lookup(p, h)) << p;
        EXPECT_EQ(pageId(h), 0xABCDEu) << p;
        EXPECT_EQ(decodePageHeader(opened->geometry(), h).pageType, 0x56) << p;
        EXPECT_EQ(h.usageCount, p) << p;
    }
    EXPECT_FALSE(lookup(3, h));
    EXPECT_FALSE(lookup(700, h));
    ASSERT_TRUE(lookup(698, h));
    EXPECT_EQ(pageId(h), 698u);

    cache->clear();
    EXPECT_FALSE(lookup(4, h));
    EXPECT_EQ(std::pair(cache->entryCount(), cache->loadedEnd()), std::pair(0u, 0u));
    // Cleared, the table is built again from the file.
    ASSERT_TRUE(preload(false));
    EXPECT_EQ(out, loaded(700));
    ASSERT_TRUE(lookup(4, h));
    EXPECT_EQ(pageId(h), 4u);
}

}  // namespace
