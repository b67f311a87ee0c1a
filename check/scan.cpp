#include "check/scan.h"

#include <algorithm>
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

void ScanCounters::addExamined(uint32_t data, uint32_t index, uint32_t other) {
    dataPagesExamined += data;
    indexPagesExamined += index;
    otherPagesExamined += other;
    totalPagesExamined += data + index + other;
}

void ScanCounters::addProblemInClassOf(uint16_t t) {
    switch (pageClassOf(t)) {
        case PageClass::Data: ++dataProblems; break;
        case PageClass::Index: ++indexProblems; break;
        case PageClass::Other: ++otherProblems; break;
    }
}

Scanner::Scanner(BtrieveFile& file, const ScanOptions& options, EventSink* sink)
    : file_(file),
      g_(file.geometry()),
      sink_(sink ? sink : &none_),
      options_(options),
      pair_(file),
      cache_(file),
      search_(file, cache_),
      writer_(pair_, counters_, writeFailures_) {
    writer_.setSink(sink_);
}

void Scanner::scanPatPairs(EventSink& sink) {
    EventSink* const own = sink_;
    sink_ = &sink;
    writer_.setSink(sink_);
    const ScanOptions& o = options_;
    const uint32_t last = file_.lastPatPair();
    // Pair 0 is where the FCR lies: the scan starts at pair 1 at the earliest.
    const uint32_t start = o.startPair == 0 ? 1 : o.startPair;

    if (g_.compressed) {
        sink_->emitf(NoticeKind::ScanStart, Stream::Err, uint64_t(start),
                     "Scanning PAT Pairs from %lu through %lu using Page Compression "
                     "Handler...\n",
                     (unsigned long)start, (unsigned long)last);
    } else {
        sink_->emitf(NoticeKind::ScanStart, Stream::Err, uint64_t(start),
                     "Scanning PAT Pairs from %lu through %lu...\n", (unsigned long)start,
                     (unsigned long)last);
        sink_->emit(NoticeKind::PreloadStart, Stream::Err,
                    "Pre-loading page headers into memory for optimal performance...\n");
        preloadUpToPages(o.progress != 0);
    }
    walk(start, last);
    sink_ = own;
    writer_.setSink(sink_);
}

void Scanner::preload() {
    if (!g_.compressed) preloadUpToPages(false);
}

// The check reads the headers of the pages its entries name, which a sound
// file holds among the FCR's pages: the table ends there, and a page past
// them is read on its own.
void Scanner::preloadUpToPages(bool showProgress) {
    cache_.limitTo(g_.pageCount);
    cache_.preload(showProgress);
}

void Scanner::walk(uint32_t first, uint32_t last, EventSink* observer, bool entries) {
    EventSink* const own = sink_;
    if (observer) sink_ = observer;
    writer_.setSink(sink_);
    // Without a stride only pair 1 can be located.
    const bool onlyFirst = patPairStride(g_) == 0;
    for (uint64_t n = first == 0 ? 1 : first; n <= last; ++n) {
        if (onlyFirst && n > 1) break;
        ++counters_.patPagesExamined;
        progress(uint32_t(n));
        if (!pair_.load(uint32_t(n))) {
            pastEnd(uint32_t(n), uint32_t(last));
            break;
        }
        checkPair(uint32_t(n), entries);
    }
    sink_ = own;
    writer_.setSink(sink_);
}

// The walk meets the end of the file before the last pair it was given: one
// info finding, with how many pairs fit. It has no console text and counts in
// no counter.
void Scanner::pastEnd(uint32_t pair, uint32_t last) {
    Finding f;
    f.code = Problem::LastPairPastEnd;
    f.pair = pair;
    f.expected = last;
    f.found = pair - 1;
    report(f, 0);
}

// "Checking PAT Pair 0x%.6lx[ at Offset 0x%.10I64x]...\n": the offset is
// asked for between the pieces, with its /D traces.
void Scanner::progress(uint32_t n) {
    if (options_.progress) {
        Line line;
        line.text("Checking PAT Pair 0x").hex(n, 6);
        sink_->emit(NoticeKind::PairProgress, Stream::Err, line.view(), n);
    }
    if (options_.showOffsets) {
        const uint64_t at = file_.patPairOffset(n);
        Line line;
        line.text(" at Offset 0x").hex(at, 10);
        sink_->emit(NoticeKind::PairProgress, Stream::Err, line.view(), n);
    }
    sink_->emit(NoticeKind::PairProgress, Stream::Err, "...\n", n);
}

bool Scanner::fetchPageHeader(uint32_t p, PageHeader& header) {
    // Page-compressed files are never cached; other pages the cache holds no
    // header for (pages past where the preload stopped or past its last whole
    // page) come from the page index, which reads them in gathered pieces,
    // and under /D from the file set one by one, with their trace lines.
    if (!g_.compressed && cache_.lookup(p, header)) return true;
    PageIndex& index = search_.index();
    if (!options_.verbose && p >= kFirstCachedPage) {
        // Built here, for the check's reads alone, the index too ends at the
        // FCR's pages; only the best-page search and the version ledger
        // look at every page.
        if (!index.built() && (options_.fixMask & fixbit::bestPage) == 0 && !ledger_) {
            index.limitTo(g_.pageCount);
        }
        if (!index.built()) index.build();
        if (p < index.end()) return index.header(p, header);
    }
    return file_.readPageHeader(p, header) != 0;
}

