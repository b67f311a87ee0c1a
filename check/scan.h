// The check and repair engine: the scan over the PAT pairs, the pair check,
// the entry repair and the best-page search. One Scanner holds the state of
// one run over one open file: the loaded PAT pair, the header cache, the
// best-page index and the counters.
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
    // value (lowest physical page on ties), among every page of the file set
    // from page 4 on. *searchedAll tells whether the search read the header
    // of every such page (and there was at least one): only then may a
    // search that found nothing conclude that the page is gone.
    bool findBestPage(uint32_t p, uint32_t& physical, uint16_t& type, bool* searchedAll = nullptr);

    // The same choice by a plain walk over every page, without the index and
    // without the found line.
    bool findBestPagePlain(uint32_t p, uint32_t& physical, uint16_t& type,
                           bool* searchedAll = nullptr);

    // Tells the search that page p's header now holds these bytes.
    void noteRewrittenHeader(uint32_t p, const PageHeader& header);

    // Header of physical page p for the check: from the cache, or from the
    // file set when the cache holds none. False when it cannot be read.
    bool fetchPageHeader(uint32_t p, PageHeader& header);

    ScanCounters& counters() { return counters_; }
    const ScanCounters& counters() const { return counters_; }
    HeaderCache& cache() { return cache_; }
    PageIndex& index() { return index_; }
    PatPair& pair() { return pair_; }
    BtrieveFile& file() { return file_; }

  private:
    // Lines and counts that wait for staged PAT entries to reach the file:
    // while entries are staged, every line goes to this queue, and a line
    // that tells of a staged repair (with its fixed counters) is printed only
    // if the write that carries it succeeds.
    struct Queued {
        Stream stream;
        size_t at, size;  // the text, in queueText_
        bool needsWrite = false;
        uint32_t* counters[2] = {nullptr, nullptr};
    };
    void queue(Stream stream, std::string_view text, bool needsWrite, uint32_t* counter0,
               uint32_t* counter1);
    void emit(Stream stream, std::string_view text);
    // Sets an entry for a repair: staged when it can wait, else at once.
    // The line and the counters follow the write that carries the entry.
    void repairEntry(uint32_t L, uint32_t physical, uint16_t type, std::string_view line,
                     uint32_t* counter0, uint32_t* counter1);
    void commitStaged();

    // What a search could look at.
    struct Coverage {
        bool looked = false;   // at least one page header
        bool complete = true;  // every candidate page's header
    };
    struct Choice;
    struct HeaderCheck;

    bool verifyPatHeaders(uint32_t n, HeaderCheck& check);
    void countExamined(uint16_t t);
    void countProblem(uint16_t classification);
    Choice searchIndex(uint32_t p, Coverage* coverage);
    Choice walkPages(uint32_t p, Coverage* coverage);
    void printFound(uint32_t p, uint32_t physical, uint16_t type);

    BtrieveFile& file_;
    const FileGeometry& g_;
    Output& out_;
    ScanOptions options_;
    ScanCounters counters_;
    PatPair pair_;
    HeaderCache cache_;
    PageIndex index_;
    std::vector<Queued> queue_;
    std::string queueText_;
};
