#include "check/bestpage.h"

namespace tabulon {

namespace {

constexpr uint32_t kFirstPage = kFirstCachedPage;

// Whether the search can decode page ids in this version family.
bool searchable(uint16_t v) {
    if (v < version::v600) return false;
    return v <= version::v950 || v >= version::v1300;
}

}  // namespace

// Keeps the best candidate: highest usage value, the first one seen on ties.
// The relabelled page is kept aside and taken only when no other page names
// the logical page.
struct BestPageSearch::Choice {
    BestPage best;
    uint16_t usage = 0;
    uint32_t relabelled = kNoPage;
    bool relabelledNames = false;
    uint16_t relabelledType = 0;

    void offer(uint32_t n, const PageHeader& h, uint16_t t) {
        if (n == relabelled) {
            relabelledNames = true;
            relabelledType = t;
            return;
        }
        uint16_t u = h.usageCount & pagetype::usageValue;
        if (!best.found || u > usage) {
            best.found = true;
            best.physical = n;
            best.type = t;
            usage = u;
        }
    }

    void settle() {
        if (best.found || !relabelledNames) return;
        best.found = true;
        best.physical = relabelled;
        best.type = relabelledType;
    }
};

BestPageSearch::BestPageSearch(BtrieveFile& file, HeaderCache& cache)
    : file_(file), cache_(cache), index_(file, cache) {}

// Every candidate page in order: its cached header where the cache holds
// one, else its header read from the file set, with the read's trace line
// under /D. A page that cannot be read is skipped.
BestPageSearch::Choice BestPageSearch::walkPages(uint32_t p, uint32_t relabelled, bool* looked,
                                                 bool* complete) {
    Choice c;
    c.relabelled = relabelled;
    PageHeader h{};
    index_.plan();
    for (uint32_t n = kFirstPage; n < index_.end(); ++n) {
        if (!index_.candidate(n)) continue;
        if (!cache_.lookup(n, h) && !file_.readPageHeader(n, h)) {
            *complete = false;
            continue;
        }
        *looked = true;
        PageIdentity id = decodePageHeader(file_.geometry(), h);
        if (id.pageId == p) c.offer(n, h, id.pageType);
    }
    return c;
}

BestPageSearch::Choice BestPageSearch::searchIndex(uint32_t p, uint32_t relabelled, bool* looked,
                                                   bool* complete) {
    Choice c;
    c.relabelled = relabelled;
    index_.forEachNaming(p, [&](uint32_t n, const PageHeader& h) {
        c.offer(n, h, decodePageHeader(file_.geometry(), h).pageType);
    });
    *looked = index_.readablePages() > 0;
    *complete = index_.complete();
    return c;
}

void BestPageSearch::noteRewrittenHeader(uint32_t p, const PageHeader& header) {
    cache_.update(p, header);
    index_.noteCachedRewrite(p);
}

BestPage BestPageSearch::find(uint32_t p, SearchBy by, uint32_t relabelled) {
    if (!searchable(file_.geometry().versionCode)) return BestPage{};
    bool looked = false, complete = true;
    Choice c = by == SearchBy::Walk ? walkPages(p, relabelled, &looked, &complete)
                                    : searchIndex(p, relabelled, &looked, &complete);
    c.settle();
    c.best.searchedAll = looked && complete;
    return c.best;
}

}  // namespace tabulon
