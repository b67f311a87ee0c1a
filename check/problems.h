// The problem table: every kind of finding the check makes, with its stable
// key, its severity, the counter of the report it adds to, its console text
// and what it means. The check decides which problem an entry or a PAT
// header has; the wording and the grouping live here, and every output form
// (the console text, the inspector's tables and JSON) reads the same rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "check/options.h"
#include "fileio/output.h"

namespace tabulon {

enum class Problem : uint8_t {
    PatSignature,           // a PAT page header lacks its 'P' signature
    PatPairNumber,          // a PAT page header records another pair number
    PatLayoutUnknown,       // no known PAT header layout for the version
    PatIdsDiffer,           // the two copies of a pair begin differently
    PointsElsewhere,        // the page names another logical page or type
    ZeroHeader,             // the page's header is zero, or it lies beyond the end
    InvalidUsage,           // a data page whose usage count lacks its valid bit
    UnusedPointsElsewhere,  // as PointsElsewhere, for an entry of type 0 (under /Z)
    UnusedZeroPointer,      // an entry of type 0 that points at another page
    UnusedZeroHeader,       // as ZeroHeader, for an entry of type 0
    UnusedInvalidUsage,     // as InvalidUsage, reached through an entry of type 0
    LastPairPastEnd,        // the FCR's last PAT pair lies past the end of the file
    FcrCopyDamaged,         // one FCR copy is unusable; the file is read from the other
    LongerThanPages,        // the file set runs far past the FCR's pages
};

constexpr size_t kProblemCount = size_t(Problem::LongerThanPages) + 1;

// How far past the FCR's pages a file set must run before it is a finding:
// a little slack is common, a gigabyte is not.
constexpr uint64_t kFarPastPages = uint64_t(1) << 30;

enum class Severity : uint8_t {
    Damage,       // the table or a page it names is damaged
    UnusedEntry,  // about an entry whose stored type is 0: the engine leaves such entries
    Info,         // worth knowing, not counted as a problem
};

constexpr size_t kSeverityCount = 3;

// The report counters a finding adds one to, besides the total.
enum class CounterClass : uint8_t {
    None,         // not counted (Info)
    PatPage,      // Problems Found (PAT Pages)
    DataPage,     // Problems Found (Data Pages)
    EntryType,    // the class of the entry's page type (or of the page a repair chose)
    ZeroPointer,  // Problems Found (Zero Ptrs), and the class of the entry's type
};

struct ProblemRow {
    Problem code;
    const char* key;  // stable name in JSON and in the manual
    Severity severity;
    CounterClass counter;
    Stream stream;  // where the console line goes
    // Console text, with {name} fields (see renderFinding); empty when the
    // check prints nothing for the finding.
    const char* text;
    const char* label;    // a few words for a table column
    const char* meaning;  // one sentence for the manual
    // One sentence for a user about one finding, with {name} fields (see
    // renderDetail): where it is and the values expected and found.
    const char* detail;
    // The fix bits that mend it (0: none does).
    int32_t mendBits;
};

const ProblemRow& problemRow(Problem code);
// Whether the options' fix mask mends a finding of this row at all, and with
// fix bit `bit` in particular.
inline bool shouldMend(const ProblemRow& row, const ScanOptions& options) {
    return (row.mendBits & options.fixMask) != 0;
}
inline bool mendsWith(const ProblemRow& row, int32_t bit, const ScanOptions& options) {
    return (row.mendBits & options.fixMask & bit) != 0;
}
std::span<const ProblemRow> problemTable();
const char* severityKey(Severity s);  // "damage", "unused-entry", "info"

// Findings per severity.
struct SeverityCounts {
    uint32_t count[kSeverityCount] = {0, 0, 0};
    void add(Problem code) { ++count[size_t(problemRow(code).severity)]; }
    uint32_t of(Severity s) const { return count[size_t(s)]; }
    SeverityCounts& operator+=(const SeverityCounts& o) {
        for (size_t i = 0; i < kSeverityCount; ++i) count[i] += o.count[i];
        return *this;
    }
};

}  // namespace tabulon
