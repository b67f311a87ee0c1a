// The check and repair engine: the walk over the PAT pairs, which classifies
// each pair's headers and entries into findings, hands them to an event sink,
// makes the repairs the fix mask selects and counts both. One Scanner holds
// the state of one run over one open file: the loaded PAT pair, the header
// cache, the best-page index, the counters and the repair writer.
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
#include "check/event.h"
#include "check/ledger.h"
#include "check/options.h"
#include "check/repairwriter.h"

namespace tabulon {

class Scanner {
  public:
    // The engine's values go to `sink` (none: they are dropped); the file's
    // own notices go where the file sends them.
    Scanner(BtrieveFile& file, const ScanOptions& options, EventSink* sink = nullptr);

    // The check of the tabulon program: announces the scan, preloads the
    // page headers and walks the pairs from startPair through the last pair
    // of the FCR; the stream goes to `sink`.
    void scanPatPairs(tabulon::EventSink& sink);

    // Walks pairs first through last as the check does, with the fix mask
    // of the options; the observer, when given, takes the stream of the
    // walk instead of the scanner's sink. Without `entries` only the pairs'
    // headers are checked.
    void walk(uint32_t first, uint32_t last, tabulon::EventSink* observer = nullptr,
              bool entries = true);

    // Builds the header cache as the check does (not for page-compressed
    // files), without progress lines.
    void preload();

    // Header of physical page p for the check: from the cache, or from the
    // file set when the cache holds none. False when it cannot be read.
    bool fetchPageHeader(uint32_t p, PageHeader& header);

    // Keeps what the version ledger needs while the walk goes.
    void keepLedger(tabulon::LedgerBuilder* ledger) {
        ledger_ = ledger;
        writer_.setLedger(ledger);
    }

    const ScanCounters& counters() const { return counters_; }
    // Every finding reported so far, by severity.
    const tabulon::SeverityCounts& severities() const { return severities_; }
    // The repair writes that failed, in order.
    const std::vector<tabulon::Status>& writeFailures() const { return writeFailures_; }
    HeaderCache& cache() { return cache_; }
    const HeaderCache& cache() const { return cache_; }
    tabulon::BestPageSearch& search() { return search_; }
    PageIndex& index() { return search_.index(); }
    PatPair& pair() { return pair_; }
    BtrieveFile& file() { return file_; }

  private:
    void preloadUpToPages(bool showProgress);
    void checkPair(uint32_t n, bool entries);
    void checkEntries(uint32_t n, uint32_t e);
    uint32_t quickEntries(const uint8_t* page, uint32_t k, uint32_t count, uint32_t firstLogical);
    template <bool Own>
    uint32_t quickEntriesOf(const uint8_t* page, uint32_t k, uint32_t count, uint32_t firstLogical);
    template <SlotLayout L, bool Fold, bool Own>
    uint32_t settleEntries(const uint8_t* page, uint32_t k, uint32_t count, uint32_t firstLogical);
    void progress(uint32_t n);
    void pastEnd(uint32_t pair, uint32_t last);
    void checkHeaders(uint32_t n, const tabulon::PatHeaderCheck& h);
    void checkEntry(tabulon::EntryCheck& e);
    void noteInLedger(const tabulon::EntryCheck& e);
    uint16_t repairEntry(const tabulon::EntryCheck& e, const tabulon::Finding& f);
    bool repairPageId(const tabulon::EntryCheck& e);
    tabulon::PairEvent pairEvent(uint32_t n, const tabulon::PatHeaderCheck& h);
    void report(tabulon::Finding& f, uint16_t classType);
    void count(const tabulon::Finding& f, uint16_t classType);
    void traceEntry(const tabulon::EntryCheck& e);
    void printFound(uint32_t p, const tabulon::BestPage& best);

    BtrieveFile& file_;
    const FileGeometry& g_;
    tabulon::EventSink none_;
    tabulon::EventSink* sink_;
    ScanOptions options_;
    ScanCounters counters_;
    tabulon::SeverityCounts severities_;
    std::vector<tabulon::Status> writeFailures_;
    PatPair pair_;
    HeaderCache cache_;
    tabulon::BestPageSearch search_;
    tabulon::RepairWriter writer_;
    tabulon::LedgerBuilder* ledger_ = nullptr;
};

}  // namespace tabulon
