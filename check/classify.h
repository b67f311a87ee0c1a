// The rules of the check, once: what is wrong with the header of a PAT pair,
// and with one PAT entry and the page it points at. Both return findings
// (codes of the problem table with their context) and print nothing.
#pragma once

#include <cstdint>

#include "check/finding.h"
#include "format/geometry.h"
#include "format/pageheader.h"
#include "format/pat.h"

namespace tabulon {

// The header fields of both copies of pair n.
struct PatHeaderCheck {
    const PatHeaderLayout* layout = nullptr;  // nullptr: no known layout
    bool signatureSound[2] = {false, false};
    uint32_t pairNumber[2] = {0, 0};
    // In the order the check reports them: both signatures, then both pair
    // numbers; one PatLayoutUnknown finding without a layout.
    Finding findings[4];
    int count = 0;

    // Damaged header fields (what fix bit 4 mends).
    int problems() const { return layout ? count : 0; }
};

PatHeaderCheck classifyPatHeaders(uint16_t version, const uint8_t* copy0, const uint8_t* copy1,
                                  uint32_t n);

// One entry of a PAT page, and what the check makes of it.
struct EntryCheck {
    uint32_t pair = 0;
    uint32_t slot = 0;  // counted from 0 in the PAT page
    uint32_t logical = 0;
    uint32_t physical = 0;
    uint16_t storedType = 0;  // as the slot holds it
    uint16_t type = 0;        // as the check reads it ('D' 'E' folds to 'D' from 0x0D30)
    bool free = false;        // the free-space pointer: no page to look at
    bool headerRead = false;  // false: the page lies beyond the end or could not be read
    PageHeader header{};
    PageIdentity page{0, 0};
    // The page names the entry's logical page and type: the check counts it
    // among the pages examined.
    bool matches = false;
    // In the order the check reports them: an invalid usage count, then a
    // mismatch.
    Finding findings[2];
    int count = 0;

    bool sound() const { return count == 0; }
};

// Slot `slot` of pair n's current copy `page`, for logical page `logical`.
EntryCheck readEntry(const FileGeometry& g, const uint8_t* page, uint32_t n, uint32_t slot,
                     uint32_t logical);

// Classifies an entry against the header found at its page (headerRead false
// when none could be read). checkZeroPointers is /Z: an entry of type 0 that
// points at another page is then reported like any other entry.
void classifyEntry(const FileGeometry& g, EntryCheck& e, bool headerRead, const PageHeader& header,
                   bool checkZeroPointers);

}  // namespace tabulon
