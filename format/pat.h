// PAT page layout: entry slots and their decoding and encoding, by version
// family. Pure: works on the bytes of a PAT page it is given.
#pragma once

#include <cstdint>

#include "format/geometry.h"
#include "format/le.h"

namespace tabulon {

// One slot of a PAT page.
struct PatEntry {
    uint32_t physical;
    uint16_t type;
};

// Byte offset of slot j (counted from 0) in a PAT page, and the slot size.
int patSlotOffset(const FileGeometry& g, uint32_t j);
int patSlotSize(const FileGeometry& g);

// Slots that lie wholly inside a PAT page as read from the file (at most
// patEntriesPerPage of them).
uint32_t patSlotsInPage(const FileGeometry& g, uint32_t entries);

// Reads slot j of a PAT page in the layout of the file's version range.
PatEntry readPatEntry(const FileGeometry& g, const uint8_t* page, uint32_t j);

// The slot layouts by version range: below 0x0800 a packed word with
// exchanged halves (24-bit page, 8-bit type), to 0x094F 6-byte slots, from
// 0x0950 8-byte slots, each from 0x0800 a u32 page and a u16 type.
enum class SlotLayout : uint8_t { Packed, Wide6, Wide8 };
SlotLayout patSlotLayout(const FileGeometry& g);

// Slot j of a PAT page of a layout: readPatEntry for a walk over many slots.
template <SlotLayout L>
inline PatEntry readPatSlot(const uint8_t* page, uint32_t j) {
    if constexpr (L == SlotLayout::Packed) {
        const uint32_t w =
            swapHalves(le32(page + pat::firstSlotOld + pat::slotSizeOld * size_t(j)));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    } else {
        constexpr bool wide6 = L == SlotLayout::Wide6;
        constexpr size_t first = wide6 ? pat::firstSlot800 : pat::firstSlot950;
        constexpr size_t size = wide6 ? pat::slotSize800 : pat::slotSize950;
        const uint8_t* slot = page + first + size * j;
        return {le32(slot), le16(slot + 4)};
    }
}

// Stores a physical page number and a page type into the slot at byte offset
// `at`: below 0x0800 the packed word with exchanged halves (only the low 8
// bits of the type survive), from 0x0800 a u32 and a u16; the other bytes of
// an 8-byte slot stay as they are.
void writePatSlot(const FileGeometry& g, uint8_t* page, int at, uint32_t physical, uint16_t type);

// The u32 usage count of a PAT page or an FCR copy.
uint32_t patUsageCount(const FileGeometry& g, const uint8_t* page);

// 0 or 1: the PAT copy whose entries are current; copy 1 on equal counts.
uint32_t currentPatCopy(const FileGeometry& g, const uint8_t* copy0, const uint8_t* copy1);

// Where a PAT page header keeps its signature and its pair number, by exact
// version code: the signature is `signatureLength` bytes 'P' from
// `signatureAt`; the pair number is a u16 at `pairLowAt` and, when
// `pairHighAt` is not negative, bits 16-23 in the byte there. `pairDigits` is
// the number of hex digits the number is shown with.
struct PatHeaderLayout {
    int signatureAt;
    int signatureLength;
    int pairLowAt;
    int pairHighAt;
    int pairDigits;
};

// The layout of the version's family; nullptr for a code without a known
// PAT header layout.
const PatHeaderLayout* patHeaderLayout(uint16_t version);

// The fields of one PAT page header in a layout, read and written.
bool patSignatureSound(const PatHeaderLayout& layout, const uint8_t* page);
uint32_t patHeaderPairNumber(const PatHeaderLayout& layout, const uint8_t* page);
void writePatSignature(const PatHeaderLayout& layout, uint8_t* page);
void writePatHeaderPairNumber(const PatHeaderLayout& layout, uint8_t* page, uint32_t n);

// Whether n bytes at a file-set offset overlap the FCR copies (everything
// before PAT pair 1) or either copy of a PAT pair: the table itself, which no
// page header is written into and no entry may point at.
bool overlapsFcrOrPat(const FileGeometry& g, uint64_t offset, uint64_t n);

// The pair (from 1) whose PAT pages hold logical page p's entry and the
// entry's slot (from 0) in them; false for p = 0 or a page size without
// entries.
bool pairOfLogical(const FileGeometry& g, uint32_t p, uint32_t* pair, uint32_t* slot);

// The PAT pair and copy whose page holds the byte at `offset`; false when no
// PAT page does.
bool patPageAt(const FileGeometry& g, uint64_t offset, uint32_t* pair, int* copy);

// Whether a slot holds its family's free-space pointer: 0xFFFFFFFE from
// 0x0800; before, page 0 of type 0.
bool isFreeSlot(const FileGeometry& g, const PatEntry& e);

// The free-space entry a repair writes. Fix bit 2 keeps the page of a slot
// before 0x0800 and clears its type; a reset after a best-page search that
// found nothing writes page 0. From 0x0800 both write 0xFFFFFFFE, type 0.
enum class FreeFor { FreeSpaceBit, ResetAfterSearch };
PatEntry freePointer(const FileGeometry& g, uint32_t physical, FreeFor why);

}  // namespace tabulon
