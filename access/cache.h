// The page-header preload cache: the header of every physical page, read once
// before the scan, indexed by physical page number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "access/btrfile.h"
#include "access/headertable.h"

namespace tabulon {

// How the preload reads the headers. PerPage makes one readPageHeader per
// page, with its trace lines under /D. Gathered takes the headers of a window
// of pages at a time out of a view of the file, or out of large sequential
// reads where the file cannot be mapped, and falls back to readPageHeader
// wherever a page cannot be had that way; it loads the same pages, stops at
// the same page and prints the same lines.
enum class PreloadReads { PerPage, Gathered };

// Bytes of a member that one window covers: windows start at multiples of it
// inside their member, so that a view of one covers whole 2 MiB blocks of the
// file, which the system can map in large pieces.
constexpr size_t kPreloadGatherBytes = size_t(4) << 20;

// Pages 0 to 3 hold the FCR copies: the cache starts at page 4.
constexpr uint32_t kFirstCachedPage = 4;

// Reads the headers of pages base to end - 1, asked for in ascending order,
// into entries p - base of a table, a window at a time: the pages whose
// header field starts in one window of a member and lies evenly in that
// member are decoded at once, straight from a view of the whole window, or
// where the member cannot be mapped from one gathered read. A page that
// cannot be had that way (a field cut by a member's end, the 6.x shift) is
// read on its own with readPageHeader (and its trace line under /D); the
// pages of a window whose gathered read failed are read one by one.
class HeaderReader {
  public:
    HeaderReader(BtrieveFile& file, HeaderTable& table, uint32_t base, uint32_t end,
                 size_t windowBytes = kPreloadGatherBytes)
        : file(file), table(table), base(base), end(end), window(windowBytes ? windowBytes : 1) {}
    ~HeaderReader() { releaseView(); }
    HeaderReader(const HeaderReader&) = delete;
    HeaderReader& operator=(const HeaderReader&) = delete;

    // Reads the headers of pages p, p + 1, ... as far as one window goes,
    // after every page asked for before; returns how many it read, 0 when
    // page p's header cannot be read.
    uint32_t read(uint32_t p);

  private:
    uint32_t readWindow(uint32_t p);
    bool decodeMapped(uint32_t p, uint64_t rest, uint32_t count, uint64_t viewStart,
                      uint64_t viewEnd);
    void releaseView();

    BtrieveFile& file;
    HeaderTable& table;
    uint32_t base, end;
    uint64_t window;
    uint16_t member = 0;       // member that holds the current page
    uint64_t memberStart = 0;  // its first file-set offset
    uint32_t plainUntil = 0;   // a gather failed: read these pages one by one
    FileView view;             // of member viewMember, kept while pages fall inside it
    uint16_t viewMember = 0;
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
    // The cached words, for a walk over many entries: words()[p] for p from
    // kFirstCachedPage to cachedEnd() - 1 (none without a table).
    // With a shared table, a page whose chunk ownChunks() marks may hold
    // another header than its word here: ask lookup() or pageId() for it.
    const HeaderWord* words() const { return shared_ ? shared_->words() : table_.words(); }
    uint32_t cachedEnd() const { return built_ ? loadedEnd_ : kFirstCachedPage; }
    // The cached word of page p, or nullptr (with a shared table, the shared
    // word: see words()).
    const HeaderWord* find(uint32_t p) const {
        if (p < kFirstCachedPage || p >= cachedEnd()) return nullptr;
        return words() + p;
    }

    // Takes the table of `from`, a built cache of the same files opened the
    // same way, instead of reading the headers: the table is shared, not
    // copied, and `from` must neither change nor go while this cache is in
    // use. The headers this cache is given afterwards (update, replace) are
    // kept beside it, so that its memory grows with them and not with the
    // file. Nothing is shared from a cache that holds no table. Set before
    // the preload, which then reads nothing.
    void shareTable(const HeaderCache& from);
    // Sets the cached header of page p, usage word included, after a write
    // changed it. Does nothing when p is not cached.
    void replace(uint32_t p, const PageHeader& header);
    // With a shared table and headers kept beside it: one flag per chunk of
    // 2^kOwnChunkShift pages, set when a page of the chunk has its own
    // header. Null otherwise.
    static constexpr int kOwnChunkShift = 12;
    const uint8_t* ownChunks() const { return own_.empty() ? nullptr : ownChunks_.data(); }
    // The page id of cached page p's header.
    uint32_t pageId(uint32_t p) const { return wordPageId(wordOf(p)); }

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
    // The cached word of page p (its own one when it has one).
    HeaderWord wordOf(uint32_t p) const;
    void setOwn(uint32_t p, const PageHeader& header);

    BtrieveFile& file_;
    uint32_t limit_ = UINT32_MAX;
    HeaderTable table_;
    bool built_ = false;
    uint32_t entryCount_ = 0;
    uint32_t loadedEnd_ = 0;  // pages kFirstCachedPage to loadedEnd_ - 1 are loaded
    // A table shared with another cache, and the headers given since.
    struct Own {
        HeaderWord word = 0;
        std::array<uint8_t, kMaxHeaderSize> extra{};
    };
    const HeaderCache* shared_ = nullptr;
    std::unordered_map<uint32_t, Own> own_;
    std::vector<uint8_t> ownChunks_;
};

}  // namespace tabulon
