#include "check/console.h"

namespace tabulon {

void ConsoleRenderer::finding(const Finding& f) {
    const Line line = renderFinding(f);
    if (!line.view().empty()) out_.write(f.row().stream, line.view());
}

void ConsoleRenderer::action(const Action& a) {
    const Line line = renderAction(a);
    if (!line.view().empty()) out_.write(Stream::Out, line.view());
}

void ConsoleRenderer::report(const ReportEvent& r) {
    printReport(out_, r.counters, r.fixMask);
}

void printReport(Output& out, const ScanCounters& c, int32_t fixMask) {
    auto line = [&](const char* format, uint32_t v) {
        out.print(Stream::Out, format, (unsigned long)v);
    };
    line("Pages Examined (PAT Pages)  : %lu\n", c.patPagesExamined);
    line("Pages Examined (Data Pages) : %lu\n", c.dataPagesExamined);
    line("Pages Examined (Index Pages): %lu\n", c.indexPagesExamined);
    line("Pages Examined (Other Pages): %lu\n", c.otherPagesExamined);
    line("Pages Examined (Total)      : %lu\n\n", c.totalPagesExamined);
    line("Problems Found (PAT Pages)  : %lu\n", c.patProblems);
    line("Problems Found (Data Pages) : %lu\n", c.dataProblems);
    line("Problems Found (Index Pages): %lu\n", c.indexProblems);
    line("Problems Found (Other Pages): %lu\n", c.otherProblems);
    line("Problems Found (Zero Ptrs)  : %lu\n", c.zeroPointerProblems);
    line("Problems Found (Total)      : %lu\n\n", c.totalProblems);
    if (fixMask == 0) return;
    line("PAT Headers Fixed:          : %lu\n", c.patHeadersFixed);
    line("Data Page Pointers Fixed    : %lu\n", c.dataPointersFixed);
    line("Index Page Pointers Fixed   : %lu\n", c.indexPointersFixed);
    line("Variable Page Pointers Fixed: %lu\n", c.variablePointersFixed);
    line("Pages Reset To Free Space   : %lu\n", c.pagesResetToFree);
    line("Problems Fixed (Total)      : %lu (May not be sum of above)\n", c.totalFixed);
}

}  // namespace tabulon
