#include "access/patpair.h"

#include <cstring>

int PatPair::load(uint32_t n) {
    const FileGeometry& g = file_.geometry();
    if (g.versionCode < version::v600) return 0;
    if (loadedPair_ == int64_t(n)) return 1;
    uint64_t o = file_.patPairOffset(n);
    pairOnDisk_ = false;
    FileSet& set = file_.fileSet();
    // A failed read may leave bytes of pair n in the buffers: no pair is
    // loaded then.
    if (!set.readAt(o, copy(0), g.patPageSize) ||
        !set.readAt(o + g.patPageSize, copy(1), g.patPageSize)) {
        loadedPair_ = -1;
        return 0;
    }
    loadedPair_ = n;
    pairOnDisk_ = true;
    uint32_t u0 = patUsageCount(g, copy(0));
    uint32_t u1 = patUsageCount(g, copy(1));
    currentPat_ = currentPatCopy(g, copy(0), copy(1));
    Output& out = file_.out();
    if (file_.verbose()) {
        out.err("Usage 0 (%.8x) %c Usage 1 (%.8x) [Loaded PAT Pair %lu]\n", u0,
                u0 < u1 ? '<' : '>', u1, (unsigned long)n);
    }
    if (std::memcmp(copy(0), copy(1), size_t(g.patIdLength)) != 0) {
        out.write(Stream::Err, "==>PAT Page ID's Do Not Match.\n");
    }
    return 1;
}

int PatPair::write(uint32_t n) {
    const FileGeometry& g = file_.geometry();
    if (g.versionCode < version::v600) return 0;
    if (loadedPair_ != int64_t(n)) {
        file_.out().write(Stream::Err, "Writing to incorrect PAT Pair!!!\r\n");
        return 0;
    }
    uint64_t o = file_.patPairOffset(n);
    pairOnDisk_ = false;
    FileSet& set = file_.fileSet();
    if (!set.writeAt(o, copy(0), g.patPageSize)) return 0;
    if (!set.writeAt(o + g.patPageSize, copy(1), g.patPageSize)) return 0;
    pairOnDisk_ = true;
    return 1;
}

// Writes back pair n after one slot of the current copy changed. When the
// rest of the pair is already on disk as buffered, writing that slot alone
// leaves the file as writing both copies would, at a fraction of the cost of
// a repair run that changes many entries. Under /D, or when a copy could run
// past the end of its member (a full write would extend that member), both
// copies are written.
int PatPair::writeChangedSlot(uint32_t n, int at) {
    const FileGeometry& g = file_.geometry();
    if (!pairOnDisk_ || file_.verbose() || loadedPair_ != int64_t(n)) return write(n);
    const uint64_t o = file_.patPairOffset(n);
    FileSet& set = file_.fileSet();
    uint16_t member = 0;
    uint64_t rest = 0;
    set.mapOffset(o, &member, &rest);
    if (member >= set.memberCount() ||
        rest + 2 * uint64_t(g.patPageSize) > set.memberSize(member)) {
        return write(n);
    }
    const uint64_t slotAt = o + uint64_t(currentPat_) * g.patPageSize + uint64_t(at);
    if (set.writeAt(slotAt, copy(int(currentPat_)) + at, size_t(patSlotSize(g)))) return 1;
    pairOnDisk_ = false;
    return 0;
}

int PatPair::setEntry(uint32_t p, uint32_t physical, uint16_t type) {
    const FileGeometry& g = file_.geometry();
    uint16_t e = uint16_t(file_.patEntriesPerPage());
    if (e == 0 || p == 0) return 0;
    uint32_t q = (p - 1) / e;
    if (!load(q + 1)) return 0;
    uint32_t j = p - 1 - q * e;
    int at = patSlotOffset(g, j);
    if (at + patSlotSize(g) > kBufferSize) return 0;
    writePatSlot(g, copy(int(currentPat_)), at, physical, type);
    return writeChangedSlot(q + 1, at);
}
