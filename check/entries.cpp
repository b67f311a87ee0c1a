#include "check/entries.h"

#include <cstring>

#include "format/layout.h"
#include "format/pat.h"

const char* entryVerdictName(EntryVerdict v) {
    switch (v) {
        case EntryVerdict::Sound: return "sound";
        case EntryVerdict::Elsewhere: return "points at another page";
        case EntryVerdict::ZeroHeader: return "zero header or beyond the end";
        case EntryVerdict::ZeroPointer: return "zero pointer";
        case EntryVerdict::Free: return "free";
        case EntryVerdict::InvalidUsage: return "invalid usage count";
    }
    return "?";
}

namespace {

// The signature of one PAT page header in the family of the version; the
// caller knows the layout exists.
bool signatureSound(uint16_t v, const uint8_t* page) {
    if (v == version::v600 || v == version::v610) {
        return page[pat::sig600] == pat::signatureByte &&
               page[pat::sig600 + 1] == pat::signatureByte;
    }
    if (v == version::v700) return page[pat::sig700] == pat::signatureByte;
    return page[pat::sig800] == pat::signatureByte && page[pat::sig800 + 1] == pat::signatureByte;
}

}  // namespace

PatHeaderFinding examinePatHeaders(uint16_t version, const uint8_t* copy0, const uint8_t* copy1,
                                   uint32_t n) {
    PatHeaderFinding f;
    const uint8_t* copies[2] = {copy0, copy1};
    for (int c = 0; c < 2; ++c) {
        if (!patHeaderPairNumber(version, copies[c], &f.pairNumber[c])) return PatHeaderFinding{};
        f.signatureSound[c] = signatureSound(version, copies[c]);
        f.problems += (f.signatureSound[c] ? 0 : 1) + (f.pairNumber[c] == n ? 0 : 1);
    }
    f.layoutKnown = true;
    return f;
}

void examinePairEntries(Scanner& scanner, uint32_t n, std::vector<EntryFinding>& findings) {
    BtrieveFile& file = scanner.file();
    const FileGeometry& g = file.geometry();
    const uint32_t e = uint32_t(patEntriesPerPage(g));
    const uint32_t slots = patSlotsInPage(g, e);
    const uint8_t* page = scanner.pair().copy(int(scanner.pair().current()));
    const uint64_t firstLogical = uint64_t(n - 1) * e;
    for (uint32_t k = 0; k < slots; ++k) {
        const uint64_t logical = firstLogical + k + 1;
        if (logical - 1 > g.pageCount || logical > UINT32_MAX) break;
        EntryFinding f;
        f.pair = n;
        f.slot = k;
        f.logical = uint32_t(logical);
        const PatEntry entry = readPatEntry(g, page, k);
        f.physical = entry.physical;
        f.storedType = f.type = entry.type;
        if (g.versionCode >= version::v1630 && f.type == pagetype::dataExtended) {
            f.type = pagetype::data;
        }
        f.problemType = f.type;
        if (g.versionCode >= version::v800 && f.physical == pat::freeSpace) {
            f.verdict = EntryVerdict::Free;
            findings.push_back(f);
            continue;
        }

        PageHeader header;
        std::memset(&header, 0, sizeof header);
        f.headerRead = scanner.fetchPageHeader(f.physical, header);
        if (f.headerRead) {
            f.found = decodePageHeader(g, header);
            f.usageCount = header.usageCount;
        }
        f.invalidUsage = !g.compressed && f.found.pageType == pagetype::data &&
                         !(f.usageCount & pagetype::usageValid);
        if (f.found.pageId == f.logical && f.found.pageType == f.type) {
            f.verdict = f.invalidUsage ? EntryVerdict::InvalidUsage : EntryVerdict::Sound;
        } else if (f.found.pageId == 0 && f.found.pageType == 0) {
            f.verdict = EntryVerdict::ZeroHeader;
        } else if (f.type == 0) {
            f.verdict = EntryVerdict::ZeroPointer;
        } else {
            f.verdict = EntryVerdict::Elsewhere;
        }
        findings.push_back(f);
    }
}

void countEntryFinding(const EntryFinding& f, ScanCounters& c) {
    if (f.verdict == EntryVerdict::Free) return;
    if (f.invalidUsage) {
        ++c.totalProblems;
        ++c.dataProblems;
    }
    if (f.verdict == EntryVerdict::Sound || f.verdict == EntryVerdict::InvalidUsage) {
        ++c.totalPagesExamined;
        countByClass(f.type, c.dataPagesExamined, c.indexPagesExamined, c.otherPagesExamined);
        return;
    }
    if (f.verdict == EntryVerdict::ZeroPointer) ++c.zeroPointerProblems;
    ++c.totalProblems;
    countByClass(f.problemType, c.dataProblems, c.indexProblems, c.otherProblems);
}
