// The verdicts of the check on one PAT pair, collected instead of printed: the
// state of both PAT page headers, and for each entry of the current copy the
// header found at the page it points at and what the check makes of it. The
// rules are those of Scanner::checkPatPair without a fix mask and without /Z,
// so the findings of a pair add up to the counters a check run gives it.
#pragma once

#include <cstdint>
#include <vector>

#include "check/scan.h"

// What the check says about one entry.
enum class EntryVerdict {
    Sound,         // the page names the entry's logical page and type
    Elsewhere,     // the page names another logical page or type
    ZeroHeader,    // the page's header is zero, or it lies beyond the end
    ZeroPointer,   // an entry of type 0 that points at a page
    Free,          // the free-space pointer: no page to look at
    InvalidUsage,  // a data page whose usage count lacks its valid bit
};

// Short name of a verdict, as the inspector prints it.
const char* entryVerdictName(EntryVerdict v);

struct EntryFinding {
    uint32_t pair = 0;
    uint32_t slot = 0;  // counted from 0 in the PAT page
    uint32_t logical = 0;
    uint32_t physical = 0;
    uint16_t storedType = 0;  // as the slot holds it
    uint16_t type = 0;        // as the check reads it ('D' 'E' folds to 'D' from 0x0D30)
    bool headerRead = false;  // false: the page lies beyond the end or could not be read
    PageIdentity found{0, 0};
    uint16_t usageCount = 0;
    EntryVerdict verdict = EntryVerdict::Sound;
    // A data page without the valid bit, besides a mismatch (the check
    // counts both).
    bool invalidUsage = false;
    // The page type whose class a mismatch is counted in (the entry's own).
    uint16_t problemType = 0;
};

// The header fields of both copies of a PAT pair, checked as the check does.
struct PatHeaderFinding {
    bool layoutKnown = false;  // false for a version without a known PAT header layout
    bool signatureSound[2] = {false, false};
    uint32_t pairNumber[2] = {0, 0};
    int problems = 0;  // failed field checks: what the check counts as PAT problems
    bool sound() const { return layoutKnown && problems == 0; }
};

PatHeaderFinding examinePatHeaders(uint16_t version, const uint8_t* copy0, const uint8_t* copy1,
                                   uint32_t n);

// Examines every entry of pair n, which the scanner's PatPair must hold, in
// the order the check visits them. Free entries are included.
void examinePairEntries(Scanner& scanner, uint32_t n, std::vector<EntryFinding>& findings);

// Adds the problems of one entry to counters in the check's classes, and the
// page to the examined pages when the check counts it there.
void countEntryFinding(const EntryFinding& f, ScanCounters& counters);
