// The page-header preload cache: the header of every physical page, read once
// before the scan, indexed by physical page number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/pages.h"

// Number of table entries: totalSectors / (pageSize / 512).
extern uint32_t entryCount;

// How the preload reads the headers. PerPage makes one readPageHeader per
// page, with its trace lines under /D. Gathered takes the headers of runs of
// pages out of large sequential reads of each member and falls back to
// readPageHeader wherever a run cannot be gathered; it loads the same pages,
// stops at the same page and prints the same lines.
enum class PreloadReads { PerPage, Gathered };

// Span of the file that one gathered run covers at most.
constexpr size_t kPreloadGatherBytes = size_t(4) << 20;

// Builds the table once; false when nothing could be built. The first form
// reads page by page under /D and gathers otherwise.
bool preloadHeaders(bool showProgress);
bool preloadHeaders(bool showProgress, PreloadReads reads,
                    size_t gatherBytes = kPreloadGatherBytes);

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
