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

// Slot `slot` of pair n's current copy `page`, for logical page `logical`,
// into e (a walk reuses one EntryCheck for every entry: it is not small).
inline void readEntry(const FileGeometry& g, const uint8_t* page, uint32_t n, uint32_t slot,
                      uint32_t logical, EntryCheck& e);

// Classifies an entry against the header found at its page, which the
// caller put into e.header (all zero when none could be read, headerRead
// false). checkZeroPointers is /Z: an entry of type 0 that points at another
// page is then reported like any other entry.
inline void classifyEntry(const FileGeometry& g, EntryCheck& e, bool headerRead,
                          bool checkZeroPointers);

// Both run for every entry of a check: defined here, where the walk can
// inline them.
inline void readEntry(const FileGeometry& g, const uint8_t* page, uint32_t n, uint32_t slot,
                      uint32_t logical, EntryCheck& e) {
    e.pair = n;
    e.slot = slot;
    e.logical = logical;
    const PatEntry entry = readPatEntry(g, page, slot);
    e.physical = entry.physical;
    e.storedType = e.type = entry.type;
    if (g.versionCode >= version::v1630 && e.type == pagetype::dataExtended)
        e.type = pagetype::data;
    e.free = g.versionCode >= version::v800 && e.physical == pat::freeSpace;
    e.headerRead = false;
    e.matches = false;
    e.count = 0;
}

inline void classifyEntry(const FileGeometry& g, EntryCheck& e, bool headerRead,
                          bool checkZeroPointers) {
    e.headerRead = headerRead;
    e.page = headerRead ? decodePageHeader(g, e.header) : PageIdentity{0, 0};
    e.count = 0;
    const bool unused = e.storedType == 0;
    auto add = [&](Problem code) {
        Finding& f = e.findings[e.count++];
        f.code = code;
        f.pair = e.pair;
        f.slot = e.slot;
        f.logical = e.logical;
        f.type = e.type;
        f.storedType = e.storedType;
        f.physical = e.physical;
        f.headerRead = e.headerRead;
        f.page = e.page;
        f.usage = e.header.usageCount;
    };

    // Compressed pages keep no usage count in their headers.
    if (!g.compressed && e.page.pageType == pagetype::data &&
        !(e.header.usageCount & pagetype::usageValid)) {
        add(unused ? Problem::UnusedInvalidUsage : Problem::InvalidUsage);
    }
    e.matches = e.page.pageId == e.logical && e.page.pageType == e.type;
    if (e.matches) return;
    if (e.page.pageId == 0 && e.page.pageType == 0) {
        add(unused ? Problem::UnusedZeroHeader : Problem::ZeroHeader);
    } else if (!unused) {
        add(Problem::PointsElsewhere);
    } else {
        add(checkZeroPointers ? Problem::UnusedPointsElsewhere : Problem::UnusedZeroPointer);
    }
}

}  // namespace tabulon
