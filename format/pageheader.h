// Page headers: the leading bytes of a physical page and its usage word,
// decoded and encoded by version family, and the page classes of the
// counters. Pure.
#pragma once

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

// Page classes of the counters: data ('D', also 0x4400), index (any bit of
// 0x8080), other (the rest, type 0 included).
enum class PageClass { Data, Index, Other };
bool isIndexType(uint16_t t);
PageClass pageClassOf(uint16_t t);

}  // namespace tabulon
