#include "access/cache.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "format/le.h"

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

// Fills the table from page p on with one gathered read; returns the number
// of pages filled, 0 when page p must be read on its own. A run holds only
// pages whose header and usage count lie wholly inside the member that holds
// the header's first byte: exactly the pages for which the two reads of
// readPageHeader both go to that member and both succeed.
}  // namespace

uint32_t HeaderReader::gatherRun(uint32_t p) {
    HeaderReader& gt = *this;
    const FileGeometry& g = gt.file.geometry();
    FileSet& set = gt.file.fileSet();
    const uint64_t unit = pageUnit(g);
    if (unit == 0) return 0;
    const uint64_t at = pageOffset(g, p);
    while (gt.member < set.memberCount() && at - gt.memberStart >= set.memberSize(gt.member)) {
        gt.memberStart += set.memberSize(gt.member);
        ++gt.member;
    }
    if (gt.member >= set.memberCount()) return 0;
    const uint64_t rest = at - gt.memberStart;
    const uint64_t size = set.memberSize(gt.member);
    const size_t width = size_t(g.headerSize) + 2;
    if (rest + width > size) return 0;

    uint64_t most = (size - rest - width) / unit + 1;  // pages that fit the member
    most = std::min<uint64_t>(most, gt.end - p);
    most = std::min<uint64_t>(most, std::max<uint64_t>(gt.spanBytes / unit, 1));
    const uint32_t count = evenlySpaced(g, p, at, unit, uint32_t(most));

    gt.fields.resize(size_t(count) * width);
    if (!set.gatherAt(gt.member, rest, unit, count, width, gt.fields.data())) {
        gt.plainUntil = p + count;
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        decodeHeaderField(g, gt.fields.data() + size_t(i) * width, &gt.table[p + i - gt.base]);
    }
    return count;
}

bool HeaderReader::read(uint32_t p) {
    if (p < readyEnd) return true;
    if (p >= plainUntil) {
        uint32_t n = gatherRun(p);
        if (n > 0) {
            readyEnd = p + n;
            return true;
        }
    }
    return file.readPageHeader(p, table[p - base]) != 0;
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
    bool allocated = true;
    try {
        table_.assign(kept == 0 ? 1 : kept, PageHeader{});
    } catch (const std::exception&) {
        allocated = false;
    }
    if (!allocated) {
        out.emitf(NoticeKind::PreloadNoMemory, Stream::Out, uint64_t(entryCount_),
                  "Unable to allocate sufficient memory for %lu page headers.\n",
                  (unsigned long)entryCount_);
        clear();
        return false;
    }
    built_ = true;

    HeaderReader gatherer(file_, table_.data(), 0, kept, gatherBytes);
    PageHeader scratch;
    auto readHeader = [&](uint32_t p) {
        if (p >= kept) return file_.readPageHeader(p, scratch) != 0;  // per page, past the table
        if (reads == PreloadReads::Gathered) return gatherer.read(p);
        return file_.readPageHeader(p, table_[p]) != 0;
    };

    // A set of four pages or fewer has no entry for page 4.
    if (entryCount_ <= kFirstCachedPage || !readHeader(kFirstCachedPage)) {
        clear();
        return false;
    }
    uint32_t p = kFirstCachedPage;
    const uint32_t step = entryCount_ / 100;
    const bool figures = showProgress && entryCount_ > 500;
    const uint32_t readUpTo = reads == PreloadReads::Gathered ? kept : entryCount_;
    for (;;) {
        if (figures && p % step == 0) showFigure(out, p, entryCount_);
        ++p;
        if (p >= readUpTo) break;
        if (!readHeader(p)) break;
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
    if (!built_ || p < kFirstCachedPage || p >= loadedEnd_) return false;
    header = table_[p];
    return true;
}

void HeaderCache::update(uint32_t p, const PageHeader& header) {
    if (!built_ || p < kFirstCachedPage || p >= loadedEnd_) return;
    std::memcpy(table_[p].headerBytes, header.headerBytes, sizeof header.headerBytes);
}

void HeaderCache::clear() {
    table_.clear();
    table_.shrink_to_fit();
    built_ = false;
    entryCount_ = 0;
    loadedEnd_ = 0;
}

}  // namespace tabulon
