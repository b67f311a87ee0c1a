// An index of the headers of every physical page of the file set, by the
// page id each header names: for the best-page search, which must look at
// every page, and for the check's reads of pages the cache does not hold.
//
// The candidates are pages 4 up to the last page whose offset lies inside the
// file set. A page the header cache holds is taken from the cache (fix bit 1
// keeps it current there); every other page is read from the file set, in
// large gathered pieces, once. The index sees every write of the file set
// (it is a write observer) and reads again any page whose header bytes a
// write touched, so that it always says what a read of the file would say.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "access/btrfile.h"
#include "access/cache.h"

namespace tabulon {

class PageIndex : public WriteObserver {
  public:
    PageIndex(BtrieveFile& file, const HeaderCache& cache);
    ~PageIndex() override;
    PageIndex(const PageIndex&) = delete;
    PageIndex& operator=(const PageIndex&) = delete;

    // Makes no page from `pages` on a candidate: for a run that only reads
    // the headers of pages its entries name (no best-page search), which
    // needs no index past the FCR's pages. Set before the plan.
    void limitTo(uint32_t pages) { limit_ = pages; }

    // Works out the candidate pages from the geometry and the set's size,
    // reading nothing; once. False when there was no room for the table.
    bool plan();

    // Plans, then reads the headers the cache lacks; once.
    void build();
    bool built() const { return built_; }

    // One past the last candidate page: the last page whose offset lies
    // inside the file set, plus one (4 when there is none).
    uint32_t end() const { return end_; }
    // Whether every candidate page's header could be read.
    bool complete() const { return !direct_ && unreadableCandidates_ == 0; }

    // Whether page p may carry a logical page: its header lies outside the
    // FCR copies and the PAT pairs, which an entry must never point at.
    bool candidate(uint32_t p) const {
        return p >= kFirstCachedPage && p < end_ && (excluded_.empty() || !excluded_[p]);
    }
    // Number of candidate pages whose header could be read.
    uint64_t readablePages() const;

    // The header of candidate page p as the file now holds it (for a cached
    // page, as the cache holds it). False when p is no candidate or its
    // header cannot be read.
    bool header(uint32_t p, PageHeader& h);

    // Calls f(p, header) for every readable candidate page whose header
    // names `id`, in ascending page order.
    template <class F>
    void forEachNaming(uint32_t id, F f);

    // Page p's cached header was rewritten (fix bit 1).
    void noteCachedRewrite(uint32_t p);

    // The pages below `end` that lie inside the FCR copies or a PAT pair.
    static std::vector<bool> tableExcluded(const FileGeometry& g, uint32_t end);

    // The candidate end for a geometry and a file-set size.
    static uint32_t candidateEnd(const FileGeometry& g, uint64_t setSize);

    bool beforeWrite(uint64_t, size_t) override { return true; }
    void afterWrite(uint64_t offset, const uint8_t* bytes, size_t n, bool ok) override;

  private:
    bool cached(uint32_t p) const { return p < cacheEnd_; }
    bool isUnreadable(uint32_t p) const;
    void setUnreadable(uint32_t p, bool unreadable);
    void refresh();
    void indexAll();
    void markMoved(uint32_t p);

    BtrieveFile& file_;
    const HeaderCache& cache_;
    const FileGeometry& g_;
    uint32_t limit_ = UINT32_MAX;
    bool planned_ = false;
    bool built_ = false;
    bool indexed_ = false;                  // the buckets are built
    bool direct_ = false;                   // no room for an index: pages are read when asked for
    uint32_t cacheEnd_ = kFirstCachedPage;  // pages below come from the cache
    uint32_t end_ = kFirstCachedPage;
    HeaderTable tail_;                  // pages cacheEnd_ .. end_ - 1
    std::vector<uint32_t> unreadable_;  // sorted
    uint64_t candidates_ = 0;           // pages from 4 to end_ - 1 outside the table
    uint64_t unreadableCandidates_ = 0;
    std::vector<bool> excluded_;   // pages inside the FCR copies or a PAT pair
    std::vector<uint32_t> dirty_;  // tail pages to read again
    // Buckets by id: pages naming id k (k < bound_) are
    // pages_[bucketEnd_[k - 1] .. bucketEnd_[k]), ascending; other ids are
    // sorted (id, page) pairs. Pages whose header changed since the buckets
    // were built are kept aside in moved_ (sorted) and looked at directly.
    uint32_t bound_ = 0;
    std::vector<uint32_t> bucketEnd_;
    std::vector<uint32_t> pages_;
    std::vector<std::pair<uint32_t, uint32_t>> others_;
    std::vector<uint32_t> moved_;                  // sorted
    std::multimap<uint32_t, uint32_t> movedById_;  // the moved pages by the id they name now
    std::map<uint32_t, uint32_t> movedId_;         // and the id each names
};

template <class F>
void PageIndex::forEachNaming(uint32_t id, F f) {
    if (!built_) build();
    refresh();
    if (!indexed_ && !direct_) indexAll();
    PageHeader h;
    if (direct_) {
        for (uint32_t p = kFirstCachedPage; p < end_; ++p) {
            if (candidate(p) && header(p, h) && decodePageHeader(g_, h).pageId == id) f(p, h);
        }
        return;
    }
    // The moved pages that name id now, merged in at their place, so that
    // the pages come in ascending order.
    auto [movedFirst, movedEnd] = movedById_.equal_range(id);
    std::vector<uint32_t> moved;
    for (auto it = movedFirst; it != movedEnd; ++it) moved.push_back(it->second);
    std::sort(moved.begin(), moved.end());
    size_t mv = 0;
    auto offerMoved = [&](uint64_t upTo) {
        for (; mv < moved.size() && moved[mv] < upTo; ++mv) {
            if (header(moved[mv], h)) f(moved[mv], h);
        }
    };
    auto visit = [&](uint32_t p) {
        offerMoved(p);
        if (std::binary_search(moved_.begin(), moved_.end(), p)) return;
        if (header(p, h)) f(p, h);
    };
    if (id < bound_) {
        uint32_t first = id == 0 ? 0 : bucketEnd_[id - 1];
        for (uint32_t i = first; i < bucketEnd_[id]; ++i) visit(pages_[i]);
    } else {
        auto it = std::lower_bound(others_.begin(), others_.end(), std::make_pair(id, 0u));
        for (; it != others_.end() && it->first == id; ++it) visit(it->second);
    }
    offerMoved(uint64_t(UINT32_MAX) + 1);
}

}  // namespace tabulon
