// The check and repair engine: the walk over the PAT pairs, which classifies
// each pair's headers and entries into findings, reports them, makes the
// repairs the fix mask selects and counts both. One Scanner holds the state
// of one run over one open file: the loaded PAT pair, the header cache, the
// best-page index, the counters and the repair writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access/btrfile.h"
#include "access/cache.h"
#include "access/pageindex.h"
#include "access/patpair.h"
#include "check/bestpage.h"
#include "check/classify.h"
#include "check/options.h"
#include "check/repairwriter.h"

namespace tabulon {

// One PAT pair as the walk loaded it.
struct PairReport {
    uint32_t n = 0;
    uint64_t offset = 0;
    uint32_t usage[2] = {0, 0};
    uint32_t current = 0;
    bool idsMatch = true;
    uint32_t used = 0, free = 0;  // entries of the current copy
    PatHeaderCheck header;
};

// Sees what the walk finds, as it finds it.
class ScanObserver {
  public:
    virtual ~ScanObserver() = default;
    virtual void pair(const PairReport&) {}
    virtual void entry(const EntryCheck&) {}
    // Pair n could not be loaded (it lies past the end of the set): the walk
    // ends there.
    virtual void pastEnd(uint32_t) {}
};

class Scanner {
  public:
    Scanner(BtrieveFile& file, const ScanOptions& options);

    // The check of the tabulon program: announces the scan, preloads the
    // page headers and walks the pairs from startPair through the last pair
    // of the FCR.
    void scanPatPairs();

    // Walks pairs first through last as the check does, with the fix mask
    // of the options; the observer, when given, sees every pair and entry.
    // Without `entries` only the pairs' headers are checked.
    void walk(uint32_t first, uint32_t last, tabulon::ScanObserver* observer = nullptr,
              bool entries = true);

    // Builds the header cache as the check does (not for page-compressed
    // files), without progress lines.
    void preload();

    // Header of physical page p for the check: from the cache, or from the
    // file set when the cache holds none. False when it cannot be read.
    bool fetchPageHeader(uint32_t p, PageHeader& header);

    const ScanCounters& counters() const { return counters_; }
    // Every finding reported so far, by severity.
    const tabulon::SeverityCounts& severities() const { return severities_; }
    // The repair writes that failed, in order.
    const std::vector<tabulon::Status>& writeFailures() const { return writeFailures_; }
    HeaderCache& cache() { return cache_; }
    tabulon::BestPageSearch& search() { return search_; }
    PageIndex& index() { return search_.index(); }
    PatPair& pair() { return pair_; }
    BtrieveFile& file() { return file_; }

  private:
    void checkPair(uint32_t n, tabulon::ScanObserver* observer, bool entries);
    void checkHeaders(uint32_t n, const tabulon::PatHeaderCheck& h);
    void checkEntry(tabulon::EntryCheck& e);
    uint16_t repairEntry(const tabulon::EntryCheck& e, const tabulon::Finding& f);
    void repairPageId(const tabulon::EntryCheck& e);
    tabulon::PairReport pairReport(uint32_t n, const tabulon::PatHeaderCheck& h);
    void report(tabulon::Finding& f);
    void count(const tabulon::Finding& f, uint16_t classType);
    void settled(const tabulon::Action& a);
    void printFound(uint32_t p, const tabulon::BestPage& best);

    BtrieveFile& file_;
    const FileGeometry& g_;
    Output& out_;
    ScanOptions options_;
    ScanCounters counters_;
    tabulon::SeverityCounts severities_;
    std::vector<tabulon::Status> writeFailures_;
    PatPair pair_;
    HeaderCache cache_;
    tabulon::BestPageSearch search_;
    tabulon::RepairWriter writer_;
};

}  // namespace tabulon
