#include "check/scan.h"
#include "format/pat.h"

namespace tabulon {

void Scanner::printFound(uint32_t p, const BestPage& best) {
    // "Found Logical Page %.8lx at Physical Page %.8lx[ (0x%.10I64x)] with
    // type %.4x.\n"
    Line line;
    line.text("Found Logical Page ").hex(p, 8).text(" at Physical Page ").hex(best.physical, 8);
    if (options_.showOffsets) {
        line.text(" (0x").hex(file_.pageOffset(best.physical), 10).text(")");
    }
    line.text(" with type ").hex(best.type, 4).text(".\n");
    writer_.notice(NoticeKind::PageFound, Stream::Out, line.view(), p);
}

// Returns whether the header was written.
bool Scanner::repairPageId(const EntryCheck& e) {
    Action a;
    a.kind = ActionKind::PageId;
    a.pair = e.pair;
    a.logical = e.logical;
    a.physical = e.physical;
    a.type = e.type;
    PageHeader header = e.header;
    encodePageHeader(g_, header, e.logical, e.type);
    const uint64_t at = file_.pageOffset(e.physical);
    if (overlapsFcrOrPat(g_, at, uint64_t(g_.headerSize))) {
        a.outcome = Outcome::NotAttempted;
    } else {
        a.status = file_.writePageHeaderAt(at, header);
        a.outcome = outcomeOf(a.status);
        // Later searches must see the header just written.
        if (a.outcome == Outcome::Written) search_.noteRewrittenHeader(e.physical, header);
    }
    writer_.settle(a);
    return a.outcome == Outcome::Written;
}

// Makes the repairs the fix mask selects for an entry whose page does not
// match it; returns the page type whose class the problem is counted in.
uint16_t Scanner::repairEntry(const EntryCheck& e, const Finding& f) {
    const ProblemRow& row = f.row();
    // A page relabelled here is the entry's page only when no other page
    // holds a version of the logical page.
    uint32_t relabelled = BestPageSearch::kNoPage;
    if (mendsWith(row, fixbit::pageId, options_) && repairPageId(e) &&
        options_.relabelledPageGivesWay) {
        relabelled = e.physical;
    }

    Action a;
    a.pair = e.pair;
    a.logical = e.logical;
    if (mendsWith(row, fixbit::freeSpace, options_)) {
        const PatEntry free = freePointer(g_, e.physical, FreeFor::FreeSpaceBit);
        a.kind = ActionKind::FreeSpace;
        a.physical = free.physical;
        a.type = free.type;
        writer_.setEntry(a);
    }
    uint16_t classType = e.type;
    if (!mendsWith(row, fixbit::bestPage, options_)) return classType;
    // Under /D the pages the cache lacks are read one by one, on every
    // search, each with its trace line; otherwise the index answers.
    const BestPage best =
        search_.find(e.logical, options_.verbose ? SearchBy::Walk : SearchBy::Index, relabelled);
    if (best.found) {
        printFound(e.logical, best);
        classType = best.type;
        a.kind = ActionKind::BestPage;
        a.physical = best.physical;
        a.type = best.type;
        a.tally = row.counter == CounterClass::DataPage ? Tally::Data : tallyOfType(best.type);
        writer_.setEntry(a);
    } else if (best.searchedAll) {
        // Only a search that read every page may conclude the data is gone.
        const PatEntry free = freePointer(g_, e.physical, FreeFor::ResetAfterSearch);
        a.kind = ActionKind::ResetToFree;
        a.physical = free.physical;
        a.type = free.type;
        writer_.setEntry(a);
    }
    return classType;
}

}  // namespace tabulon
