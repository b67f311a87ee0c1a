#include "check/scan.h"

#include <cinttypes>
#include <cstdio>

#include "cli/options.h"
#include "fileio/cache.h"
#include "format/geometry.h"
#include "format/pat.h"

void scanPatPairs(const char* /*path*/, int32_t fixMask, uint32_t& totalFixed) {
    const FileGeometry& g = fileGeometry;
    const ScanOptions& o = scanOptions;
    const uint32_t last = lastPatPair();
    // Pair 0 is where the FCR lies: the scan starts at pair 1 at the earliest.
    const uint32_t start = o.startPair == 0 ? 1 : o.startPair;

    if (g.compressed) {
        std::fprintf(stderr,
                     "Scanning PAT Pairs from %lu through %lu using Page Compression Handler...\n",
                     (unsigned long)start, (unsigned long)last);
    } else {
        std::fprintf(stderr, "Scanning PAT Pairs from %lu through %lu...\n", (unsigned long)start,
                     (unsigned long)last);
        std::fprintf(stderr, "Pre-loading page headers into memory for optimal performance...\n");
        preloadHeaders(o.progress != 0);
    }

    totalFixed = 0;
    // Without a stride only pair 1 can be located.
    const bool onlyFirst = patPairStrideQuiet() == 0;
    for (uint64_t n = start; n <= last; ++n) {
        if (onlyFirst && n > 1) break;
        ++scanCounters.patPagesExamined;
        if (o.progress) std::fprintf(stderr, "Checking PAT Pair 0x%.6lx", (unsigned long)n);
        if (o.showOffsets) {
            std::fprintf(stderr, " at Offset 0x%.10" PRIx64, patPairOffset(uint32_t(n)));
        }
        std::fputs("...\n", stderr);
        if (!loadPatPair(uint32_t(n))) break;
        checkPatPair(uint32_t(n), fixMask, totalFixed);
    }
}
