#include <algorithm>
#include <cinttypes>
#include <vector>

#include "check/scan.h"

namespace {

constexpr uint32_t kFirstPage = kFirstCachedPage;

// Whether the search can decode page ids in this version family.
bool searchable(uint16_t v) {
    if (v < version::v600) return false;
    return v <= version::v950 || v >= version::v1300;
}

}  // namespace

// Keeps the best candidate: highest usage value, the first one seen on ties.
struct Scanner::Choice {
    bool chosen = false;
    uint32_t physical = 0;
    uint16_t type = 0;
    uint16_t usage = 0;

    void offer(uint32_t n, const PageHeader& h, uint16_t t) {
        uint16_t u = h.usageCount & pagetype::usageValue;
        if (!chosen || u > usage) {
            chosen = true;
            physical = n;
            type = t;
            usage = u;
        }
    }
};

namespace {

// Above this many rewritten pages the index is rebuilt instead.
constexpr size_t kMaxMoved = 1024;

}  // namespace

void Scanner::buildIndex() {
    BestPageIndex& index = index_;
    index = BestPageIndex{};
    index.built = true;
    const uint32_t end = cache_.loadedEnd();
    if (end <= kFirstPage) return;
    index.bound = end;
    index.bucketEnd.assign(end, 0);
    PageHeader h;
    uint32_t counted = 0;
    for (uint32_t n = kFirstPage; cache_.lookup(n, h); ++n) {
        uint32_t id = decodePageHeader(g_, h).pageId;
        if (id < index.bound) {
            ++index.bucketEnd[id];
            ++counted;
        } else {
            index.others.emplace_back(id, n);
        }
    }
    // Bucket starts, then each page placed at its bucket's next free slot; the
    // slots advance to the bucket ends.
    uint32_t sum = 0;
    for (uint32_t& b : index.bucketEnd) {
        uint32_t c = b;
        b = sum;
        sum += c;
    }
    index.pages.resize(counted);
    for (uint32_t n = kFirstPage; cache_.lookup(n, h); ++n) {
        uint32_t id = decodePageHeader(g_, h).pageId;
        if (id < index.bound) index.pages[index.bucketEnd[id]++] = n;
    }
    // Collected in ascending page order: a stable sort by id keeps that order
    // within each id.
    std::stable_sort(index.others.begin(), index.others.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

namespace {

// Calls f with every indexed physical page that names p, in ascending order.
template <class Index, class F>
void forEachIndexed(const Index& index, uint32_t p, F f) {
    if (p < index.bound) {
        uint32_t first = p == 0 ? 0 : index.bucketEnd[p - 1];
        for (uint32_t i = first; i < index.bucketEnd[p]; ++i) f(index.pages[i]);
        return;
    }
    auto it = std::lower_bound(index.others.begin(), index.others.end(), std::make_pair(p, 0u));
    for (; it != index.others.end() && it->first == p; ++it) f(it->second);
}

}  // namespace

void Scanner::printFound(uint32_t p, uint32_t physical, uint16_t type) {
    if (options_.showOffsets) {
        out_.out(
            "Found Logical Page %.8lx at Physical Page %.8lx (0x%.10" PRIx64 ") with type %.4x.\n",
            (unsigned long)p, (unsigned long)physical, file_.pageOffset(physical), unsigned(type));
    } else {
        out_.out("Found Logical Page %.8lx at Physical Page %.8lx with type %.4x.\n",
                    (unsigned long)p, (unsigned long)physical, unsigned(type));
    }
}

// Walks the pages of the file set from page 4 up to the first unreadable one,
// for files whose headers are not cached.
Scanner::Choice Scanner::walkFileSet(uint32_t p, bool* examined) {
    Choice c;
    PageHeader h{};
    // With a page unit of 0 (a damaged compressed page size) every page lies
    // at offset 0, on the FCR: there is no page to examine.
    const bool noUnit = file_.pageOffset(kFirstPage + 1) == file_.pageOffset(kFirstPage);
    const uint64_t last = noUnit ? kFirstPage - 1 : UINT32_MAX;
    for (uint64_t n = kFirstPage; n <= last; ++n) {
        if (!file_.readPageHeader(uint32_t(n), h)) break;
        *examined = true;
        PageIdentity id = decodePageHeader(g_, h);
        if (id.pageId == p) c.offer(uint32_t(n), h, id.pageType);
    }
    return c;
}

Scanner::Choice Scanner::walkCache(uint32_t p) {
    Choice c;
    PageHeader h;
    for (uint32_t n = kFirstPage; cache_.lookup(n, h); ++n) {
        PageIdentity id = decodePageHeader(g_, h);
        if (id.pageId == p) c.offer(n, h, id.pageType);
    }
    return c;
}

Scanner::Choice Scanner::searchIndex(uint32_t p) {
    BestPageIndex& index = index_;
    if (!index.built) buildIndex();
    // Index entries for p come in ascending physical order; rewritten pages
    // are merged in at their place so that ties still go to the lowest page.
    Choice c;
    PageHeader h;
    auto mv = index.moved.begin();
    auto offerMoved = [&](uint64_t upTo) {
        for (; mv != index.moved.end() && *mv < upTo; ++mv) {
            // A rewritten page the cache holds no header for is no candidate.
            if (!cache_.lookup(*mv, h)) continue;
            PageIdentity id = decodePageHeader(g_, h);
            if (id.pageId == p) c.offer(*mv, h, id.pageType);
        }
    };
    forEachIndexed(index, p, [&](uint32_t n) {
        offerMoved(n);
        if (std::binary_search(index.moved.begin(), index.moved.end(), n)) return;
        cache_.lookup(n, h);
        c.offer(n, h, decodePageHeader(g_, h).pageType);
    });
    offerMoved(uint64_t(UINT32_MAX) + 1);
    return c;
}

void Scanner::noteRewrittenHeader(uint32_t p, const PageHeader& header) {
    BestPageIndex& index = index_;
    cache_.update(p, header);
    if (!index.built) return;
    auto at = std::lower_bound(index.moved.begin(), index.moved.end(), p);
    if (at == index.moved.end() || *at != p) index.moved.insert(at, p);
    if (index.moved.size() > kMaxMoved) index.built = false;
}

bool Scanner::findBestPageLinear(uint32_t p, uint32_t& physical, uint16_t& type) {
    physical = 0;
    type = 0;
    Choice c = walkCache(p);
    if (!c.chosen) return false;
    physical = c.physical;
    type = c.type;
    return true;
}

bool Scanner::findBestPage(uint32_t p, uint32_t& physical, uint16_t& type, bool* examined) {
    physical = 0;
    type = 0;
    bool looked = false;
    if (examined) *examined = false;
    const uint16_t v = g_.versionCode;
    if (!searchable(v)) return false;
    Choice c;
    PageHeader first;
    if (cache_.lookup(kFirstPage, first)) {
        looked = true;
        c = searchIndex(p);
    } else {
        // No cache (page compression, or a preload that failed): read the
        // headers from the file set in the same order.
        c = walkFileSet(p, &looked);
    }
    if (examined) *examined = looked;
    if (!c.chosen) return false;
    physical = c.physical;
    type = c.type;
    printFound(p, physical, type);
    return true;
}
