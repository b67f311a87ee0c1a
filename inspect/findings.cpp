#include "inspect/findings.h"

#include "format/pat.h"
#include "inspect/session.h"

namespace inspect {

const char* severityName(int s) {
    switch (s) {
        case Damage: return "damage";
        case UnusedEntry: return "unused-entry";
        default: return "info";
    }
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

uint64_t FileFindings::bySeverity(int s) const {
    uint64_t n = 0;
    for (int c = 0; c < kClasses; ++c) n += count[c][s];
    return n;
}

uint64_t FileFindings::byClass(int c) const {
    uint64_t n = 0;
    for (int s = 0; s < kSeverities; ++s) n += count[c][s];
    return n;
}

uint64_t FileFindings::damage(bool strict) const {
    return strict ? bySeverity(Damage) + bySeverity(UnusedEntry) : bySeverity(Damage);
}

// ---------------------------------------------------------------------------
// The single point where the check's findings become the survey's values.
// Everything below this line turns what check/entries.h returns into codes,
// classes, severities and explanations; no other file of the inspector
// decides any of them. When the engine carries its own problem table with
// severities, this part is what gives way to it.
// ---------------------------------------------------------------------------

Severity entrySeverity(const EntryFinding& f) {
    return f.storedType == 0 ? UnusedEntry : Damage;
}

namespace {

const char* entryCode(EntryVerdict v) {
    switch (v) {
        case EntryVerdict::Elsewhere: return "entryElsewhere";
        case EntryVerdict::ZeroHeader: return "entryZeroHeader";
        case EntryVerdict::ZeroPointer: return "zeroPointer";
        case EntryVerdict::InvalidUsage: return "invalidUsage";
        default: return "sound";
    }
}

std::string entryExplanation(const EntryFinding& f, EntryVerdict v) {
    const std::string entry =
        strf("the entry of logical page %lu (type 0x%.4x) in PAT pair %lu",
             (unsigned long)f.logical, unsigned(f.storedType), (unsigned long)f.pair);
    switch (v) {
        case EntryVerdict::Elsewhere:
            return entry + strf(
                               " points at physical page %lu, whose header names logical "
                               "page %lu of type 0x%.4x",
                               (unsigned long)f.physical, (unsigned long)f.found.pageId,
                               unsigned(f.found.pageType));
        case EntryVerdict::ZeroHeader:
            return entry + strf(
                               " points at physical page %lu, whose header is zero or lies "
                               "beyond the end of the set",
                               (unsigned long)f.physical);
        case EntryVerdict::ZeroPointer:
            return entry + strf(
                               " has type 0 but points at physical page %lu (logical page %lu "
                               "of type 0x%.4x there)",
                               (unsigned long)f.physical, (unsigned long)f.found.pageId,
                               unsigned(f.found.pageType));
        default:
            return strf(
                "data page %lu of logical page %lu has a usage count without its valid "
                "bit (0x%.4x)",
                (unsigned long)f.physical, (unsigned long)f.logical, unsigned(f.usageCount));
    }
}

// Adds the problems the check counts for one change of the counters.
void addCounted(const ScanCounters& before, const ScanCounters& after, Severity s,
                FileFindings& out) {
    out.count[ClassPat][s] += after.patProblems - before.patProblems;
    out.count[ClassData][s] += after.dataProblems - before.dataProblems;
    out.count[ClassIndex][s] += after.indexProblems - before.indexProblems;
    out.count[ClassOther][s] += after.otherProblems - before.otherProblems;
}

// The class the check counts a problem of page type t in.
ProblemClass classOfType(uint16_t t) {
    uint32_t data = 0, index = 0, other = 0;
    countByClass(t, data, index, other);
    return data ? ClassData : index ? ClassIndex : ClassOther;
}

void keepEntry(const EntryFinding& f, EntryVerdict v, ProblemClass cls, FileFindings& out) {
    Finding k;
    k.code = entryCode(v);
    k.severity = entrySeverity(f);
    k.cls = cls;
    k.pair = f.pair;
    k.logical = f.logical;
    k.physical = f.physical;
    k.hasEntry = true;
    k.explanation = entryExplanation(f, v);
    out.list.push_back(std::move(k));
}

void keepHeader(const PatHeaderFinding& h, uint32_t n, FileFindings& out) {
    for (int c = 0; c < 2; ++c) {
        Finding k;
        k.severity = Damage;
        k.cls = ClassPat;
        k.pair = n;
        k.copy = c;
        if (!h.signatureSound[c]) {
            k.code = "patSignature";
            k.explanation =
                strf("copy %d of PAT pair %lu lacks its signature", c, (unsigned long)n);
            out.list.push_back(k);
        }
        if (h.pairNumber[c] != n) {
            k.code = "patPairNumber";
            k.explanation = strf("copy %d of PAT pair %lu names pair %lu", c, (unsigned long)n,
                                 (unsigned long)h.pairNumber[c]);
            out.list.push_back(k);
        }
    }
}

}  // namespace

FileFindings gatherFindings(BtrieveFile& file, bool shared, bool keepList) {
    FileFindings out;
    Scanner scanner(file, quietOptions(shared));
    preloadLikeCheck(scanner);
    ScanCounters& c = out.counters;
    std::vector<EntryFinding> findings;
    out.pastEnd = walkPairs(scanner, 1, file.lastPatPair(), [&](const PairRecord& r) {
        c.patPagesExamined++;
        c.patProblems += uint32_t(r.header.problems);
        c.totalProblems += uint32_t(r.header.problems);
        out.count[ClassPat][Damage] += uint64_t(r.header.problems);
        if (keepList && r.header.problems > 0) keepHeader(r.header, r.n, out);
        findings.clear();
        examinePairEntries(scanner, r.n, findings);
        for (const EntryFinding& f : findings) {
            const ScanCounters before = c;
            countEntryFinding(f, c);
            if (c.totalProblems == before.totalProblems) continue;
            addCounted(before, c, entrySeverity(f), out);
            if (!keepList) continue;
            const bool sound =
                f.verdict == EntryVerdict::Sound || f.verdict == EntryVerdict::InvalidUsage;
            if (!sound) keepEntry(f, f.verdict, classOfType(f.problemType), out);
            if (f.invalidUsage) keepEntry(f, EntryVerdict::InvalidUsage, ClassData, out);
        }
    });
    // The check counts the pair it could not load among the PAT pages examined.
    if (out.pastEnd) {
        c.patPagesExamined++;
        out.count[ClassPat][Info]++;
        if (keepList) {
            Finding k;
            k.code = "pairPastEnd";
            k.severity = Info;
            k.cls = ClassPat;
            k.pair = out.pastEnd;
            k.explanation = strf(
                "PAT pair %lu and those after it lie past the end of the set "
                "(the FCR names %lu as the last)",
                (unsigned long)out.pastEnd, (unsigned long)file.lastPatPair());
            out.list.push_back(std::move(k));
        }
    }
    return out;
}

}  // namespace inspect
