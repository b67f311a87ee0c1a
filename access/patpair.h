// The PAT pair in memory: both copies of one pair, loaded from the file set,
// the current copy chosen by usage count, one entry stored and the pair
// written back.
#pragma once

#include <cstdint>
#include <vector>

#include "access/btrfile.h"
#include "fileio/status.h"
#include "format/pat.h"

namespace tabulon {

class PatPair {
  public:
    explicit PatPair(BtrieveFile& file) : file_(file) {}

    // True when pair n is in the buffers. A pair already loaded is not read
    // again.
    bool load(uint32_t n);

    // Writes both copies of pair n as they stand; n must be the loaded pair.
    tabulon::Status write(uint32_t n);

    // Stores a physical page and type into logical page p's entry of the
    // current copy and writes the pair back.
    tabulon::Status setEntry(uint32_t p, uint32_t physical, uint16_t type);

    // Staged entries: a run that sets many entries of one pair stores them in
    // the buffer and writes them back together. canStage tells whether the
    // entry of p can wait: its pair is loaded and on disk as buffered, no
    // /D traces are due, its slot lies inside its member and in no page
    // header that a search reads. flushStaged writes the bytes of the current
    // copy from the first staged slot to the last in one write; ok when it
    // succeeded or nothing was staged.
    bool canStage(uint32_t p);
    void stageEntry(uint32_t p, uint32_t physical, uint16_t type);
    bool hasStaged() const { return stagedEnd_ > stagedBegin_; }
    tabulon::Status flushStaged();

    // Whether the two copies begin with the same page id.
    bool idsMatch() const;

    uint8_t* copy(int c) { return copies_[size_t(c)].data(); }
    const uint8_t* copy(int c) const { return copies_[size_t(c)].data(); }
    // Number of the pair in the buffers; -1 when none. Wider than a pair
    // number so that "none" stays distinct from pair 0xFFFFFFFF.
    int64_t loaded() const { return loadedPair_; }
    uint32_t current() const { return currentPat_; }

  private:
    tabulon::Status writeChangedSlot(uint32_t n, int at);
    // The file-set offset of the slot at byte `at` of the current copy of
    // the pair at pairOffset; false when the pair does not lie wholly inside
    // one member (a write of a slot alone could then extend a member).
    bool slotInMember(uint64_t pairOffset, int at, uint64_t* slotAt) const;

    BtrieveFile& file_;
    std::vector<uint8_t> copies_[2] = {std::vector<uint8_t>(kBufferSize),
                                       std::vector<uint8_t>(kBufferSize)};
    int64_t loadedPair_ = -1;
    uint32_t currentPat_ = 0;
    // Whether the file holds both copies of the loaded pair as the buffers
    // hold them: set by a load and by a complete write-back, cleared by a
    // failed load or write.
    bool pairOnDisk_ = false;
    // Byte range of the current copy that holds staged slots.
    int stagedBegin_ = 0, stagedEnd_ = 0;
};

}  // namespace tabulon
