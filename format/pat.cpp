#include "format/pat.h"

#include "format/le.h"

namespace tabulon {

int patSlotSize(const FileGeometry& g) {
    if (g.versionCode < version::v800) return pat::slotSizeOld;
    if (g.versionCode < version::v950) return pat::slotSize800;
    return pat::slotSize950;
}

int patSlotOffset(const FileGeometry& g, uint32_t j) {
    uint16_t v = g.versionCode;
    if (v < version::v800) return pat::firstSlotOld + pat::slotSizeOld * int(j);
    if (v < version::v950) return pat::firstSlot800 + pat::slotSize800 * int(j);
    return pat::firstSlot950 + pat::slotSize950 * int(j);
}

uint32_t patSlotsInPage(const FileGeometry& g, uint32_t entries) {
    uint32_t slots = entries;
    while (slots > 0 && patSlotOffset(g, slots - 1) + patSlotSize(g) > g.patPageSize) --slots;
    return slots;
}

SlotLayout patSlotLayout(const FileGeometry& g) {
    if (g.versionCode < version::v800) return SlotLayout::Packed;
    if (g.versionCode < version::v950) return SlotLayout::Wide6;
    return SlotLayout::Wide8;
}

PatEntry readPatEntry(const FileGeometry& g, const uint8_t* page, uint32_t j) {
    switch (patSlotLayout(g)) {
        case SlotLayout::Packed: return readPatSlot<SlotLayout::Packed>(page, j);
        case SlotLayout::Wide6: return readPatSlot<SlotLayout::Wide6>(page, j);
        case SlotLayout::Wide8: return readPatSlot<SlotLayout::Wide8>(page, j);
    }
    return {0, 0};
}

void writePatSlot(const FileGeometry& g, uint8_t* page, int at, uint32_t physical, uint16_t type) {
    uint8_t* slot = page + at;
    if (g.versionCode < version::v800) {
        putLe32(slot, swapHalves(physical | uint32_t(type) << 24));
        return;
    }
    putLe32(slot, physical);
    putLe16(slot + 4, type);
}

uint32_t patUsageCount(const FileGeometry& g, const uint8_t* page) {
    return le32(page + g.usageOffset);
}

uint32_t currentPatCopy(const FileGeometry& g, const uint8_t* c0, const uint8_t* c1) {
    return patUsageCount(g, c1) >= patUsageCount(g, c0) ? 1 : 0;
}

namespace {

// 6.0 and 6.1: 'P' 'P' and a 16-bit pair number; 7.0: one 'P' and a 24-bit
// number in two pieces; 8.0 and later: a 24-bit number, then 'P' 'P'.
constexpr PatHeaderLayout kLayout600{pat::sig600, 2, pat::pair600, -1, 4};
constexpr PatHeaderLayout kLayout700{pat::sig700, 1, pat::pairLow700, pat::pairHigh700, 6};
constexpr PatHeaderLayout kLayout800{pat::sig800, 2, pat::pair800, pat::pair800 + 2, 6};

struct FamilyLayout {
    uint16_t version;
    const PatHeaderLayout* layout;
};

constexpr FamilyLayout kFamilies[] = {
    {version::v600, &kLayout600},  {version::v610, &kLayout600},  {version::v700, &kLayout700},
    {version::v800, &kLayout800},  {version::v900, &kLayout800},  {version::v950, &kLayout800},
    {version::v1300, &kLayout800}, {version::v1630, &kLayout800},
};

}  // namespace

const PatHeaderLayout* patHeaderLayout(uint16_t v) {
    for (const FamilyLayout& f : kFamilies) {
        if (f.version == v) return f.layout;
    }
    return nullptr;
}

bool patSignatureSound(const PatHeaderLayout& l, const uint8_t* page) {
    for (int i = 0; i < l.signatureLength; ++i) {
        if (page[l.signatureAt + i] != pat::signatureByte) return false;
    }
    return true;
}

uint32_t patHeaderPairNumber(const PatHeaderLayout& l, const uint8_t* page) {
    uint32_t n = le16(page + l.pairLowAt);
    if (l.pairHighAt >= 0) n += uint32_t(page[l.pairHighAt]) << 16;
    return n;
}

void writePatSignature(const PatHeaderLayout& l, uint8_t* page) {
    for (int i = 0; i < l.signatureLength; ++i) page[l.signatureAt + i] = pat::signatureByte;
}

void writePatHeaderPairNumber(const PatHeaderLayout& l, uint8_t* page, uint32_t n) {
    putLe16(page + l.pairLowAt, uint16_t(n & 0xFFFF));
    if (l.pairHighAt >= 0) page[l.pairHighAt] = uint8_t((n >> 16) & 0xFF);
}

bool overlapsFcrOrPat(const FileGeometry& g, uint64_t offset, uint64_t size) {
    const uint64_t first = patPairOffset(g, 1);
    if (offset < first) return true;
    const uint64_t pairBytes = 2 * uint64_t(g.patPageSize);
    const uint64_t stride = uint32_t(patPairStride(g));
    auto overlaps = [&](uint64_t n) {
        if (n < 1 || n > UINT32_MAX) return false;
        uint64_t at = patPairOffset(g, uint32_t(n));
        return offset < at + pairBytes && offset + size > at;
    };
    if (stride == 0) return overlaps(1);
    // The pair whose start lies at or before the offset, with and without the
    // 4096-byte gap of 6.x files, and its neighbours.
    uint64_t n = (offset - first) / stride + 1;
    for (uint64_t d = 0; d < 3; ++d) {
        if (overlaps(n + d) || (n > d && overlaps(n - d))) return true;
    }
    return false;
}

bool pairOfLogical(const FileGeometry& g, uint32_t p, uint32_t* pair, uint32_t* slot) {
    const uint32_t e = uint32_t(patEntriesPerPage(g));
    if (e == 0 || p == 0) return false;
    const uint32_t q = (p - 1) / e;
    *pair = q + 1;
    *slot = p - 1 - q * e;
    return true;
}

bool patPageAt(const FileGeometry& g, uint64_t offset, uint32_t* pair, int* copy) {
    const uint64_t first = patPairOffset(g, 1);
    if (offset < first || g.patPageSize == 0) return false;
    const uint64_t stride = uint32_t(patPairStride(g));
    const uint64_t near = stride == 0 ? 1 : (offset - first) / stride + 1;
    for (uint64_t n = near > 2 ? near - 2 : 1; n <= near + 2 && n <= UINT32_MAX; ++n) {
        if (stride == 0 && n != 1) break;
        const uint64_t at = patPairOffset(g, uint32_t(n));
        if (offset >= at && offset < at + 2 * uint64_t(g.patPageSize)) {
            *pair = uint32_t(n);
            *copy = int((offset - at) / g.patPageSize);
            return true;
        }
    }
    return false;
}

bool isFreeSlot(const FileGeometry& g, const PatEntry& e) {
    if (g.versionCode >= version::v800) return e.physical == pat::freeSpace;
    return e.physical == 0 && e.type == 0;
}

PatEntry freePointer(const FileGeometry& g, uint32_t physical, FreeFor why) {
    if (g.versionCode >= version::v800) return PatEntry{pat::freeSpace, 0};
    return PatEntry{why == FreeFor::FreeSpaceBit ? physical : 0, 0};
}

}  // namespace tabulon
