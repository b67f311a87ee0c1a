#include "check/scan.h"

#include <cinttypes>

int openModeFor(const ScanOptions& o) {
    if (o.fixMask != 0) return Repair;
    if (o.unprotected) return Unprotected;
    return ExclusiveRead;
}

void countByClass(uint16_t t, uint32_t& data, uint32_t& index, uint32_t& other) {
    switch (pageClassOf(t)) {
        case PageClass::Data: ++data; break;
        case PageClass::Index: ++index; break;
        case PageClass::Other: ++other; break;
    }
}

Scanner::Scanner(BtrieveFile& file, const ScanOptions& options)
    : file_(file),
      g_(file.geometry()),
      out_(file.out()),
      options_(options),
      pair_(file),
      cache_(file),
      index_(file, cache_) {}

void Scanner::scanPatPairs(int32_t fixMask, uint32_t& totalFixed) {
    const ScanOptions& o = options_;
    const uint32_t last = file_.lastPatPair();
    // Pair 0 is where the FCR lies: the scan starts at pair 1 at the earliest.
    const uint32_t start = o.startPair == 0 ? 1 : o.startPair;

    if (g_.compressed) {
        out_.err("Scanning PAT Pairs from %lu through %lu using Page Compression Handler...\n",
                 (unsigned long)start, (unsigned long)last);
    } else {
        out_.err("Scanning PAT Pairs from %lu through %lu...\n", (unsigned long)start,
                 (unsigned long)last);
        out_.write(Stream::Err,
                   "Pre-loading page headers into memory for optimal performance...\n");
        cache_.preload(o.progress != 0);
    }

    totalFixed = 0;
    // Without a stride only pair 1 can be located.
    const bool onlyFirst = patPairStride(g_) == 0;
    for (uint64_t n = start; n <= last; ++n) {
        if (onlyFirst && n > 1) break;
        ++counters_.patPagesExamined;
        if (o.progress) out_.err("Checking PAT Pair 0x%.6lx", (unsigned long)n);
        if (o.showOffsets) {
            out_.err(" at Offset 0x%.10" PRIx64, file_.patPairOffset(uint32_t(n)));
        }
        out_.write(Stream::Err, "...\n");
        if (!pair_.load(uint32_t(n))) break;
        checkPatPair(uint32_t(n), fixMask, totalFixed);
    }
}
