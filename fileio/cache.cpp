#include "fileio/cache.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "cli/options.h"
#include "fileio/fileset.h"
#include "format/geometry.h"

uint32_t entryCount = 0;

namespace {

constexpr uint32_t kFirstCachedPage = 4;  // pages 0 to 3 hold the FCR copies

PageHeader* table = nullptr;
uint32_t loadedEnd = 0;  // pages kFirstCachedPage to loadedEnd - 1 are loaded

void showFigure(uint32_t p) {
    std::fprintf(stderr, "%.3d%%%c%c%c%c", int(uint64_t(p) * 100 / entryCount), 8, 8, 8, 8);
}

}  // namespace

bool preloadHeaders(bool showProgress) {
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

    // A set of four pages or fewer has no entry for page 4.
    if (entryCount <= kFirstCachedPage || !readPageHeader(kFirstCachedPage, table[kFirstCachedPage])) {
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
        if (!readPageHeader(p, table[p])) break;
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

uint32_t loadedHeaderEnd() { return table ? loadedEnd : 0; }

void freeHeaderCache() {
    delete[] table;
    table = nullptr;
    entryCount = 0;
    loadedEnd = 0;
}
