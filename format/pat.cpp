#include "format/pat.h"

#include <cstdio>
#include <cstring>

#include "cli/options.h"
#include "fileio/fileset.h"
#include "format/geometry.h"
#include "format/le.h"

uint8_t patCopy[2][kBufferSize];
int64_t loadedPair = -1;
uint32_t currentPat = 0;

namespace {

// Whether the file holds both copies of the loaded pair as the buffers hold
// them: set by a load and by a complete write-back, cleared by a failed load
// or write. The buffers change only by header repairs and setPatEntry, each
// followed by a write-back.
bool pairOnDisk = false;

}  // namespace

uint64_t patPairOffsetQuiet(uint32_t n) {
    const FileGeometry& g = fileGeometry;
    if (n == 0) return 0;
    uint64_t offset = 2 * uint64_t(g.patPageSize);  // the two FCR copies
    if (g.versionCode >= version::v800) offset += 2 * uint64_t(g.patPageSize);
    if (g.versionCode < version::v700 && n >= 31) offset += 4096;
    return offset + uint64_t(uint32_t(patPairStrideQuiet())) * (n - 1);
}

uint64_t patPairOffset(uint32_t n) {
    const bool verbose = scanOptions.verbose;
    if (verbose) std::fprintf(stderr, "(1)Seeking PAT Pair %lu at ", (unsigned long)n);
    uint64_t offset = 0;
    if (n != 0) {
        // The stride is asked for as the format tables give it, message included.
        (void)patPairStride();
        offset = patPairOffsetQuiet(n);
    }
    if (verbose) {
        std::fprintf(stderr, "Large Offset %.8x:%.8x\n", unsigned(offset >> 32),
                     unsigned(offset & 0xFFFFFFFFu));
    }
    return offset;
}

int patSlotSize() {
    uint16_t v = fileGeometry.versionCode;
    if (v < version::v800) return pat::slotSizeOld;
    if (v < version::v950) return pat::slotSize800;
    return pat::slotSize950;
}

int patSlotOffset(uint32_t j) {
    uint16_t v = fileGeometry.versionCode;
    if (v < version::v800) return pat::firstSlotOld + pat::slotSizeOld * int(j);
    if (v < version::v950) return pat::firstSlot800 + pat::slotSize800 * int(j);
    return pat::firstSlot950 + pat::slotSize950 * int(j);
}

PatEntry readPatEntry(const uint8_t* page, uint32_t j) {
    const uint8_t* slot = page + patSlotOffset(j);
    if (fileGeometry.versionCode < version::v800) {
        uint32_t w = swapHalves(le32(slot));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    }
    return {le32(slot), le16(slot + 4)};
}

int loadPatPair(uint32_t n) {
    const FileGeometry& g = fileGeometry;
    if (g.versionCode < version::v600) return 0;
    if (loadedPair == int64_t(n)) return 1;
    uint64_t o = patPairOffset(n);
    pairOnDisk = false;
    if (!readAt(o, patCopy[0], g.patPageSize)) return 0;
    if (!readAt(o + g.patPageSize, patCopy[1], g.patPageSize)) return 0;
    loadedPair = n;
    pairOnDisk = true;
    uint32_t u0 = le32(patCopy[0] + g.usageOffset);
    uint32_t u1 = le32(patCopy[1] + g.usageOffset);
    currentPat = u1 >= u0 ? 1 : 0;
    if (scanOptions.verbose) {
        std::fprintf(stderr, "Usage 0 (%.8x) %c Usage 1 (%.8x) [Loaded PAT Pair %lu]\n", u0,
                     u0 < u1 ? '<' : '>', u1, (unsigned long)n);
    }
    if (std::memcmp(patCopy[0], patCopy[1], size_t(g.patIdLength)) != 0) {
        std::fprintf(stderr, "==>PAT Page ID's Do Not Match.\n");
    }
    return 1;
}

int writePatPair(uint32_t n) {
    const FileGeometry& g = fileGeometry;
    if (g.versionCode < version::v600) return 0;
    if (loadedPair != int64_t(n)) {
        std::fprintf(stderr, "Writing to incorrect PAT Pair!!!\r\n");
        return 0;
    }
    uint64_t o = patPairOffset(n);
    pairOnDisk = false;
    if (!writeAt(o, patCopy[0], g.patPageSize)) return 0;
    if (!writeAt(o + g.patPageSize, patCopy[1], g.patPageSize)) return 0;
    pairOnDisk = true;
    return 1;
}

namespace {

// Writes back pair n after one slot of the current copy changed. When the
// rest of the pair is already on disk as buffered, writing that slot alone
// leaves the file as writing both copies would, at a fraction of the cost of
// a repair run that changes many entries. Under /D, or when a copy could run
// past the end of its member (a full write would extend that member), both
// copies are written.
int writeChangedSlot(uint32_t n, int at) {
    const FileGeometry& g = fileGeometry;
    if (!pairOnDisk || scanOptions.verbose || loadedPair != int64_t(n)) return writePatPair(n);
    const uint64_t o = patPairOffset(n);
    uint16_t member = 0;
    uint64_t rest = 0;
    mapFileSetOffset(o, &member, &rest);
    if (member >= fileSet.memberCount ||
        rest + 2 * uint64_t(g.patPageSize) > fileSet.memberSizes[member]) {
        return writePatPair(n);
    }
    const uint64_t slotAt = o + uint64_t(currentPat) * g.patPageSize + uint64_t(at);
    if (writeAt(slotAt, patCopy[currentPat] + at, size_t(patSlotSize()))) return 1;
    pairOnDisk = false;
    return 0;
}

}  // namespace

int setPatEntry(uint32_t p, const uint32_t& physical, const uint16_t& type) {
    uint16_t e = uint16_t(patEntriesPerPage());
    if (e == 0 || p == 0) return 0;
    uint32_t q = (p - 1) / e;
    if (!loadPatPair(q + 1)) return 0;
    uint32_t j = p - 1 - q * e;
    int at = patSlotOffset(j);
    if (at + patSlotSize() > kBufferSize) return 0;
    uint8_t* slot = patCopy[currentPat] + at;
    if (fileGeometry.versionCode < version::v800) {
        putLe32(slot, swapHalves(physical | uint32_t(type) << 24));
    } else {
        putLe32(slot, physical);
        putLe16(slot + 4, type);
    }
    return writeChangedSlot(q + 1, at);
}
