// The headers of a range of physical pages as the check reads them: one
// HeaderWord per page (its page id, page type and usage word) and, for
// headers longer than 6 bytes, the header bytes the word does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "format/geometry.h"
#include "format/pageheader.h"

namespace tabulon {

class HeaderTable {
  public:
    // Room for `count` headers of the geometry's family. False when there is
    // no room; the table is then empty. The entries are not cleared: each
    // one is read only after it was decoded or put.
    bool assign(const FileGeometry& g, uint32_t count);
    void clear();

    uint32_t size() const { return size_; }
    const HeaderWord* words() const { return words_.get(); }
    HeaderWord word(uint32_t i) const { return words_[i]; }

    // Decodes `count` header fields, the first at `fields` and each `stride`
    // bytes after the one before, into entries first to first + count - 1.
    void decode(uint32_t first, const uint8_t* fields, size_t stride, uint32_t count) {
        decodeHeaderFields(g_, fields, stride, count, words_.get() + first,
                           extra_.get() + size_t(first) * size_t(extraBytes_));
    }

    // Entry i from a header, and the header again.
    void put(uint32_t i, const PageHeader& header);
    void get(uint32_t i, PageHeader& header) const;

  private:
    FileGeometry g_;
    int extraBytes_ = 0;
    uint32_t size_ = 0;
    std::unique_ptr<HeaderWord[]> words_;
    std::unique_ptr<uint8_t[]> extra_;
};

}  // namespace tabulon
