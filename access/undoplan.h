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

  private:
    // The PAT pair whose copies hold the offset; 0 when none does.
    uint32_t pairAt(uint64_t offset) const;

    BtrieveFile& file_;
    uint64_t groupBytes_;
};

}  // namespace tabulon
