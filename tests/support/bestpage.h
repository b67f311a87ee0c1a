// The best-page search of a Scanner as the tests ask it: found or not, the
// page and its type, and whether the search read every candidate page.
#pragma once

#include "check/scan.h"

inline bool findBest(tabulon::Scanner& s, uint32_t p, uint32_t& physical, uint16_t& type,
                     bool* searchedAll = nullptr, tabulon::SearchBy by = tabulon::SearchBy::Index) {
    const tabulon::BestPage best = s.search().find(p, by);
    physical = best.physical;
    type = best.type;
    if (searchedAll) *searchedAll = best.searchedAll;
    return best.found;
}

// The same choice by the walk over every page.
inline bool findBestByWalk(tabulon::Scanner& s, uint32_t p, uint32_t& physical, uint16_t& type,
                           bool* searchedAll = nullptr) {
    return findBest(s, p, physical, type, searchedAll, tabulon::SearchBy::Walk);
}
