#include <tuple>

#include "support.h"

namespace {

using unit::Bytes;

constexpr uint32_t kPage = 4096;

// A 7.x file set of 4096-byte pages whose page p names logical page p. The
// bytes are cut into members of the given sizes.
class HeaderCache : public unit::Fresh {
protected:
    void build(const std::vector<uint64_t>& members) {
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
        ASSERT_EQ(openFileSet(path().c_str(), ExclusiveRead), int(members.size()));
    }
    bool preload(bool showProgress) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool ok = preloadHeaders(showProgress);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return ok;
    }
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
    std::string out, err;
};

TEST_F(HeaderCache, ProgressFiguresOnlyAbove500Pages) {
    std::string every10th;
    for (uint32_t k = 1; k <= 99; ++k) every10th += figure(k);
    std::string every5th;
    for (uint32_t p = 5; p < 501; p += 5) every5th += figure(p * 100 / 501);
    const std::tuple<uint32_t, bool, std::string> cases[] = {
        {500, true, ""}, {501, true, every5th}, {1000, true, every10th}, {1000, false, ""}};
    for (const auto& [pages, showProgress, figures] : cases) {
        unit::resetGlobals();
        build({uint64_t(pages) * kPage});
        ASSERT_TRUE(preload(showProgress));
        EXPECT_EQ(entryCount, pages);
        EXPECT_EQ(err, figures) << pages << " pages";
        EXPECT_EQ(out, loaded(pages));
    }
    EXPECT_EQ(every5th.substr(0, 8), "000%\b\b\b\b");
    EXPECT_EQ(every5th.size(), 100u * 8);
}

TEST_F(HeaderCache, PartialLastPageIsNotLoaded) {
    build({1000 * kPage + 512});
    ASSERT_TRUE(preload(false));
    EXPECT_EQ(entryCount, 1000u);
    EXPECT_EQ(out, loaded(1000));
    PageHeader h{};
    ASSERT_TRUE(lookupHeader(999, h));
    EXPECT_EQ(decodePageHeader(h).pageId, 999u);
    EXPECT_EQ(h.usageCount, 999);
    h.usageCount = 0xBEEF;
    EXPECT_FALSE(lookupHeader(1000, h));
    EXPECT_EQ(h.usageCount, 0xBEEF);  // left as it was
    for (uint32_t p = 0; p < 4; ++p) EXPECT_FALSE(lookupHeader(p, h)) << p;
    ASSERT_TRUE(lookupHeader(4, h));
    EXPECT_EQ(decodePageHeader(h).pageId, 4u);
}

TEST_F(HeaderCache, UnreadableHeaderEndsLoading) {
    // Member 0 ends two bytes into page 700; member 1 holds the next 300 pages.
    build({700 * kPage + 2, 300 * kPage});
    ASSERT_TRUE(preload(false));
    EXPECT_EQ(entryCount, 1000u);
    EXPECT_EQ(out, loaded(700));
    PageHeader h{};
    EXPECT_TRUE(lookupHeader(699, h));
    EXPECT_FALSE(lookupHeader(700, h));
    EXPECT_FALSE(lookupHeader(701, h));
    EXPECT_TRUE(readPageHeader(701, h));  // readable, but past where loading stopped
}

TEST_F(HeaderCache, SecondPreloadChangesNothing) {
    build({20 * kPage});
    ASSERT_TRUE(preload(true));
    EXPECT_EQ(out, loaded(20));
    ASSERT_TRUE(preload(true));
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(entryCount, 20u);
}

TEST_F(HeaderCache, SetsOfFourPagesOrFewerHaveNoTable) {
    for (uint32_t pages : {2u, 3u, 4u}) {
        unit::resetGlobals();
        build({pages * kPage});
        EXPECT_FALSE(preload(true)) << pages;
        EXPECT_EQ(out, "");
        PageHeader h{};
        for (uint32_t p = 0; p <= 4; ++p) EXPECT_FALSE(lookupHeader(p, h)) << p;
    }
    unit::resetGlobals();
    build({5 * kPage});
    EXPECT_TRUE(preload(true));
    EXPECT_EQ(out, loaded(5));
    PageHeader h{};
    EXPECT_TRUE(lookupHeader(4, h));
}

}  // namespace
