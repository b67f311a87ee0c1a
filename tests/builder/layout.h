// Page geometry of a Btrieve file of format 6.x and later, as the builder
// lays it out: PAT page size, entry slots, pair stride and the placement of
// PAT pairs and physical pages in the file set.
#pragma once

#include <cstdint>
#include <string>

namespace tbuild {

// Version codes above 0x8000 are stored negated (0xF800 stands for 0x0800).
std::uint16_t foldVersion(std::uint16_t stored);

// The PAT page header layout, chosen by version code range.
enum class PatStyle {
    None,  // below 0x0600: no PAT
    V6,    // 0x0600..0x06FF: 'P' 'P' at 0-1, 16-bit pair number at 2
    V7,    // 0x0700..0x07FF: 'P' at 1, pair number bits 16-23 at 0, bits 0-15 at 2
    V8     // from 0x0800: pair number bits 0-15 at 0, bits 16-23 at 2, 'P' 'P' at 3-4
};

struct Layout {
    std::uint16_t version = 0;  // folded version code
    std::uint32_t pageSize = 0;
    std::uint32_t patPageSize = 0;  // size of one FCR copy and of one PAT page
    std::uint32_t usageOffset = 0;  // u32 usage count in FCR copies and PAT pages
    std::uint32_t headerSize = 0;   // leading bytes of a page that form its header
    std::uint32_t patIdLength = 0;
    std::uint32_t slotSize = 0;        // bytes per PAT entry
    std::uint32_t firstSlot = 0;       // offset of entry slot 0 in a PAT page
    std::uint32_t entriesPerPage = 0;  // 0 when the page size has no entry count
    std::uint64_t pairStride = 0;      // bytes from one PAT pair to the next
    std::uint32_t pageUnit = 0;        // bytes per physical page slot (compressed size if set)
    std::uint32_t largeOffsetThreshold = 0xFFFFFFFFu;  // 6.x only: pages from here move by 4096
    PatStyle patStyle = PatStyle::None;

    bool hasPat() const { return version >= 0x0600; }
    bool wideEntries() const { return version >= 0x0800; }  // u32 page numbers, free-space value
    std::uint32_t freeSpacePointer() const { return 0xFFFFFFFEu; }
    // Entry slots of one PAT page that lie inside the patPageSize bytes on disk.
    std::uint32_t slotsOnDisk() const;
    std::string describe() const;
};

// Geometry for a folded version code and page size; compressedPageSize 0
// means no page compression.
Layout makeLayout(std::uint16_t version, std::uint32_t pageSize,
                  std::uint32_t compressedPageSize = 0);

// File-set offset of copy 0 of PAT pair n (pair 0 is the FCR at offset 0).
std::uint64_t pairOffset(const Layout& l, std::uint32_t n);
// File-set offset of physical page p.
std::uint64_t pageOffset(const Layout& l, std::uint32_t p);
// Physical page whose slot starts at or before offset (inverse of pageOffset).
std::uint32_t pageAtOrBefore(const Layout& l, std::uint64_t offset);

// PAT pair and slot (from 0) that describe logical page L (L >= 1).
std::uint32_t pairOfLogical(const Layout& l, std::uint32_t logical);
std::uint32_t slotOfLogical(const Layout& l, std::uint32_t logical);
std::uint32_t logicalOf(const Layout& l, std::uint32_t pair, std::uint32_t slot);
// Byte offset of entry slot j inside a PAT page.
std::uint32_t slotOffset(const Layout& l, std::uint32_t slot);

// Page header and PAT entry encodings of the layout's family.
struct PageId {
    std::uint32_t id = 0;
    std::uint16_t type = 0;
    bool operator==(const PageId&) const = default;
};
// Writes the first headerSize bytes of a page header (bytes past the id and
// type are zero).
void encodeHeader(const Layout& l, PageId h, std::uint8_t* out);
PageId decodeHeader(const Layout& l, const std::uint8_t* in);
// Writes an entry slot; bytes 6-7 of an 8-byte slot are left as they are.
void encodeEntry(const Layout& l, PageId e, std::uint8_t* slot);
PageId decodeEntry(const Layout& l, const std::uint8_t* slot);

// Page classes as the checker counts them.
bool isIndexType(std::uint16_t type);
bool isDataType(std::uint16_t type);

}  // namespace tbuild
