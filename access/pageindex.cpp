#include "access/pageindex.h"

#include <algorithm>
#include <exception>

#include "format/pat.h"

namespace tabulon {

namespace {

// Above this many pages whose header changed, the buckets are built anew.
constexpr size_t kMaxMoved = 1024;

}  // namespace

PageIndex::PageIndex(BtrieveFile& file, const HeaderCache& cache)
    : file_(file), cache_(cache), g_(file.geometry()) {
    file_.fileSet().addObserver(this);
}

PageIndex::~PageIndex() {
    file_.fileSet().removeObserver(this);
}

std::vector<bool> PageIndex::tableExcluded(const FileGeometry& g, uint32_t end) {
    std::vector<bool> excluded(end, false);
    const uint64_t unit = pageUnit(g);
    if (unit == 0) return excluded;
    const uint64_t header = uint64_t(g.headerSize);
    // The pages whose header could touch [from, to), then exactly.
    auto mark = [&](uint64_t from, uint64_t to) {
        const uint64_t reach = header + 4096;
        uint64_t p = from >= reach ? (from - reach) / unit : 0;
        for (; p < end && p <= to / unit + 1; ++p) {
            if (overlapsFcrOrPat(g, pageOffset(g, uint32_t(p)), header)) excluded[p] = true;
        }
    };
    const uint64_t first = patPairOffset(g, 1);
    mark(0, first);
    const uint64_t pairBytes = 2 * uint64_t(g.patPageSize);
    const uint64_t last = end == 0 ? 0 : pageOffset(g, end - 1);
    for (uint64_t n = 1; n <= UINT32_MAX; ++n) {
        const uint64_t at = patPairOffset(g, uint32_t(n));
        if (at > last) break;
        mark(at, at + pairBytes);
        if (patPairStride(g) == 0) break;
    }
    return excluded;
}

uint32_t PageIndex::candidateEnd(const FileGeometry& g, uint64_t setSize) {
    const uint64_t unit = pageUnit(g);
    if (unit == 0 || setSize == 0) return kFirstCachedPage;
    // The last page by the plain formula, then back over the 6.x shift.
    uint64_t last = (setSize - 1) / unit;
    if (last > UINT32_MAX - 1) last = UINT32_MAX - 1;
    while (last >= kFirstCachedPage && pageOffset(g, uint32_t(last)) >= setSize) --last;
    return last < kFirstCachedPage ? kFirstCachedPage : uint32_t(last + 1);
}

bool PageIndex::plan() {
    if (planned_) return true;
    end_ = std::min(candidateEnd(g_, file_.fileSet().totalSize()),
                    std::max(limit_, kFirstCachedPage));
    try {
        excluded_ = tableExcluded(g_, end_);
    } catch (const std::exception&) {
        return false;
    }
    planned_ = true;
    for (uint32_t p = kFirstCachedPage; p < end_; ++p) candidates_ += excluded_[p] ? 0 : 1;
    return true;
}

void PageIndex::build() {
    if (built_) return;
    built_ = true;
    const bool planned = plan();
    cacheEnd_ = std::clamp(cache_.loadedEnd(), kFirstCachedPage, end_);
    // Without room for the headers, every page is read when it is asked for.
    direct_ = !planned || !tail_.assign(g_, end_ - cacheEnd_);
    if (direct_) return;
    HeaderReader reader(file_, tail_, cacheEnd_, end_);
    for (uint32_t p = cacheEnd_; p < end_;) {
        const uint32_t n = reader.read(p);
        if (n > 0) {
            p += n;
            continue;
        }
        unreadable_.push_back(p);
        if (candidate(p)) ++unreadableCandidates_;
        tail_.put(p - cacheEnd_, PageHeader{});
        ++p;
    }
}

uint64_t PageIndex::readablePages() const {
    if (direct_) return end_ - kFirstCachedPage;
    return candidates_ - unreadableCandidates_;
}

bool PageIndex::isUnreadable(uint32_t p) const {
    return std::binary_search(unreadable_.begin(), unreadable_.end(), p);
}

void PageIndex::setUnreadable(uint32_t p, bool unreadable) {
    auto at = std::lower_bound(unreadable_.begin(), unreadable_.end(), p);
    const bool listed = at != unreadable_.end() && *at == p;
    if (unreadable && !listed) {
        unreadable_.insert(at, p);
        if (candidate(p)) ++unreadableCandidates_;
    }
    if (!unreadable && listed) {
        unreadable_.erase(at);
        if (candidate(p)) --unreadableCandidates_;
    }
}

bool PageIndex::header(uint32_t p, PageHeader& h) {
    if (!built_) build();
    if (p < kFirstCachedPage || p >= end_) return false;
    if (cached(p)) return cache_.lookup(p, h);
    if (direct_) return file_.readPageHeader(p, h) != 0;
    if (!dirty_.empty()) refresh();
    if (isUnreadable(p)) return false;
    tail_.get(p - cacheEnd_, h);
    return true;
}

void PageIndex::refresh() {
    if (dirty_.empty()) return;
    std::vector<uint32_t> pages;
    pages.swap(dirty_);
    for (uint32_t p : pages) {
        PageHeader h{};
        const bool ok = file_.readPageHeader(p, h) != 0;
        if (!ok) h = PageHeader{};
        tail_.put(p - cacheEnd_, h);
        setUnreadable(p, !ok);
        markMoved(p);
    }
}

void PageIndex::afterWrite(uint64_t offset, const uint8_t*, size_t n, bool) {
    if (!built_ || direct_) return;
    forEachHeaderFieldTouched(g_, offset, n, [&](uint32_t p) {
        if (p >= end_) return false;
        if (!cached(p)) dirty_.push_back(p);
        return true;
    });
}

void PageIndex::noteCachedRewrite(uint32_t p) {
    if (indexed_) markMoved(p);
}

void PageIndex::markMoved(uint32_t p) {
    if (!indexed_) return;  // no buckets yet
    auto at = std::lower_bound(moved_.begin(), moved_.end(), p);
    if (at == moved_.end() || *at != p) moved_.insert(at, p);
    if (moved_.size() > kMaxMoved) {
        indexAll();
        return;
    }
    // File the page under the id it names now; an unreadable page under none.
    auto known = movedId_.find(p);
    if (known != movedId_.end()) {
        auto [first, end] = movedById_.equal_range(known->second);
        for (auto it = first; it != end; ++it) {
            if (it->second == p) {
                movedById_.erase(it);
                break;
            }
        }
        movedId_.erase(known);
    }
    PageHeader h;
    if (!candidate(p) || !header(p, h)) return;
    const uint32_t id = decodePageHeader(g_, h).pageId;
    movedById_.emplace(id, p);
    movedId_.emplace(p, id);
}

void PageIndex::indexAll() {
    indexed_ = true;
    bucketEnd_.clear();
    pages_.clear();
    others_.clear();
    moved_.clear();
    movedById_.clear();
    movedId_.clear();
    // Page ids below the candidate end (every id of a sound file, whose
    // logical pages are fewer than its physical pages) are counted into
    // buckets; the others are kept as sorted pairs.
    bound_ = end_;
    try {
        bucketEnd_.assign(bound_, 0);
    } catch (const std::exception&) {
        direct_ = true;
        return;
    }
    uint64_t counted = 0;
    auto forEachReadable = [&](auto f) {
        // The cached pages, then the others.
        const HeaderWord* words = cache_.words();
        const uint8_t* own = cache_.ownChunks();
        const uint32_t cachedTo = std::min(cacheEnd_, cache_.cachedEnd());
        for (uint32_t p = kFirstCachedPage; p < cachedTo; ++p) {
            if (!candidate(p)) continue;
            f(p, own && own[p >> HeaderCache::kOwnChunkShift] ? cache_.pageId(p)
                                                               : wordPageId(words[p]));
        }
        for (uint32_t p = cacheEnd_; p < end_; ++p) {
            if (candidate(p) && !isUnreadable(p)) f(p, wordPageId(tail_.word(p - cacheEnd_)));
        }
    };
    forEachReadable([&](uint32_t p, uint32_t id) {
        if (id < bound_) {
            ++bucketEnd_[id];
            ++counted;
        } else {
            others_.emplace_back(id, p);
        }
    });
    uint32_t sum = 0;
    for (uint32_t& b : bucketEnd_) {
        uint32_t c = b;
        b = sum;
        sum += c;
    }
    try {
        pages_.resize(size_t(counted));
    } catch (const std::exception&) {
        direct_ = true;
        return;
    }
    forEachReadable([&](uint32_t p, uint32_t id) {
        if (id < bound_) pages_[bucketEnd_[id]++] = p;
    });
    // Collected in ascending page order: a stable sort by id keeps that order
    // within each id.
    std::stable_sort(others_.begin(), others_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

}  // namespace tabulon
