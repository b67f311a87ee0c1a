// The findings of one file set with their severities, as the survey, its
// monitoring formats and the report show them.
//
// The findings are the engine's: the check walks the file set without a fix
// mask and hands over every finding it reports, each with its problem code
// and its severity from the problem table (check/problems.h). This file only
// counts and words them; it decides none of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/checked.h"
#include "check/finding.h"
#include "check/options.h"
#include "check/problems.h"

namespace inspect {

// The engine's severities as indices of the survey's tables.
enum SeverityIndex : uint8_t {
    Damage = uint8_t(tabulon::Severity::Damage),
    UnusedEntry = uint8_t(tabulon::Severity::UnusedEntry),
    Info = uint8_t(tabulon::Severity::Info),
    kSeverities = uint8_t(tabulon::kSeverityCount),
};

// "damage", "unused-entry", "info": the names in every output.
const char* severityName(int s);
// "damage", "unusedEntry", "info": the JSON keys.
const char* severityKey(int s);

// The check's counter classes of a finding.
enum ProblemClass : uint8_t { ClassPat, ClassData, ClassIndex, ClassOther, kClasses };
const char* className(int c);  // "pat", "data", "index", "other"

// One finding of the engine, ready to be shown.
struct ListedFinding {
    tabulon::Finding finding;
    ProblemClass cls = ClassOther;

    const char* code() const { return finding.row().key; }
    int severity() const { return int(finding.severity()); }
};

struct FileFindings {
    tabulon::ScanCounters counters;  // as the check counts them
    tabulon::SeverityCounts severities;  // as the engine counts them
    uint64_t count[kClasses][kSeverities] = {};
    std::vector<ListedFinding> list;  // filled when asked for

    uint64_t bySeverity(int s) const { return severities.count[s]; }
    uint64_t byClass(int c) const;
    // Findings that count as damage: with `strict`, every finding of a problem.
    uint64_t damage(bool strict) const;
};

// Counts a finding, and keeps it when `keep`.
void addFinding(FileFindings& to, const tabulon::Finding& f, bool keep);

// Counts, and keeps when asked, every finding of a walk's stream.
class FindingsCollector : public tabulon::EventSink {
  public:
    FindingsCollector(FileFindings& out, bool keep) : out_(out), keep_(keep) {}
    void finding(const tabulon::Finding& f) override;
    bool wantsDetail() const override { return false; }

  private:
    FileFindings& out_;
    bool keep_;
};

// Walks every PAT pair of an open 6.x+ file set as the check does without a
// fix mask and returns the engine's findings; `keepList` also keeps each
// finding for display. Further sinks take the same walk's stream.
FileFindings gatherFindings(tabulon::CheckedFile& file, bool keepList,
                            std::vector<tabulon::EventSink*> also = {});

}  // namespace inspect