void Scanner::report(Finding& f, uint16_t classType) {
    severities_.add(f.code);
    f.showOffset = options_.showOffsets != 0;
    if (f.showOffset) f.offset = file_.pageOffset(f.physical);
    const CounterClass counter = f.row().counter;
    switch (counter) {
        case CounterClass::None: f.tally = Tally::None; break;
        case CounterClass::PatPage: f.tally = Tally::Pat; break;
        case CounterClass::DataPage: f.tally = Tally::Data; break;
        case CounterClass::ZeroPointer:
        case CounterClass::EntryType: f.tally = tallyOfType(classType); break;
    }
    f.zeroPointer = counter == CounterClass::ZeroPointer;
    writer_.finding(f);
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

PairEvent Scanner::pairEvent(uint32_t n, const PatHeaderCheck& h) {
    PairEvent r;
    r.n = n;
    r.offset = tabulon::patPairOffset(g_, n);
    r.usage[0] = patUsageCount(g_, pair_.copy(0));
    r.usage[1] = patUsageCount(g_, pair_.copy(1));
    r.current = pair_.current();
    r.idsMatch = pair_.idsMatch();
    r.header = h;
    if (!sink_->wantsDetail()) return r;
    const uint8_t* page = pair_.copy(int(r.current));
    const uint32_t slots = patSlotsInPage(g_, uint32_t(patEntriesPerPage(g_)));
    for (uint32_t k = 0; k < slots; ++k)
        ++(isFreeSlot(g_, readPatEntry(g_, page, k)) ? r.free : r.used);
    return r;
}

void Scanner::checkHeaders(uint32_t n, const PatHeaderCheck& h) {
    int mended = 0;
    for (int i = 0; i < h.count; ++i) {
        Finding f = h.findings[i];
        report(f, 0);
        count(f, 0);
        if (!h.layout || !shouldMend(f.row(), options_)) continue;
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

void Scanner::checkPair(uint32_t n, bool entries) {
    if (!pair_.idsMatch()) {
        Finding ids;
        ids.code = Problem::PatIdsDiffer;
        ids.pair = n;
        report(ids, 0);
    }
    // The entry count is asked for before the headers are verified: for a
    // page size the tables do not know, its "Unexpected Page Size" line comes
    // before the pair's header errors.
    const uint32_t e = entries ? uint32_t(file_.patEntriesPerPage()) : 0;
    const PatHeaderCheck h = classifyPatHeaders(g_.versionCode, pair_.copy(0), pair_.copy(1), n);
    sink_->pair(pairEvent(n, h));
    checkHeaders(n, h);
    if (!entries) return;
    checkEntries(n, e);
    // Staged entries reach the file, and their values the sink, before the
    // next pair.
    writer_.commit();
}

// The entries of the current copy, in slot order, up to the FCR's page count.
void Scanner::checkEntries(uint32_t n, uint32_t e) {
    // Only slots that lie wholly inside the PAT page read from the file, and
    // only those of logical pages up to the page count that have a 32-bit
    // number.
    const uint32_t slots = patSlotsInPage(g_, e);
    const uint8_t* page = pair_.copy(int(pair_.current()));
    const uint64_t firstLogical = uint64_t(n - 1) * e;
    const uint64_t upToCount = firstLogical <= g_.pageCount ? g_.pageCount - firstLogical + 1 : 0;
    const uint64_t numbered = firstLogical < UINT32_MAX ? UINT32_MAX - firstLogical : 0;
    const uint32_t count = uint32_t(std::min({uint64_t(slots), upToCount, numbered}));
    const bool wanted = sink_->wantsDetail();
    const bool quick = !wanted && !options_.verbose;
    EntryCheck entry;
    for (uint32_t k = 0; k < count; ++k) {
        if (quick) k = quickEntries(page, k, count, uint32_t(firstLogical));
        if (k == count) break;
        readEntry(g_, page, n, k, uint32_t(firstLogical) + k + 1, entry);
        if (!entry.free) checkEntry(entry);
        if (wanted) sink_->entry(entry);
    }
}

// The common case without the entries' records: settles entries k, k + 1,
// ... that are free or whose cached page names them soundly (counted as
// examined); returns the first entry the full check must look at, or count.
uint32_t Scanner::quickEntries(const uint8_t* page, uint32_t k, uint32_t count,
                               uint32_t firstLogical) {
    // A cache that shares its table and holds headers of its own beside it
    // settles no page of a chunk that holds one.
    if (cache_.ownChunks()) return quickEntriesOf<true>(page, k, count, firstLogical);
    return quickEntriesOf<false>(page, k, count, firstLogical);
}

template <bool Own>
uint32_t Scanner::quickEntriesOf(const uint8_t* page, uint32_t k, uint32_t count,
                                 uint32_t firstLogical) {
    using enum SlotLayout;
    switch (patSlotLayout(g_)) {
        case Packed: return settleEntries<Packed, false, Own>(page, k, count, firstLogical);
        case Wide6: return settleEntries<Wide6, false, Own>(page, k, count, firstLogical);
        case Wide8:
            // 'D' 'E' entries are 'D' entries from 0x0D30 on.
            if (g_.versionCode >= version::v1630) {
                return settleEntries<Wide8, true, Own>(page, k, count, firstLogical);
            }
            return settleEntries<Wide8, false, Own>(page, k, count, firstLogical);
    }
    return k;
}

template <SlotLayout L, bool Fold, bool Own>
uint32_t Scanner::settleEntries(const uint8_t* page, uint32_t k, uint32_t count,
                                uint32_t firstLogical) {
    const HeaderWord* words = cache_.words();
    const uint8_t* ownChunks = cache_.ownChunks();
    // The cached pages, less any that the free-space pointer could name;
    // page-compressed files keep no cache.
    const uint32_t cachedEnd =
        g_.compressed ? kFirstCachedPage : std::min(cache_.cachedEnd(), pat::freeSpace);
    const uint32_t cachedPages = cachedEnd - kFirstCachedPage;
    // A sound data page names its logical page and type 'D' and has the valid
    // bit of its usage count set; the other bits of the count do not matter.
    constexpr HeaderWord kDataMask = ~headerWord(0, 0, pagetype::usageValue);
    constexpr HeaderWord kIdAndType = headerWord(0xFFFFFFFF, 0xFFFF, 0);
    HeaderWord soundData = headerWord(firstLogical + k + 1, pagetype::data, pagetype::usageValid);
    // Settled entries are data pages but for the few counted here.
    uint32_t free = 0, index = 0, other = 0;
    const uint32_t first = k;
    for (; k < count; ++k, ++soundData) {
        const PatEntry slot = readPatSlot<L>(page, k);
        if (slot.physical - kFirstCachedPage >= cachedPages) {
            if (L == SlotLayout::Packed || slot.physical != pat::freeSpace) break;
            ++free;
            continue;
        }
        if constexpr (Own) {
            if (ownChunks[slot.physical >> HeaderCache::kOwnChunkShift]) break;
        }
        const HeaderWord w = words[slot.physical];
        uint16_t t = slot.type;
        if (Fold && t == pagetype::dataExtended) t = pagetype::data;
        if (t == pagetype::data) [[likely]] {
            if ((w & kDataMask) != soundData) break;
            continue;
        }
        // Another type: the page names the entry's logical page and type.
        if ((w & kIdAndType) != headerWord(wordPageId(soundData), t, 0)) break;
        switch (pageClassOf(t)) {
            case PageClass::Data: break;
            case PageClass::Index: ++index; break;
            case PageClass::Other: ++other; break;
        }
    }
    counters_.addExamined(k - first - free - index - other, index, other);
    return k;
}

void Scanner::traceEntry(const EntryCheck& e) {
    sink_->emitf(NoticeKind::Trace, Stream::Out,
                 "PATPair %lu, Entry %d (LogPATEntry 0x%.8x) Type=%.4x => PhysPage 0x%.8x\n",
                 (unsigned long)e.pair, int(e.slot), unsigned(e.logical), unsigned(e.type),
                 unsigned(e.physical));
    sink_->emitf(NoticeKind::Trace, Stream::Out,
                 "PhysPage 0x%.8x contains LogPage 0x%.8x of Type %.4x\n", unsigned(e.physical),
                 unsigned(e.page.pageId), unsigned(e.page.pageType));
}

// An entry whose findings are damage, or which the fix mask mends, gets a
// row in the ledger.
void Scanner::noteInLedger(const EntryCheck& e) {
    for (int i = 0; i < e.count; ++i) {
        const ProblemRow& row = e.findings[i].row();
        if (row.severity == Severity::Damage || shouldMend(row, options_)) {
            ledger_->noteDamagedEntry(e.logical, e.physical, e.type);
            return;
        }
    }
}

void Scanner::checkEntry(EntryCheck& e) {
    const bool verbose = options_.verbose;
    const uint32_t p = e.physical;
    if (verbose) {
        sink_->emitf(NoticeKind::Trace, Stream::Out, "Reading Physical Page 0x%.8x\n", unsigned(p));
    }
    PageHeader& header = e.header;
    std::memset(&header, 0, sizeof header);
    const bool read = fetchPageHeader(p, header);
    if (!read) {
        if (verbose) {
            sink_->emitf(NoticeKind::Trace, Stream::Err,
                         "Bad Page Read For Physical Page 0x%.8lX\n", (unsigned long)p);
        }
        std::memset(&header, 0, sizeof header);
    }
    classifyEntry(g_, e, read, options_.checkZeroPointers != 0);
    if (verbose) traceEntry(e);
    if (ledger_ && !e.matches) noteInLedger(e);
    for (int i = 0; i < e.count; ++i) {
        Finding& f = e.findings[i];
        report(f, e.type);
        count(f, shouldMend(f.row(), options_) ? repairEntry(e, f) : e.type);
    }
    if (e.matches) counters_.addExamined(e.type);
}

}  // namespace tabulon
