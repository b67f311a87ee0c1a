// The page-header preload cache: the header of every physical page, read once
// before the scan, indexed by physical page number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "access/btrfile.h"

namespace tabulon {

// How the preload reads the headers. PerPage makes one readPageHeader per
// page, with its trace lines under /D. Gathered takes the headers of runs of
// pages out of large sequential reads of each member and falls back to
// readPageHeader wherever a run cannot be gathered; it loads the same pages,
// stops at the same page and prints the same lines.
enum class PreloadReads { PerPage, Gathered };

// Span of the file that one gathered run covers at most.
constexpr size_t kPreloadGatherBytes = size_t(4) << 20;

// Pages 0 to 3 hold the FCR copies: the cache starts at page 4.
constexpr uint32_t kFirstCachedPage = 4;

// Reads the headers of pages base to end - 1, asked for in ascending order,
// into table[p - base]: runs of pages that lie evenly in one member come out
// of one gathered read of up to spanBytes; a page that cannot be gathered is
// read on its own with readPageHeader (and its trace line under /D). A run
// that failed to gather is read page by page.
class HeaderReader {
  public:
    HeaderReader(BtrieveFile& file, PageHeader* table, uint32_t base, uint32_t end,
                 size_t spanBytes = kPreloadGatherBytes)
        : file(file), table(table), base(base), end(end), spanBytes(spanBytes) {}

    // Whether page p's header could be read.
    bool read(uint32_t p);

  private:
    uint32_t gatherRun(uint32_t p);

    BtrieveFile& file;
    PageHeader* table;
    uint32_t base, end;
    size_t spanBytes;
    uint16_t member = 0;       // member that holds the current page
    uint64_t memberStart = 0;  // its first file-set offset
    uint32_t readyEnd = 0;     // pages below this were gathered ahead
    uint32_t plainUntil = 0;   // a gather failed: read these pages one by one
    std::vector<uint8_t> fields;
};

class HeaderCache {
  public:
    explicit HeaderCache(BtrieveFile& file) : file_(file) {}

    // Keeps no header of page `pages` or later: the table ends there and the
    // gathered preload reads no further, while its figures and its last
    // line still count every page of the set whose header lies inside a
    // member. A file far longer than its FCR's pages costs no more than its
    // pages. The per-page preload of /D reads and keeps every page, as each
    // read prints its trace line. Set before the preload.
    void limitTo(uint32_t pages) { limit_ = pages; }

    // Builds the table once; false when nothing could be built. The first
    // form reads page by page under /D and gathers otherwise.
    bool preload(bool showProgress);
    bool preload(bool showProgress, PreloadReads reads, size_t gatherBytes = kPreloadGatherBytes);

    // Copies the cached header of page p. False when the table holds no
    // header for p: no table, p at or beyond entryCount, or a page that was
    // never loaded (pages 0 to 3, and pages from where loading stopped).
    bool lookup(uint32_t p, PageHeader& header) const;
    // The cached header of page p in place, or nullptr (the walk's common
    // case, without a copy).
    const PageHeader* find(uint32_t p) const {
        if (!built_ || p < kFirstCachedPage || p >= loadedEnd_) return nullptr;
        return &table_[p];
    }

    // Replaces the cached header bytes of page p after its header was
    // rewritten in the file, keeping its usage count. Does nothing when p is
    // not cached.
    void update(uint32_t p, const PageHeader& header);

    // First physical page the table holds no header for: where loading
    // stopped (0 without a table).
    uint32_t loadedEnd() const { return built_ ? loadedEnd_ : 0; }

    // Number of pages the preload counts: totalSectors / (pageSize / 512),
    // of the set's sectors modulo 2^32 as the preload has always counted
    // them (its last line says so).
    uint32_t entryCount() const { return entryCount_; }

    void clear();

  private:
    // The first page from `from` on, before `end`, whose header and usage
    // word do not lie inside the members as their sizes say.
    uint32_t firstOutsideMembers(uint32_t from, uint32_t end) const;
    void showFigures(uint32_t from, uint32_t to) const;

    BtrieveFile& file_;
    uint32_t limit_ = UINT32_MAX;
    std::vector<PageHeader> table_;
    bool built_ = false;
    uint32_t entryCount_ = 0;
    uint32_t loadedEnd_ = 0;  // pages kFirstCachedPage to loadedEnd_ - 1 are loaded
};

}  // namespace tabulon
