// Physical page addressing and page headers.
#pragma once

#include <cstdint>

#include "format/layout.h"

struct PageHeader {
    uint8_t headerBytes[kMaxHeaderSize];  // the first headerSize bytes of the page
    uint16_t usageCount;                  // the word after the header, unmasked
};

// The page id and page type a header records, decoded by version family.
struct PageIdentity {
    uint32_t pageId;
    uint16_t pageType;
};

// File-set offset of a physical page.
uint64_t pageOffset(uint32_t n);

int readPageHeaderAt(uint64_t offset, PageHeader& header);
int readPageHeader(uint32_t n, PageHeader& header);
int writePageHeaderAt(uint64_t offset, const PageHeader& header);
int writePageHeader(uint32_t n, const PageHeader& header);

// Decodes the page id and type: below 0x0800 the packed word with exchanged
// halves (24-bit id, 8-bit type), from 0x0800 a u32 id and a u16 type.
PageIdentity decodePageHeader(const PageHeader& header);

// Stores a page id and type into the header bytes in the layout of the file's
// version family; the other header bytes stay as they are.
void encodePageHeader(PageHeader& header, uint32_t pageId, uint16_t pageType);

// Unmasks a usage word read from the file, for owner-encrypted files with
// 8- or 16-byte headers.
uint16_t unmaskUsage(uint16_t stored);
