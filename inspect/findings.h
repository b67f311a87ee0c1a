// The findings of one file set with their severities, as the survey, its
// monitoring formats and the report show them.
//
// A finding's severity says whether it needs an administrator: `damage`, or
// `unused-entry` for a finding on a PAT entry whose stored type is 0 (what
// engines leave behind in healthy files), or `info` for what is worth telling
// but no problem. The findings come from the check's own classification; the
// one function that turns them into these values is gatherFindings().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "check/entries.h"
#include "check/options.h"

namespace inspect {

enum Severity : uint8_t { Damage, UnusedEntry, Info, kSeverities };

// "damage", "unused-entry", "info": the names in every output.
const char* severityName(int s);
// "damage", "unusedEntry", "info": the JSON keys.
const char* severityKey(int s);

// The check's counter classes of a problem.
enum ProblemClass : uint8_t { ClassPat, ClassData, ClassIndex, ClassOther, kClasses };
const char* className(int c);  // "pat", "data", "index", "other"

// One finding, ready to be shown.
struct Finding {
    std::string code;  // e.g. "entryElsewhere"
    Severity severity = Damage;
    ProblemClass cls = ClassOther;
    uint32_t pair = 0;
    int copy = -1;  // the PAT copy, for a PAT header finding
    uint32_t logical = 0, physical = 0;
    bool hasEntry = false;  // logical and physical are meaningful
    std::string explanation;
};

struct FileFindings {
    ScanCounters counters;  // as the check counts them
    uint64_t count[kClasses][kSeverities] = {};
    uint64_t info = 0;          // findings of severity info (no problem, no class)
    uint32_t pastEnd = 0;       // the first pair that lies past the end of the set, or 0
    std::vector<Finding> list;  // filled when asked for

    uint64_t bySeverity(int s) const;
    uint64_t byClass(int c) const;
    // Findings that count as damage: with `strict`, every finding of a problem.
    uint64_t damage(bool strict) const;
};

// Severity of one entry finding of the check.
Severity entrySeverity(const EntryFinding& f);

// Examines every PAT pair of an open 6.x+ file set without a fix mask and
// returns its findings; `keepList` also keeps each finding for display.
FileFindings gatherFindings(BtrieveFile& file, bool shared, bool keepList);

}  // namespace inspect
