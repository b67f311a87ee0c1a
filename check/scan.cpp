#include "check/scan.h"

#include <cinttypes>
#include <cstring>

namespace tabulon {

int openModeFor(const ScanOptions& o) {
    if (o.fixMask != 0) return Repair;
    if (o.unprotected) return Unprotected;
    return ExclusiveRead;
}

void ScanCounters::addExamined(uint16_t t) {
    ++totalPagesExamined;
    switch (pageClassOf(t)) {
        case PageClass::Data: ++dataPagesExamined; break;
        case PageClass::Index: ++indexPagesExamined; break;
        case PageClass::Other: ++otherPagesExamined; break;
    }
}

void ScanCounters::addProblemInClassOf(uint16_t t) {
    switch (pageClassOf(t)) {
        case PageClass::Data: ++dataProblems; break;
        case PageClass::Index: ++indexProblems; break;
        case PageClass::Other: ++otherProblems; break;
    }
}

Scanner::Scanner(BtrieveFile& file, const ScanOptions& options)
    : file_(file),
      g_(file.geometry()),
      out_(file.out()),
      options_(options),
      pair_(file),
      cache_(file),
      search_(file, cache_),
      writer_(pair_, out_, [this](const Action& a) { settled(a); }) {}

void Scanner::scanPatPairs() {
    const ScanOptions& o = options_;
    const uint32_t last = file_.lastPatPair();
    // Pair 0 is where the FCR lies: the scan starts at pair 1 at the earliest.
    const uint32_t start = o.startPair == 0 ? 1 : o.startPair;

    if (g_.compressed) {
        out_.err("Scanning PAT Pairs from %lu through %lu using Page Compression Handler...\n",
                 (unsigned long)start, (unsigned long)last);
    } else {
        out_.err("Scanning PAT Pairs from %lu through %lu...\n", (unsigned long)start,
                 (unsigned long)last);
        out_.write(Stream::Err,
                   "Pre-loading page headers into memory for optimal performance...\n");
        cache_.preload(o.progress != 0);
    }
    walk(start, last);
}

void Scanner::preload() {
    if (!g_.compressed) cache_.preload(false);
}

void Scanner::walk(uint32_t first, uint32_t last, ScanObserver* observer, bool entries) {
    const ScanOptions& o = options_;
    // Without a stride only pair 1 can be located.
    const bool onlyFirst = patPairStride(g_) == 0;
    for (uint64_t n = first == 0 ? 1 : first; n <= last; ++n) {
        if (onlyFirst && n > 1) break;
        ++counters_.patPagesExamined;
        if (o.progress) out_.err("Checking PAT Pair 0x%.6lx", (unsigned long)n);
        if (o.showOffsets) {
            out_.err(" at Offset 0x%.10" PRIx64, file_.patPairOffset(uint32_t(n)));
        }
        out_.write(Stream::Err, "...\n");
        if (!pair_.load(uint32_t(n))) {
            if (observer) observer->pastEnd(uint32_t(n));
            break;
        }
        checkPair(uint32_t(n), observer, entries);
    }
}

bool Scanner::fetchPageHeader(uint32_t p, PageHeader& header) {
    // Page-compressed files are never cached; other pages the cache holds no
    // header for (pages past where the preload stopped or past its last whole
    // page) come from the page index, which reads them in gathered pieces,
    // and under /D from the file set one by one, with their trace lines.
    if (!g_.compressed && cache_.lookup(p, header)) return true;
    PageIndex& index = search_.index();
    if (!options_.verbose && p >= kFirstCachedPage) {
        if (!index.built()) index.build();
        if (p < index.end()) return index.header(p, header);
    }
    return file_.readPageHeader(p, header) != 0;
}

void Scanner::report(Finding& f) {
    severities_.add(f.code);
    f.showOffset = options_.showOffsets != 0;
    if (f.showOffset) f.offset = file_.pageOffset(f.physical);
    const Line line = renderFinding(f);
    writer_.print(f.row().stream, line.view());
}

void Scanner::count(const Finding& f, uint16_t classType) {
    ScanCounters& c = counters_;
    switch (f.row().counter) {
        case CounterClass::None: return;
        case CounterClass::PatPage: ++c.patProblems; break;
        case CounterClass::DataPage: ++c.dataProblems; break;
        case CounterClass::ZeroPointer:
            ++c.zeroPointerProblems;
            c.addProblemInClassOf(classType);
            break;
        case CounterClass::EntryType: c.addProblemInClassOf(classType); break;
    }
    ++c.totalProblems;
}

PairReport Scanner::pairReport(uint32_t n, const PatHeaderCheck& h) {
    PairReport r;
    r.n = n;
    r.offset = tabulon::patPairOffset(g_, n);
    r.usage[0] = patUsageCount(g_, pair_.copy(0));
    r.usage[1] = patUsageCount(g_, pair_.copy(1));
    r.current = pair_.current();
    r.idsMatch = pair_.idsMatch();
    r.header = h;
    const uint8_t* page = pair_.copy(int(r.current));
    const uint32_t slots = patSlotsInPage(g_, uint32_t(patEntriesPerPage(g_)));
    for (uint32_t k = 0; k < slots; ++k) {
        const PatEntry e = readPatEntry(g_, page, k);
        const bool isFree = g_.versionCode >= version::v800 ? e.physical == pat::freeSpace
                                                            : e.physical == 0 && e.type == 0;
        ++(isFree ? r.free : r.used);
    }
    return r;
}

void Scanner::checkHeaders(uint32_t n, const PatHeaderCheck& h) {
    int mended = 0;
    for (int i = 0; i < h.count; ++i) {
        Finding f = h.findings[i];
        report(f);
        count(f, 0);
        if (!h.layout || !(options_.fixMask & fixbit::patHeader)) continue;
        uint8_t* page = pair_.copy(f.copy);
        if (f.code == Problem::PatSignature) writePatSignature(*h.layout, page);
        if (f.code == Problem::PatPairNumber) writePatHeaderPairNumber(*h.layout, page, n);
        ++mended;
    }
    if (mended == 0) return;
    Action a;
    a.kind = ActionKind::PatHeader;
    a.pair = n;
    a.fields = uint32_t(mended);
    a.status = pair_.write(n);
    a.outcome = outcomeOf(a.status);
    writer_.settle(a);
}

void Scanner::checkPair(uint32_t n, ScanObserver* observer, bool entries) {
    if (!pair_.idsMatch()) {
        Finding ids;
        ids.code = Problem::PatIdsDiffer;
        ids.pair = n;
        report(ids);
    }
    // The entry count is asked for before the headers are verified: for a
    // page size the tables do not know, its "Unexpected Page Size" line comes
    // before the pair's header errors.
    const uint32_t e = entries ? uint32_t(file_.patEntriesPerPage()) : 0;
    const PatHeaderCheck h = classifyPatHeaders(g_.versionCode, pair_.copy(0), pair_.copy(1), n);
    if (observer) observer->pair(pairReport(n, h));
    checkHeaders(n, h);
    if (!entries) return;

    // Only slots that lie wholly inside the PAT page read from the file.
    const uint32_t slots = patSlotsInPage(g_, e);
    const uint8_t* page = pair_.copy(int(pair_.current()));
    const uint64_t firstLogical = uint64_t(n - 1) * e;
    EntryCheck entry;
    for (uint32_t k = 0; k < slots; ++k) {
        const uint64_t logical = firstLogical + k + 1;
        if (logical - 1 > g_.pageCount || logical > UINT32_MAX) break;
        readEntry(g_, page, n, k, uint32_t(logical), entry);
        if (!entry.free) checkEntry(entry);
        if (observer) observer->entry(entry);
    }
    // Staged entries reach the file, and their lines the output, before the
    // next pair.
    writer_.commit();
}

void Scanner::checkEntry(EntryCheck& e) {
    const bool verbose = options_.verbose;
    const uint32_t p = e.physical;
    if (verbose) out_.out("Reading Physical Page 0x%.8x\n", unsigned(p));
    PageHeader& header = e.header;
    std::memset(&header, 0, sizeof header);
    const bool read = fetchPageHeader(p, header);
    if (!read) {
        if (verbose) out_.err("Bad Page Read For Physical Page 0x%.8lX\n", (unsigned long)p);
        std::memset(&header, 0, sizeof header);
    }
    classifyEntry(g_, e, read, options_.checkZeroPointers != 0);

    if (verbose) {
        out_.out("PATPair %lu, Entry %d (LogPATEntry 0x%.8x) Type=%.4x => PhysPage 0x%.8x\n",
                 (unsigned long)e.pair, int(e.slot), unsigned(e.logical), unsigned(e.type),
                 unsigned(p));
        out_.out("PhysPage 0x%.8x contains LogPage 0x%.8x of Type %.4x\n", unsigned(p),
                 unsigned(e.page.pageId), unsigned(e.page.pageType));
    }
    for (int i = 0; i < e.count; ++i) {
        Finding& f = e.findings[i];
        report(f);
        const bool mismatch =
            f.code != Problem::InvalidUsage && f.code != Problem::UnusedInvalidUsage;
        // A zero pointer is counted, not mended.
        const bool mend = mismatch && f.code != Problem::UnusedZeroPointer;
        count(f, mend ? repairEntry(e, f) : e.type);
    }
    if (e.matches) counters_.addExamined(e.type);
}

}  // namespace tabulon
