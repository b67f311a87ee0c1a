// The check and repair engine: the scan over the PAT pairs, the pair check,
// the entry repair and the best-page search.
#pragma once

#include <cstdint>

#include "fileio/pages.h"

// Visits the PAT pairs from startPair through the last pair of the FCR.
void scanPatPairs(const char* path, int32_t fixMask, uint32_t& totalFixed);

// Verifies the PAT headers of the loaded pair n and checks every entry.
int checkPatPair(uint32_t n, int32_t fixMask, uint32_t& totalFixed);

// Reports, repairs and counts one entry whose page does not match it.
void handleEntryMismatch(uint32_t L, uint32_t p, uint16_t t, PageHeader& header,
                         const PageIdentity& found, int32_t fixMask, uint32_t& totalFixed);

// Finds the page whose header names logical page p with the highest usage
// value (lowest physical page on ties). *examined tells whether any page
// header could be looked at.
bool findBestPage(uint32_t p, uint32_t& physical, uint16_t& type, bool* examined = nullptr);

// The same choice by a plain walk over the cached headers, without the index.
bool findBestPageLinear(uint32_t p, uint32_t& physical, uint16_t& type);

// Tells the search that page p's header now holds these bytes.
void noteRewrittenHeader(uint32_t p, const PageHeader& header);

// Drops the search index (after the cache changes as a whole).
void resetBestPageIndex();

// Header of physical page p for the check: from the cache, or from the file
// set when the cache holds none. False when it cannot be read.
bool fetchPageHeader(uint32_t p, PageHeader& header);

// Page classes of the counters: data ('D', also 0x4400), index (any bit of
// 0x8080), other (the rest, type 0 included).
bool isIndexType(uint16_t t);

// Adds one to the counter of t's page class.
void countByClass(uint16_t t, uint32_t& data, uint32_t& index, uint32_t& other);
