// The blocks of a Btrieve file set as the undo journal sees them: a write
// into a PAT pair journals both copies of that pair and of the pairs that
// follow it (the scan visits pairs in ascending order, so one group with one
// flush covers the writes of many pairs); any other write (a page header) is
// journaled on its own.
#pragma once

#include <cstdint>

#include "access/btrfile.h"
#include "fileio/journal.h"

namespace tabulon {

class UndoPlan : public JournalPlanner {
  public:
    // groupBytes bounds the PAT bytes journaled together (at least one pair).
    explicit UndoPlan(BtrieveFile& file, uint64_t groupBytes = uint64_t(1) << 20);

    void blocksFor(uint64_t offset, size_t n, std::vector<JournalBlock>* blocks) override;
    uint32_t identitySpan() override;
    void identityGeometry(uint16_t* versionCode, uint16_t* pageSize,
                          uint16_t* patPageSize) override;
    // CRC-32 of the FCR copies, then of every PAT copy (pairs 1 to the last
    // the FCR names, as far as the set holds them) that is not one of the
    // blocks, in ascending order.
    bool fingerprint(const std::vector<std::pair<uint64_t, uint32_t>>& blocks,
                     uint32_t* crc) override;

    // Whether a run could have journaled this block: one PAT copy of some
    // pair (all of it, or as much of it as the member it starts in holds),
    // or the header field of some page outside the table; never more than
    // one member holds.
    bool blockPlanned(uint64_t offset, uint32_t length) const;

  private:
    // The PAT pair whose copies hold the offset; 0 when none does.
    uint32_t pairAt(uint64_t offset) const;

    BtrieveFile& file_;
    uint64_t groupBytes_;
};

}  // namespace tabulon
