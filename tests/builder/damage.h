// Damage injectors: each one plants one kind of fault that a PAT check must
// find, on a file made by makeHealthy. Logical pages are named by number; the
// page "of" a logical page is the physical page the generator placed it in.
#pragma once

#include <cstdint>
#include <optional>

#include "builder/btrfile.h"

namespace tbuild {

// The entry of L points at physical page phys; its type is kept.
void pointEntryAt(BtrFile& f, std::uint32_t logical, std::uint32_t phys,
                  CopySel sel = CopySel::Current);
// The entry of L points at the page of logical page other (a page that names
// another logical page). L's own page stays where it was, so a search for
// the best page finds it.
void misdirectEntry(BtrFile& f, std::uint32_t logical, std::uint32_t other,
                    CopySel sel = CopySel::Current);
// The entry of L points `beyond` pages past the last page slot of the file.
// Returns the physical page number written.
std::uint32_t pointEntryBeyondEnd(BtrFile& f, std::uint32_t logical, std::uint32_t beyond = 0,
                                  CopySel sel = CopySel::Current);
// The entry of L keeps its page but carries another type (0 included).
void setEntryType(BtrFile& f, std::uint32_t logical, std::uint16_t type,
                  CopySel sel = CopySel::Current);
// The page of L loses its header: page id and type zero (usage count kept
// unless zeroUsage).
void zeroPageHeader(BtrFile& f, std::uint32_t logical, bool zeroUsage = false);
// The page of L keeps its header but bit 15 of its usage count is cleared.
void clearUsageBit(BtrFile& f, std::uint32_t logical);
// Adds a page at the end of the file whose header names L, with the given
// usage count and type (L's own type when none is given); returns its
// physical page number. Several of them make competing candidates.
std::uint32_t addCandidatePage(BtrFile& f, std::uint32_t logical, std::uint16_t usage,
                               std::optional<std::uint16_t> type = std::nullopt);
// Breaks the PAT signature of one copy of a pair (the first signature byte
// of the family becomes 'Q').
void damagePatSignature(BtrFile& f, std::uint32_t pair, int copy);
// Stores another pair number in one copy's header.
void damagePatNumber(BtrFile& f, std::uint32_t pair, int copy, std::uint32_t number);
// Makes the PAT page IDs of a pair differ in a byte that no header check
// reads (from 8.x on: byte 5 of copy 1).
void makePatIdsDiffer(BtrFile& f, std::uint32_t pair, std::uint8_t value = 0x5A);

}  // namespace tbuild
