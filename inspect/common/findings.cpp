#include "inspect/common/findings.h"

#include "inspect/common/json.h"
#include "inspect/common/session.h"

using namespace tabulon;

namespace inspect {

static_assert(Damage == 0 && UnusedEntry == 1 && Info == 2 && kSeverities == 3,
              "the survey's tables follow the engine's severities");

const char* severityName(int s) {
    return tabulon::severityKey(tabulon::Severity(s));
}

const char* severityKey(int s) {
    // The table's key as a JSON key: "unused-entry" is "unusedEntry".
    static const std::string keys[kSeverities] = {
        camelKey(tabulon::severityKey(tabulon::Severity(0))),
        camelKey(tabulon::severityKey(tabulon::Severity(1))),
        camelKey(tabulon::severityKey(tabulon::Severity(2))),
    };
    return s >= 0 && s < kSeverities ? keys[s].c_str() : "info";
}

const char* className(int c) {
    switch (c) {
        case ClassPat: return "pat";
        case ClassData: return "data";
        case ClassIndex: return "index";
        default: return "other";
    }
}

uint64_t FileFindings::byClass(int c) const {
    uint64_t n = 0;
    for (int s = 0; s < kSeverities; ++s) n += count[c][s];
    return n;
}

uint64_t FileFindings::damage(bool strict) const {
    return strict ? bySeverity(Damage) + bySeverity(UnusedEntry) : bySeverity(Damage);
}

namespace {

// The counter class of a finding as the engine tallied it; the findings the
// check does not count (info) are about PAT pairs.
ProblemClass classOf(tabulon::Tally t) {
    switch (t) {
        case tabulon::Tally::Data: return ClassData;
        case tabulon::Tally::Index: return ClassIndex;
        case tabulon::Tally::Other: return ClassOther;
        case tabulon::Tally::Pat:
        case tabulon::Tally::None: return ClassPat;
    }
    return ClassPat;
}

}  // namespace

void addFinding(FileFindings& to, const tabulon::Finding& f, bool keep) {
    const ProblemClass cls = classOf(f.tally);
    ++to.count[cls][size_t(f.severity())];
    to.severities.add(f.code);
    if (keep) to.list.push_back(ListedFinding{f, cls});
}

void FindingsCollector::finding(const tabulon::Finding& f) {
    const ProblemClass cls = classOf(f.tally);
    ++out_.count[cls][size_t(f.severity())];
    if (keep_) out_.list.push_back(ListedFinding{f, cls});
}

FileFindings gatherFindings(tabulon::CheckedFile& file, bool keepList,
                            std::vector<tabulon::EventSink*> also) {
    FileFindings out;
    FindingsCollector collect(out, keepList);
    std::vector<tabulon::EventSink*> sinks = {&collect};
    sinks.insert(sinks.end(), also.begin(), also.end());
    file.walk(sinks);
    out.counters = file.counters();
    out.severities = file.severities();
    return out;
}

}  // namespace inspect
