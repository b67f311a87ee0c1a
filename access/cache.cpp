#include "access/cache.h"

#include <algorithm>
#include <cstdint>

namespace tabulon {

namespace {

// Number of pages from p on whose header and usage count lie unit bytes
// apart after pageOffset(p), for up to `most` pages. Only the 6.x shift from
// largeOffsetThreshold breaks the spacing.
uint32_t evenlySpaced(const FileGeometry& g, uint32_t p, uint64_t first, uint64_t unit,
                      uint32_t most) {
    auto even = [&](uint32_t i) { return pageOffset(g, p + i) == first + uint64_t(i) * unit; };
    if (most <= 1 || even(most - 1)) return most;
    uint32_t good = 0, bad = most - 1;  // even(good) holds, even(bad) does not
    while (bad - good > 1) {
        uint32_t mid = good + (bad - good) / 2;
        if (even(mid)) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    return good + 1;
}

}  // namespace

void HeaderReader::releaseView() {
    if (view.bytes) file.fileSet().unmapView(&view);
}

// Decodes the fields of pages p to p + count - 1, the first `rest` bytes
// into the current member, from a view of [viewStart, viewEnd) of the
// member, or from the view held already when it covers them. False when the
// member cannot be mapped or its view could not be read.
bool HeaderReader::decodeMapped(uint32_t p, uint64_t rest, uint32_t count, uint64_t viewStart,
                                uint64_t viewEnd) {
    FileSet& set = file.fileSet();
    const uint64_t unit = pageUnit(file.geometry());
    const uint64_t last =
        rest + uint64_t(count - 1) * unit + uint64_t(file.geometry().headerSize) + 2;
    const bool held = view.bytes && viewMember == member && view.offset <= rest &&
                      last <= view.offset + view.length;
    if (!held) {
        releaseView();
        if (viewEnd - viewStart > SIZE_MAX ||
            !set.mapView(member, viewStart, size_t(viewEnd - viewStart), &view)) {
            return false;
        }
        viewMember = member;
    }
    auto decode = [&] { table.decode(p - base, view.bytes + (rest - view.offset), unit, count); };
    if (set.readViews(decode)) return true;
    // The member was cut short since it was opened: its pages are read.
    releaseView();
    return false;
}

// Fills the table from page p on with the pages of p's window; returns the
// number of pages filled, 0 when page p must be read on its own. A window
// holds only pages whose header and usage count lie wholly inside the member
// that holds the header's first byte: exactly the pages for which the two
// reads of readPageHeader both go to that member and both succeed.
uint32_t HeaderReader::readWindow(uint32_t p) {
    const FileGeometry& g = file.geometry();
    FileSet& set = file.fileSet();
    const uint64_t unit = pageUnit(g);
    if (unit == 0) return 0;
    const uint64_t at = pageOffset(g, p);
    while (member < set.memberCount() && at - memberStart >= set.memberSize(member)) {
        memberStart += set.memberSize(member);
        ++member;
    }
    if (member >= set.memberCount()) return 0;
    const uint64_t rest = at - memberStart;
    const uint64_t size = set.memberSize(member);
    const size_t width = size_t(g.headerSize) + 2;
    if (rest + width > size) return 0;

    const uint64_t windowStart = rest - rest % window;
    const uint64_t windowEnd = windowStart + std::min(window, size - windowStart);
    uint64_t most = (size - rest - width) / unit + 1;  // pages that fit the member
    most = std::min<uint64_t>(most, end - p);
    most = std::min<uint64_t>(most, (windowEnd - rest - 1) / unit + 1);  // that start in the window
    const uint32_t count = evenlySpaced(g, p, at, unit, uint32_t(most));
    const uint64_t fieldsEnd = rest + uint64_t(count - 1) * unit + width;
    if (decodeMapped(p, rest, count, windowStart, std::max(windowEnd, fieldsEnd))) return count;

    fields.resize(size_t(count) * width);
    if (!set.gatherAt(member, rest, unit, count, width, fields.data())) {
        plainUntil = p + count;
        return 0;
    }
    table.decode(p - base, fields.data(), width, count);
    return count;
}

uint32_t HeaderReader::read(uint32_t p) {
    if (p >= plainUntil) {
        const uint32_t n = readWindow(p);
        if (n > 0) return n;
    }
    PageHeader header{};
    if (file.readPageHeader(p, header) == 0) return 0;
    table.put(p - base, header);
    return 1;
}

namespace {

void showFigure(NoticeSink& out, uint32_t p, uint32_t entryCount) {
    out.emitf(NoticeKind::PreloadProgress, Stream::Err, uint64_t(p), "%.3d%%%c%c%c%c",
              int(uint64_t(p) * 100 / entryCount), 8, 8, 8, 8);
}

}  // namespace

bool HeaderCache::preload(bool showProgress) {
    return preload(showProgress, file_.verbose() ? PreloadReads::PerPage : PreloadReads::Gathered);
}

uint32_t HeaderCache::firstOutsideMembers(uint32_t from, uint32_t end) const {
    const FileGeometry& g = file_.geometry();
    const FileSet& set = file_.fileSet();
    const uint64_t width = uint64_t(g.headerSize);
    auto inside = [&](uint64_t at, uint64_t n) {
        uint16_t member;
        uint64_t rest;
        set.mapOffset(at, &member, &rest);
        return member < set.memberCount() && rest + n <= set.memberSize(member);
    };
    uint32_t p = from;
    while (p < end) {
        const uint64_t at = pageOffset(g, p);
        if (!inside(at, width) || !inside(at + width, 2)) return p;
        // Every later page whose whole field lies in the member that holds
        // page p's is readable too: skip to the first that does not.
        uint16_t member;
        uint64_t rest;
        set.mapOffset(at, &member, &rest);
        const uint64_t memberEnd = at - rest + set.memberSize(member);
        uint32_t lo = p, hi = end;  // pageOffset(lo) + field lies inside; find the first that does not
        while (hi - lo > 1) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (pageOffset(g, mid) + width + 2 <= memberEnd) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        p = hi;
    }
    return end;
}

// The figures of pages from..to-1 that the per-page loop would have shown.
void HeaderCache::showFigures(uint32_t from, uint32_t to) const {
    const uint32_t step = entryCount_ / 100;
    for (uint64_t p = (uint64_t(from) + step - 1) / step * step; p < to; p += step) {
        showFigure(file_.notices(), uint32_t(p), entryCount_);
    }
}

bool HeaderCache::preload(bool showProgress, PreloadReads reads, size_t gatherBytes) {
    const FileGeometry& g = file_.geometry();
    NoticeSink& out = file_.notices();
    if (g.versionCode < version::v600) return false;
    if (built_) return true;

    uint32_t sectorsPerPage = g.pageSize / 512;
    const uint32_t sectors = uint32_t(file_.fileSet().totalSectors() & 0xFFFFFFFFu);
    entryCount_ = sectorsPerPage ? sectors / sectorsPerPage : 0;
    // The table holds the pages below the limit; the count goes on past it.
    // Under /D every page is read with its trace line, and a page the table
    // holds is read without one later: the table keeps them all.
    const uint32_t limit = reads == PreloadReads::PerPage ? UINT32_MAX : limit_;
    const uint32_t kept = std::min(entryCount_, std::max(limit, kFirstCachedPage + 1));
    if (!table_.assign(g, kept == 0 ? 1 : kept)) {
        out.emitf(NoticeKind::PreloadNoMemory, Stream::Out, uint64_t(entryCount_),
                  "Unable to allocate sufficient memory for %lu page headers.\n",
                  (unsigned long)entryCount_);
        clear();
        return false;
    }
    built_ = true;

    HeaderReader gatherer(file_, table_, 0, kept, gatherBytes);
    // The pages read from p on: a window of them, or one.
    auto readFrom = [&](uint32_t p) -> uint32_t {
        PageHeader header{};
        // Per page, past the table.
        if (p >= kept) return file_.readPageHeader(p, header) != 0 ? 1 : 0;
        if (reads == PreloadReads::Gathered) return gatherer.read(p);
        if (file_.readPageHeader(p, header) == 0) return 0;
        table_.put(p, header);
        return 1;
    };

    // A set of four pages or fewer has no entry for page 4.
    uint32_t n = entryCount_ <= kFirstCachedPage ? 0 : readFrom(kFirstCachedPage);
    if (n == 0) {
        clear();
        return false;
    }
    uint32_t p = kFirstCachedPage;
    const uint32_t step = entryCount_ / 100;
    const bool figures = showProgress && entryCount_ > 500;
    const uint32_t readUpTo = reads == PreloadReads::Gathered ? kept : entryCount_;
    for (;;) {
        // Pages p to p + n - 1 are loaded: the figure of each hundredth of them.
        const uint64_t loaded = uint64_t(p) + n;
        for (uint64_t q = figures ? (uint64_t(p) + step - 1) / step * step : loaded; q < loaded;
             q += step) {
            showFigure(out, uint32_t(q), entryCount_);
        }
        p += n;
        if (p >= readUpTo) break;
        n = readFrom(p);
        if (n == 0) break;
    }
    loadedEnd_ = std::min(p, kept);
    if (p == readUpTo && p < entryCount_) {
        // Past the table the gathered preload reads nothing: where it would
        // have stopped is where a header first leaves the members.
        const uint32_t stop = firstOutsideMembers(p, entryCount_);
        if (figures) showFigures(p, stop);
        p = stop;
    }
    out.emitf(NoticeKind::PreloadDone, Stream::Out, uint64_t(p),
              "Pre-loaded %d physical page headers into memory.\n", int(p));
    return true;
}

bool HeaderCache::lookup(uint32_t p, PageHeader& header) const {
    if (!find(p)) return false;
    if (!shared_) {
        table_.get(p, header);
        return true;
    }
    const auto own = own_.empty() ? own_.end() : own_.find(p);
    if (own == own_.end()) {
        shared_->table_.get(p, header);
    } else {
        headerFromWord(file_.geometry(), own->second.word, own->second.extra.data(), &header);
    }
    return true;
}

HeaderWord HeaderCache::wordOf(uint32_t p) const {
    if (!own_.empty() && ownChunks_[p >> kOwnChunkShift]) {
        const auto own = own_.find(p);
        if (own != own_.end()) return own->second.word;
    }
    return words()[p];
}

void HeaderCache::setOwn(uint32_t p, const PageHeader& header) {
    Own& own = own_[p];
    own.word = headerWordOf(file_.geometry(), header, own.extra.data());
    ownChunks_[p >> kOwnChunkShift] = 1;
}

void HeaderCache::update(uint32_t p, const PageHeader& header) {
    if (!find(p)) return;
    PageHeader kept = header;
    kept.usageCount = wordUsage(wordOf(p));
    replace(p, kept);
}

void HeaderCache::replace(uint32_t p, const PageHeader& header) {
    if (!find(p)) return;
    if (shared_) {
        setOwn(p, header);
    } else {
        table_.put(p, header);
    }
}

void HeaderCache::shareTable(const HeaderCache& from) {
    if (!from.built_) return;
    clear();
    shared_ = from.shared_ ? from.shared_ : &from;
    built_ = true;
    entryCount_ = from.entryCount_;
    loadedEnd_ = from.loadedEnd_;
    ownChunks_.assign((size_t(loadedEnd_) >> kOwnChunkShift) + 1, 0);
    for (const auto& [p, own] : from.own_) {
        own_.emplace(p, own);
        ownChunks_[p >> kOwnChunkShift] = 1;
    }
}

void HeaderCache::clear() {
    table_.clear();
    shared_ = nullptr;
    own_.clear();
    ownChunks_.clear();
    built_ = false;
    entryCount_ = 0;
    loadedEnd_ = 0;
}

}  // namespace tabulon
