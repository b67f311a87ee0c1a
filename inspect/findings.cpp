#include "inspect/findings.h"

#include "check/scan.h"
#include "format/pageheader.h"
#include "inspect/session.h"

namespace inspect {

static_assert(Damage == 0 && UnusedEntry == 1 && Info == 2 && kSeverities == 3,
              "the survey's tables follow the engine's severities");

const char* severityName(int s) {
    return tabulon::severityKey(tabulon::Severity(s));
}

const char* severityKey(int s) {
    switch (s) {
        case Damage: return "damage";
        case UnusedEntry: return "unusedEntry";
        default: return "info";
    }
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

// The counter class the engine counts a finding in; `type` is the page type
// of its entry. Findings the check does not count (info) are about PAT pages.
ProblemClass classOf(const tabulon::Finding& f, uint16_t type) {
    switch (f.row().counter) {
        case tabulon::CounterClass::DataPage: return ClassData;
        case tabulon::CounterClass::EntryType:
        case tabulon::CounterClass::ZeroPointer:
            switch (pageClassOf(type)) {
                case PageClass::Data: return ClassData;
                case PageClass::Index: return ClassIndex;
                case PageClass::Other: return ClassOther;
            }
            return ClassOther;
        default: return ClassPat;
    }
}

// A sentence for the report: where the finding is and the problem table's
// label for it.
std::string explain(const tabulon::Finding& f, bool entry) {
    using tabulon::Problem;
    const std::string label = f.row().label;
    if (!entry) {
        switch (f.code) {
            case Problem::PatSignature:
            case Problem::PatPairNumber: return tabulon::renderDetail(f);
            default: return strf("PAT pair %lu: %s", (unsigned long)f.pair, label.c_str());
        }
    }
    std::string t = strf("the entry of logical page %lu (type 0x%.4x) in PAT pair %lu: %s",
                         (unsigned long)f.logical, unsigned(f.storedType),
                         (unsigned long)f.pair, label.c_str());
    if (f.code == Problem::InvalidUsage || f.code == Problem::UnusedInvalidUsage) {
        return t + strf(" (physical page %lu, usage word 0x%.4x)", (unsigned long)f.physical,
                        unsigned(f.usage));
    }
    if (!f.headerRead) {
        return t + strf(" (physical page %lu cannot be read)", (unsigned long)f.physical);
    }
    return t + strf(" (physical page %lu names logical page %lu of type 0x%.4x)",
                    (unsigned long)f.physical, (unsigned long)f.page.pageId,
                    unsigned(f.page.pageType));
}

// Counts, and keeps when asked, every finding the walk reports.
class Collector : public tabulon::EventSink {
  public:
    Collector(FileFindings& out, bool keep) : out_(out), keep_(keep) {}

    void pair(const tabulon::PairEvent& r) override {
        if (!r.idsMatch) {
            tabulon::Finding ids;
            ids.code = tabulon::Problem::PatIdsDiffer;
            ids.pair = r.n;
            add(ids, 0, false);
        }
        for (int i = 0; i < r.header.count; ++i) add(r.header.findings[i], 0, false);
    }
    void entry(const tabulon::EntryCheck& e) override {
        for (int i = 0; i < e.count; ++i) add(e.findings[i], e.type, true);
    }
    void notice(const tabulon::Notice& n) override {
        if (n.kind == tabulon::NoticeKind::PastEnd) out_.pastEnd = uint32_t(n.value);
    }

  private:
    void add(const tabulon::Finding& f, uint16_t type, bool entry) {
        const ProblemClass cls = classOf(f, type);
        ++out_.count[cls][size_t(f.severity())];
        if (!keep_) return;
        ListedFinding k;
        k.finding = f;
        k.cls = cls;
        k.explanation = explain(f, entry);
        out_.list.push_back(std::move(k));
    }

    FileFindings& out_;
    bool keep_;
};

}  // namespace

FileFindings gatherFindings(BtrieveFile& file, bool shared, bool keepList) {
    FileFindings out;
    tabulon::Scanner scanner(file, quietOptions(shared));
    scanner.preload();
    Collector collect(out, keepList);
    scanner.walk(1, file.lastPatPair(), &collect);
    out.counters = scanner.counters();
    out.severities = scanner.severities();
    return out;
}

}  // namespace inspect
