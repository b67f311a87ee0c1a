#include "access/patpair.h"

#include <algorithm>
#include <cstring>

namespace tabulon {

bool PatPair::load(uint32_t n) {
    const FileGeometry& g = file_.geometry();
    if (g.versionCode < version::v600) return false;
    if (loadedPair_ == int64_t(n)) return true;
    // Staged entries of the pair in the buffers reach the file before the
    // buffers take another pair.
    if (hasStaged()) flushStaged();
    uint64_t o = file_.patPairOffset(n);
    pairOnDisk_ = false;
    FileSet& set = file_.fileSet();
    // A failed read may leave bytes of pair n in the buffers: no pair is
    // loaded then.
    if (!set.readAt(o, copy(0), g.patPageSize) ||
        !set.readAt(o + g.patPageSize, copy(1), g.patPageSize)) {
        loadedPair_ = -1;
        return false;
    }
    loadedPair_ = n;
    pairOnDisk_ = true;
    uint32_t u0 = patUsageCount(g, copy(0));
    uint32_t u1 = patUsageCount(g, copy(1));
    currentPat_ = currentPatCopy(g, copy(0), copy(1));
    if (file_.verbose()) {
        file_.notices().emitf(NoticeKind::Trace, Stream::Err,
                              "Usage 0 (%.8x) %c Usage 1 (%.8x) [Loaded PAT Pair %lu]\n", u0,
                              u0 < u1 ? '<' : '>', u1, (unsigned long)n);
    }
    return true;
}

bool PatPair::idsMatch() const {
    const size_t n = size_t(file_.geometry().patIdLength);
    return std::memcmp(copy(0), copy(1), n) == 0;
}

Status PatPair::write(uint32_t n) {
    const FileGeometry& g = file_.geometry();
    if (g.versionCode < version::v600 || loadedPair_ != int64_t(n)) {
        // A caller error, not the system's: no write is made.
        if (g.versionCode >= version::v600) {
            file_.notices().emit(NoticeKind::WrongPair, Stream::Err,
                                 "Writing to incorrect PAT Pair!!!\r\n", n);
        }
        return Status{Failure::Write, file_.fileSet().path(), 0, "no such PAT pair loaded\n"};
    }
    uint64_t o = file_.patPairOffset(n);
    pairOnDisk_ = false;
    stagedBegin_ = stagedEnd_ = 0;  // written with the rest
    FileSet& set = file_.fileSet();
    Status s = set.write(o, copy(0), g.patPageSize);
    if (s) s = set.write(o + g.patPageSize, copy(1), g.patPageSize);
    pairOnDisk_ = s.ok();
    return s;
}

namespace {

// Slot offset of logical page p in its pair's PAT page, and the pair; false
// when the tables know no entries or p is 0.
bool locateEntry(BtrieveFile& file, uint32_t p, uint32_t* pair, int* at) {
    const FileGeometry& g = file.geometry();
    uint32_t slot = 0;
    if (!pairOfLogical(g, p, pair, &slot)) return false;
    *at = patSlotOffset(g, slot);
    return *at + patSlotSize(g) <= kBufferSize;
}

}  // namespace

bool PatPair::slotInMember(uint64_t pairOffset, int at, uint64_t* slotAt) const {
    const FileGeometry& g = file_.geometry();
    const FileSet& set = file_.fileSet();
    uint16_t member = 0;
    uint64_t rest = 0;
    set.mapOffset(pairOffset, &member, &rest);
    if (member >= set.memberCount() ||
        rest + 2 * uint64_t(g.patPageSize) > set.memberSize(member)) {
        return false;
    }
    *slotAt = pairOffset + uint64_t(currentPat_) * g.patPageSize + uint64_t(at);
    return true;
}

// Writes back pair n after one slot of the current copy changed. When the
// rest of the pair is already on disk as buffered, writing that slot alone
// leaves the file as writing both copies would, at a fraction of the cost of
// a repair run that changes many entries. Under /D, or when a copy could run
// past the end of its member (a full write would extend that member), both
// copies are written.
Status PatPair::writeChangedSlot(uint32_t n, int at) {
    const FileGeometry& g = file_.geometry();
    if (!pairOnDisk_ || file_.verbose() || loadedPair_ != int64_t(n) || hasStaged()) {
        return write(n);
    }
    uint64_t slotAt = 0;
    if (!slotInMember(file_.patPairOffset(n), at, &slotAt)) return write(n);
    Status s = file_.fileSet().write(slotAt, copy(int(currentPat_)) + at, size_t(patSlotSize(g)));
    if (!s) pairOnDisk_ = false;
    return s;
}

Status PatPair::setEntry(uint32_t p, uint32_t physical, uint16_t type) {
    // The tables are asked as the format gives them, message included.
    (void)file_.patEntriesPerPage();
    uint32_t n = 0;
    int at = 0;
    if (!locateEntry(file_, p, &n, &at) || !load(n)) {
        return Status{Failure::Read, file_.fileSet().path(), 0,
                      "the entry's PAT pair cannot be read\n"};
    }
    writePatSlot(file_.geometry(), copy(int(currentPat_)), at, physical, type);
    return writeChangedSlot(n, at);
}

bool PatPair::canStage(uint32_t p) {
    const FileGeometry& g = file_.geometry();
    uint32_t n = 0;
    int at = 0;
    if (!pairOnDisk_ || file_.verbose() || !locateEntry(file_, p, &n, &at)) return false;
    if (loadedPair_ != int64_t(n)) return false;
    uint64_t slotAt = 0;
    if (!slotInMember(tabulon::patPairOffset(g, n), at, &slotAt)) return false;
    return !touchesPageHeader(g, slotAt, uint64_t(patSlotSize(g)));
}

void PatPair::stageEntry(uint32_t p, uint32_t physical, uint16_t type) {
    const FileGeometry& g = file_.geometry();
    uint32_t n = 0;
    int at = 0;
    if (!locateEntry(file_, p, &n, &at)) return;
    writePatSlot(g, copy(int(currentPat_)), at, physical, type);
    const int end = at + patSlotSize(g);
    if (!hasStaged()) {
        stagedBegin_ = at;
        stagedEnd_ = end;
    } else {
        stagedBegin_ = std::min(stagedBegin_, at);
        stagedEnd_ = std::max(stagedEnd_, end);
    }
}

Status PatPair::flushStaged() {
    if (!hasStaged()) return Status{};
    const FileGeometry& g = file_.geometry();
    const uint64_t o = tabulon::patPairOffset(g, uint32_t(loadedPair_));
    const uint64_t from = o + uint64_t(currentPat_) * g.patPageSize + uint64_t(stagedBegin_);
    const size_t n = size_t(stagedEnd_ - stagedBegin_);
    const int begin = stagedBegin_;
    stagedBegin_ = stagedEnd_ = 0;
    Status s = file_.fileSet().write(from, copy(int(currentPat_)) + begin, n);
    if (!s) pairOnDisk_ = false;
    return s;
}

}  // namespace tabulon
