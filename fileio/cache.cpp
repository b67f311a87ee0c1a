#include "fileio/cache.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "cli/options.h"
#include "fileio/fileset.h"
#include "fileio/platform.h"
#include "format/geometry.h"
#include "format/le.h"

uint32_t entryCount = 0;

namespace {

constexpr uint32_t kFirstCachedPage = 4;  // pages 0 to 3 hold the FCR copies

PageHeader* table = nullptr;
uint32_t loadedEnd = 0;  // pages kFirstCachedPage to loadedEnd - 1 are loaded

// Gathered reads: the headers of a run of pages that lie unit bytes apart in
// one member come out of one platformGatherAt call.
struct Gatherer {
    size_t spanBytes = kPreloadGatherBytes;
    uint16_t member = 0;       // member that holds the current page
    uint64_t memberStart = 0;  // its first file-set offset
    uint32_t readyEnd = 0;     // table entries below this were gathered ahead
    uint32_t plainUntil = 0;   // a gather failed: read these pages one by one
    std::vector<uint8_t> fields;
};

// Number of pages from p on whose header and usage count lie unit bytes
// apart after pageOffset(p), for up to `most` pages. Only the 6.x shift from
// largeOffsetThreshold breaks the spacing.
uint32_t evenlySpaced(uint32_t p, uint64_t first, uint64_t unit, uint32_t most) {
    auto even = [&](uint32_t i) { return pageOffset(p + i) == first + uint64_t(i) * unit; };
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
uint32_t gatherRun(Gatherer& gt, uint32_t p) {
    const FileGeometry& g = fileGeometry;
    const uint64_t unit = g.compressed ? g.compressedPageSize : g.pageSize;
    if (unit == 0) return 0;
    const uint64_t at = pageOffset(p);
    while (gt.member < fileSet.memberCount &&
           at - gt.memberStart >= fileSet.memberSizes[gt.member]) {
        gt.memberStart += fileSet.memberSizes[gt.member];
        ++gt.member;
    }
    if (gt.member >= fileSet.memberCount) return 0;
    const uint64_t rest = at - gt.memberStart;
    const uint64_t size = fileSet.memberSizes[gt.member];
    const size_t width = size_t(g.headerSize) + 2;
    if (rest + width > size) return 0;

    uint64_t most = (size - rest - width) / unit + 1;  // pages that fit the member
    most = std::min<uint64_t>(most, entryCount - p);
    most = std::min<uint64_t>(most, std::max<uint64_t>(gt.spanBytes / unit, 1));
    const uint32_t count = evenlySpaced(p, at, unit, uint32_t(most));

    gt.fields.resize(size_t(count) * width);
    if (!platformGatherAt(fileSet.memberHandles[gt.member], rest, unit, count, width,
                          gt.fields.data())) {
        gt.plainUntil = p + count;
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* field = gt.fields.data() + size_t(i) * width;
        PageHeader& h = table[p + i];
        std::memcpy(h.headerBytes, field, size_t(g.headerSize));
        h.usageCount = unmaskUsage(le16(field + g.headerSize));
    }
    return count;
}

bool readHeaderGathered(Gatherer& gt, uint32_t p) {
    if (p < gt.readyEnd) return true;
    if (p >= gt.plainUntil) {
        uint32_t n = gatherRun(gt, p);
        if (n > 0) {
            gt.readyEnd = p + n;
            return true;
        }
    }
    return readPageHeader(p, table[p]) != 0;
}

void showFigure(uint32_t p) {
    std::fprintf(stderr, "%.3d%%%c%c%c%c", int(uint64_t(p) * 100 / entryCount), 8, 8, 8, 8);
}

}  // namespace

bool preloadHeaders(bool showProgress) {
    return preloadHeaders(showProgress,
                          scanOptions.verbose ? PreloadReads::PerPage : PreloadReads::Gathered);
}

bool preloadHeaders(bool showProgress, PreloadReads reads, size_t gatherBytes) {
    const FileGeometry& g = fileGeometry;
    if (g.versionCode < version::v600) return false;
    if (table) return true;

    uint32_t sectorsPerPage = g.pageSize / 512;
    entryCount = sectorsPerPage ? fileSet.totalSectors / sectorsPerPage : 0;
    if (uint64_t(entryCount) > std::numeric_limits<size_t>::max() / sizeof(PageHeader)) {
        table = nullptr;
    } else {
        table = new (std::nothrow) PageHeader[entryCount == 0 ? 1 : entryCount];
    }
    if (!table) {
        std::printf("Unable to allocate sufficient memory for %lu page headers.\n",
                    (unsigned long)entryCount);
        entryCount = 0;
        return false;
    }
    std::memset(table, 0, sizeof(PageHeader) * (entryCount == 0 ? 1 : entryCount));

    Gatherer gatherer;
    gatherer.spanBytes = gatherBytes;
    auto readHeader = [&](uint32_t p) {
        if (reads == PreloadReads::Gathered) return readHeaderGathered(gatherer, p);
        return readPageHeader(p, table[p]) != 0;
    };

    // A set of four pages or fewer has no entry for page 4.
    if (entryCount <= kFirstCachedPage || !readHeader(kFirstCachedPage)) {
        freeHeaderCache();
        return false;
    }
    uint32_t p = kFirstCachedPage;
    const uint32_t step = entryCount / 100;
    const bool figures = showProgress && entryCount > 500;
    for (;;) {
        if (figures && p % step == 0) showFigure(p);
        ++p;
        if (p >= entryCount) break;
        if (!readHeader(p)) break;
    }
    loadedEnd = p;
    std::printf("Pre-loaded %d physical page headers into memory.\n", int(p));
    return true;
}

bool lookupHeader(uint32_t p, PageHeader& header) {
    if (!table || p < kFirstCachedPage || p >= loadedEnd) return false;
    header = table[p];
    return true;
}

void updateCachedHeader(uint32_t p, const PageHeader& header) {
    if (!table || p < kFirstCachedPage || p >= loadedEnd) return;
    std::memcpy(table[p].headerBytes, header.headerBytes, sizeof header.headerBytes);
}

uint32_t loadedHeaderEnd() {
    return table ? loadedEnd : 0;
}

void freeHeaderCache() {
    delete[] table;
    table = nullptr;
    entryCount = 0;
    loadedEnd = 0;
}
