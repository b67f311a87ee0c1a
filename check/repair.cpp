#include <cinttypes>

#include "check/scan.h"
#include "format/pat.h"

void Scanner::countProblem(uint16_t classification) {
    ScanCounters& c = counters_;
    ++c.totalProblems;
    countByClass(classification, c.dataProblems, c.indexProblems, c.otherProblems);
}

void Scanner::queue(Stream stream, std::string_view text, bool needsWrite, uint32_t* counter0,
                    uint32_t* counter1) {
    queue_.push_back(
        Queued{stream, queueText_.size(), text.size(), needsWrite, {counter0, counter1}});
    queueText_.append(text);
}

void Scanner::emit(Stream stream, std::string_view text) {
    if (queue_.empty() && !pair_.hasStaged()) {
        out_.write(stream, text);
        return;
    }
    queue(stream, text, false, nullptr, nullptr);
}

void Scanner::repairEntry(uint32_t L, uint32_t physical, uint16_t type, std::string_view line,
                          uint32_t* counter0, uint32_t* counter1) {
    if (pair_.canStage(L)) {
        pair_.stageEntry(L, physical, type);
        queue(Stream::Out, line, true, counter0, counter1);
        return;
    }
    commitStaged();
    if (!pair_.setEntry(L, physical, type)) return;
    for (uint32_t* c : {counter0, counter1}) {
        if (c) ++*c;
    }
    out_.write(Stream::Out, line);
}

void Scanner::commitStaged() {
    const bool written = pair_.flushStaged() != 0;
    for (Queued& q : queue_) {
        if (q.needsWrite) {
            if (!written) continue;
            for (uint32_t* c : q.counters) {
                if (c) ++*c;
            }
        }
        out_.write(q.stream, std::string_view(queueText_).substr(q.at, q.size));
    }
    queue_.clear();
    queueText_.clear();
}

void Scanner::handleEntryMismatch(uint32_t L, uint32_t p, uint16_t t, PageHeader& header,
                                  const PageIdentity& found, int32_t fixMask,
                                  uint32_t& totalFixed) {
    ScanCounters& c = counters_;
    const FileGeometry& g = g_;
    const bool zeroHeader = found.pageId == 0 && found.pageType == 0;
    uint16_t classification = t;

    if (!zeroHeader && !options_.checkZeroPointers && t == 0) {
        ++c.zeroPointerProblems;
        countProblem(classification);
        return;
    }

    // LogPAT 0x%.8lx(%.4x) -> PhysPage 0x%.8lx[ (0x%.10I64x)] then the
    // header's verdict.
    Line line;
    line.text("LogPAT 0x").hex(L, 8).text("(").hex(t, 4).text(") -> PhysPage 0x").hex(p, 8);
    if (options_.showOffsets) line.text(" (0x").hex(file_.pageOffset(p), 10).text(")");
    if (zeroHeader) {
        line.text(" is beyond EOF or NULL Page ID.\n");
    } else {
        line.text(" with LogPage 0x")
            .hex(found.pageId, 8)
            .text("(")
            .hex(found.pageType, 4)
            .text(").\n");
    }
    emit(Stream::Out, line.view());

    if ((fixMask & fixbit::pageId) && zeroHeader) {
        encodePageHeader(g, header, L, t);
        uint64_t at = file_.pageOffset(p);
        if (!overlapsFcrOrPat(g, at, uint64_t(g.headerSize)) &&
            file_.writePageHeaderAt(at, header)) {
            ++totalFixed;
            // Later searches must see the header just written.
            noteRewrittenHeader(p, header);
            Line done;
            done.text("-->Repaired By Writing Corrected Page ID to Physical Page ")
                .hex(p, 8)
                .text("\n");
            emit(Stream::Out, done.view());
        } else {
            Line unable;
            unable.text("-->Unable to Repair By Writing Corrected Page ID to Physical Page ")
                .hex(p, 8)
                .text("\n");
            emit(Stream::Out, unable.view());
        }
    }

    const bool old = g.versionCode < version::v800;
    if (fixMask & fixbit::freeSpace) {
        const uint32_t physical = old ? p : pat::freeSpace;
        const uint16_t type = 0;
        repairEntry(L, physical, type,
                    "-->Repaired By Changing PAT Pointer to FREE SPACE POINTER.\n", &totalFixed,
                    nullptr);
    }

    if (fixMask & fixbit::bestPage) {
        uint32_t best = 0;
        uint16_t bestType = 0;
        bool searchedAll = false;
        if (findBestPage(L, best, bestType, &searchedAll)) {
            classification = bestType;
            uint32_t* byType = nullptr;
            if (bestType == pagetype::data) {
                byType = &c.dataPointersFixed;
            } else if (isIndexType(bestType)) {
                byType = &c.indexPointersFixed;
            } else if (bestType == pagetype::variable) {
                byType = &c.variablePointersFixed;
            }
            Line repaired;
            repaired.text("-->Repaired By Changing Page Pointer to (")
                .hex(bestType, 4)
                .text(")")
                .hex(best, 8)
                .text(".\n");
            repairEntry(L, best, bestType, repaired.view(), &totalFixed, byType);
        } else if (searchedAll) {
            // Only a search that read every page may conclude the data is gone.
            const uint32_t physical = old ? 0 : pat::freeSpace;
            const uint16_t type = 0;
            repairEntry(L, physical, type,
                        "-->Repaired By Changing Page Pointer to FREE SPACE. Data is lost!\n",
                        &totalFixed, &c.pagesResetToFree);
        }
    }

    countProblem(classification);
}
