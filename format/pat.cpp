#include "format/pat.h"

#include "format/le.h"

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

PatEntry readPatEntry(const FileGeometry& g, const uint8_t* page, uint32_t j) {
    const uint8_t* slot = page + patSlotOffset(g, j);
    if (g.versionCode < version::v800) {
        uint32_t w = swapHalves(le32(slot));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    }
    return {le32(slot), le16(slot + 4)};
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

bool patHeaderPairNumber(uint16_t v, const uint8_t* page, uint32_t* pair) {
    if (v == version::v600 || v == version::v610) {
        *pair = le16(page + pat::pair600);
    } else if (v == version::v700) {
        *pair = le16(page + pat::pairLow700) + uint32_t(page[pat::pairHigh700]) * 65536;
    } else if (v == version::v800 || v == version::v900 || v == version::v950 ||
               v == version::v1300 || v == version::v1630) {
        *pair = le24(page + pat::pair800);
    } else {
        return false;
    }
    return true;
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
