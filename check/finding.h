// Findings and repair actions as values: what the check found and where, and
// what a repair wrote where, with its outcome. The console text of both is
// rendered from the problem table and the action table.
#pragma once

#include <cstdint>
#include <string>

#include "check/problems.h"
#include "fileio/output.h"
#include "fileio/status.h"
#include "format/pageheader.h"

namespace tabulon {

// The report counter a finding adds one to, besides the total: resolved from
// its row's CounterClass and the page type it is counted by.
enum class Tally : uint8_t { None, Pat, Data, Index, Other };

// The tally of page type t's class.
Tally tallyOfType(uint16_t t);

struct Finding {
    Problem code = Problem::PointsElsewhere;
    uint32_t pair = 0;
    // A PAT header finding: the copy (0 or 1), the values expected and found
    // and the width they are shown with; the signature's length.
    int copy = 0;
    uint32_t expected = 0, found = 0;
    int digits = 0;
    int signatureLength = 0;
    uint8_t fieldAt = 0;  // the signature's first byte in the page
    uint16_t version = 0;
    // An entry finding: the slot (from 0), the logical page, its type as the
    // check reads it and as stored, the physical page and its header.
    uint32_t slot = 0;
    uint32_t logical = 0;
    uint16_t type = 0, storedType = 0;
    uint32_t physical = 0;
    bool headerRead = false;
    PageIdentity page{0, 0};
    uint16_t usage = 0;
    // With /O, the file-set offset of the physical page is shown.
    bool showOffset = false;
    uint64_t offset = 0;
    // How the report counts it (the class of the entry's type; with fix bit
    // 8, a page the search finds moves it to that page's class, which the
    // BestPage action then carries), and whether among the zero pointers.
    Tally tally = Tally::None;
    bool zeroPointer = false;

    const ProblemRow& row() const { return problemRow(code); }
    Severity severity() const { return row().severity; }
};

// The console line of a finding (empty for a silent one).
Line renderFinding(const Finding& f);

// The finding's detail sentence for a user (its row's detail template).
std::string renderDetail(const Finding& f);

// What a repair writes.
enum class ActionKind : uint8_t {
    PatHeader,    // fix bit 4: the damaged header fields of both copies of a pair
    PageId,       // fix bit 1: the entry's page id into a zero page header
    FreeSpace,    // fix bit 2: the entry becomes a free-space pointer
    BestPage,     // fix bit 8: the entry points at the best page found
    ResetToFree,  // fix bit 8, no page found by a complete search: data is lost
};

enum class Outcome : uint8_t {
    Waiting,      // staged: its write is still to come
    Written,      // every byte reached the file
    Failed,       // the write failed (status says why)
    NotAttempted  // not written: it would land in the FCR or the PAT
};

struct Action {
    ActionKind kind = ActionKind::FreeSpace;
    uint32_t pair = 0;
    uint32_t logical = 0;
    uint32_t physical = 0;  // the entry's new page, or the page whose header is written
    uint16_t type = 0;      // the entry's new type
    uint32_t fields = 0;    // PatHeader: the header fields it mends
    // BestPage: the tally the entry's finding is counted in from now on.
    Tally tally = Tally::None;
    Outcome outcome = Outcome::Waiting;
    Status status;  // of a failed write
};

// The console line of an action with its outcome (empty when none is shown).
Line renderAction(const Action& a);

// "Unable to write <member>, Status Code N, <system text>"
std::string renderWriteFailure(const Status& s);

}  // namespace tabulon
