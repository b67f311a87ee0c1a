// The check and repair engine: the scan over the PAT pairs, the pair check,
// the entry repair and the best-page search. One Scanner holds the state of
// one run over one open file: the loaded PAT pair, the header cache, the
// best-page index and the counters.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "access/btrfile.h"
#include "access/cache.h"
#include "access/patpair.h"
#include "check/options.h"

class Scanner {
public:
    Scanner(BtrieveFile& file, const ScanOptions& options);

    // Visits the PAT pairs from startPair through the last pair of the FCR.
    void scanPatPairs(int32_t fixMask, uint32_t& totalFixed);

    // Verifies the PAT headers of the loaded pair n and checks every entry.
    int checkPatPair(uint32_t n, int32_t fixMask, uint32_t& totalFixed);

    // Reports, repairs and counts one entry whose page does not match it.
    void handleEntryMismatch(uint32_t L, uint32_t p, uint16_t t, PageHeader& header,
                             const PageIdentity& found, int32_t fixMask, uint32_t& totalFixed);

    // Finds the page whose header names logical page p with the highest usage
    // value (lowest physical page on ties). *examined tells whether any page
    // header could be looked at.
    bool findBestPage(uint32_t p, uint32_t& physical, uint16_t& type, bool* examined = nullptr);

    // The same choice by a plain walk over the cached headers, without the
    // index.
    bool findBestPageLinear(uint32_t p, uint32_t& physical, uint16_t& type);

    // Tells the search that page p's header now holds these bytes.
    void noteRewrittenHeader(uint32_t p, const PageHeader& header);

    // Drops the search index (after the cache changes as a whole).
    void resetBestPageIndex() { index_ = BestPageIndex{}; }

    // Header of physical page p for the check: from the cache, or from the
    // file set when the cache holds none. False when it cannot be read.
    bool fetchPageHeader(uint32_t p, PageHeader& header);

    ScanCounters& counters() { return counters_; }
    const ScanCounters& counters() const { return counters_; }
    HeaderCache& cache() { return cache_; }
    PatPair& pair() { return pair_; }
    BtrieveFile& file() { return file_; }

private:
    // Index over the cached headers, built once when the first search needs
    // it. Page ids below `bound` (every id of a sound file, whose logical
    // pages are fewer than its physical pages) are counted into buckets: the
    // physical pages naming id k are pages[bucketEnd[k - 1] .. bucketEnd[k]),
    // in ascending order. Other ids are kept as sorted (id, physical page)
    // pairs. Pages whose header was rewritten since are kept aside in `moved`
    // and looked at directly.
    struct BestPageIndex {
        bool built = false;
        uint32_t bound = 0;
        std::vector<uint32_t> bucketEnd;
        std::vector<uint32_t> pages;
        std::vector<std::pair<uint32_t, uint32_t>> others;
        std::vector<uint32_t> moved;  // sorted physical page numbers
    };
    struct Choice;
    struct HeaderCheck;

    bool verifyPatHeaders(uint32_t n, HeaderCheck& check);
    void countExamined(uint16_t t);
    void countProblem(uint16_t classification);
    bool overlapsFcrOrPat(uint64_t offset, uint64_t size) const;
    void buildIndex();
    Choice searchIndex(uint32_t p);
    Choice walkCache(uint32_t p);
    Choice walkFileSet(uint32_t p, bool* examined);
    void printFound(uint32_t p, uint32_t physical, uint16_t type);

    BtrieveFile& file_;
    const FileGeometry& g_;
    Output& out_;
    ScanOptions options_;
    ScanCounters counters_;
    PatPair pair_;
    HeaderCache cache_;
    BestPageIndex index_;
};
