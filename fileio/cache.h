// The page-header preload cache: the header of every physical page, read once
// before the scan, indexed by physical page number.
#pragma once

#include <cstdint>

#include "fileio/pages.h"

// Number of table entries: totalSectors / (pageSize / 512).
extern uint32_t entryCount;

// Builds the table once; false when nothing could be built.
bool preloadHeaders(bool showProgress);

// Copies the cached header of page p. False when the table holds no header for
// p: no table, p at or beyond entryCount, or a page that was never loaded
// (pages 0 to 3, and pages from where loading stopped).
bool lookupHeader(uint32_t p, PageHeader& header);

// Replaces the cached header bytes of page p after its header was rewritten in
// the file, keeping its usage count. Does nothing when p is not cached.
void updateCachedHeader(uint32_t p, const PageHeader& header);

// First physical page the table holds no header for: where loading stopped.
uint32_t loadedHeaderEnd();

void freeHeaderCache();
