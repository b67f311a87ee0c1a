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

bool HeaderCache::preload(bool showProgress, PreloadReads reads, size_t gatherBytes) {
    const FileGeometry& g = file_.geometry();
    NoticeSink& out = file_.notices();
    if (g.versionCode < version::v600) return false;
    if (built_) return true;

    uint32_t sectorsPerPage = g.pageSize / 512;
    entryCount_ = sectorsPerPage ? file_.fileSet().totalSectors() / sectorsPerPage : 0;
    bool allocated = true;
    try {
        table_.assign(entryCount_ == 0 ? 1 : entryCount_, PageHeader{});
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

    HeaderReader gatherer(file_, table_.data(), 0, entryCount_, gatherBytes);
    auto readHeader = [&](uint32_t p) {
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
    for (;;) {
        if (figures && p % step == 0) showFigure(out, p, entryCount_);
        ++p;
        if (p >= entryCount_) break;
        if (!readHeader(p)) break;
    }
    loadedEnd_ = p;
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
