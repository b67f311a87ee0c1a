// The best-page search of fix bit 8: among every page of the file set from
// page 4 on, the page whose header names a logical page, with the highest
// usage value (the lowest physical page on ties). It owns the page index,
// which answers from every page's header read once; under /D the pages are
// walked one by one instead, each read with its trace line.
#pragma once

#include <cstdint>

#include "access/btrfile.h"
#include "access/cache.h"
#include "access/pageindex.h"

namespace tabulon {

struct BestPage {
    bool found = false;
    uint32_t physical = 0;
    uint16_t type = 0;
    // The search read the header of every candidate page (and there was at
    // least one): only then may a search that found nothing conclude that
    // the page is gone.
    bool searchedAll = false;
};

enum class SearchBy {
    Index,  // the page index
    Walk,   // every candidate page in turn: the cache, else a read (with /D traces)
};

class BestPageSearch {
  public:
    BestPageSearch(BtrieveFile& file, HeaderCache& cache);

    // The best page naming logical page p. A version whose page ids the
    // search cannot decode finds nothing. `relabelled` is a page whose zero
    // header this run has just rewritten to name p (kNoPage: none): it stands
    // for p only when no other page names p, since its usage word is a free
    // page's left-over and says nothing about the version it would hold.
    BestPage find(uint32_t p, SearchBy by, uint32_t relabelled = kNoPage);

    static constexpr uint32_t kNoPage = 0xFFFFFFFFu;

    // Page p's header now holds these bytes.
    void noteRewrittenHeader(uint32_t p, const PageHeader& header);

    PageIndex& index() { return index_; }

  private:
    struct Choice;
    Choice searchIndex(uint32_t p, uint32_t relabelled, bool* looked, bool* complete);
    Choice walkPages(uint32_t p, uint32_t relabelled, bool* looked, bool* complete);

    BtrieveFile& file_;
    HeaderCache& cache_;
    PageIndex index_;
};

}  // namespace tabulon
