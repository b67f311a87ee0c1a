// Page headers: the leading bytes of a physical page and its usage word,
// decoded and encoded by version family, and the page classes of the
// counters. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/geometry.h"

namespace tabulon {

struct PageHeader {
    uint8_t headerBytes[kMaxHeaderSize];  // the first headerSize bytes of the page
    uint16_t usageCount;                  // the word after the header, unmasked
};

// The page id and page type a header records.
struct PageIdentity {
    uint32_t pageId;
    uint16_t pageType;
};

// Below 0x0800 the packed word with exchanged halves (24-bit id, 8-bit type),
// from 0x0800 a u32 id and a u16 type.
PageIdentity decodePageHeader(const FileGeometry& g, const PageHeader& header);

// Stores a page id and type into the header bytes in the layout of the
// family; the other header bytes stay as they are.
void encodePageHeader(const FileGeometry& g, PageHeader& header, uint32_t pageId,
                      uint16_t pageType);

// Unmasks a usage word read from the file, for owner-encrypted files with
// 8- or 16-byte headers.
uint16_t unmaskUsage(const FileGeometry& g, uint16_t stored);

// Fills a header from its headerSize bytes and the usage word that follows.
void decodeHeaderField(const FileGeometry& g, const uint8_t* field, PageHeader* header);

// A page's header as the check compares it, in one word: the page id in bits
// 0-31, the page type in bits 32-47 and the unmasked usage word in bits 48-63.
using HeaderWord = uint64_t;

constexpr HeaderWord headerWord(uint32_t pageId, uint16_t pageType, uint16_t usage) {
    return HeaderWord(pageId) | HeaderWord(pageType) << 32 | HeaderWord(usage) << 48;
}
constexpr uint32_t wordPageId(HeaderWord w) {
    return uint32_t(w);
}
constexpr uint16_t wordPageType(HeaderWord w) {
    return uint16_t(w >> 32);
}
constexpr uint16_t wordUsage(HeaderWord w) {
    return uint16_t(w >> 48);
}

// Header bytes a word does not hold: the bytes after the id and the type of
// an 8- or 16-byte header. 4- and 6-byte headers are the id and the type
// alone, so their word holds them whole.
int headerExtraBytes(const FileGeometry& g);

// Decodes `count` header fields (headerSize bytes and the usage word), the
// first at `fields` and each `stride` bytes after the one before, into
// words[i], and the bytes the words do not hold into `extra`,
// headerExtraBytes(g) per field.
void decodeHeaderFields(const FileGeometry& g, const uint8_t* fields, size_t stride, size_t count,
                        HeaderWord* words, uint8_t* extra);

// A header as a word and its extra bytes, and the header again from them
// (its bytes past headerSize zero).
HeaderWord headerWordOf(const FileGeometry& g, const PageHeader& header, uint8_t* extra);
void headerFromWord(const FileGeometry& g, HeaderWord w, const uint8_t* extra, PageHeader* header);

// Page classes of the counters: data ('D', also 0x4400), index (any bit of
// 0x8080), other (the rest, type 0 included).
enum class PageClass { Data, Index, Other };
constexpr bool isIndexType(uint16_t t) {
    return (t & pagetype::indexBits) != 0;
}
constexpr PageClass pageClassOf(uint16_t t) {
    if (t == pagetype::data || t == pagetype::dataWide) return PageClass::Data;
    if (isIndexType(t)) return PageClass::Index;
    return PageClass::Other;
}

}  // namespace tabulon
