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

namespace {

struct ReportLine {
    const char* format;
    uint32_t ScanCounters::*value;
};

// The report's three blocks, each line with the counter it shows; the fixes
// only under a fix mask.
constexpr ReportLine kExamined[] = {
    {"Pages Examined (PAT Pages)  : %lu\n", &ScanCounters::patPagesExamined},
    {"Pages Examined (Data Pages) : %lu\n", &ScanCounters::dataPagesExamined},
    {"Pages Examined (Index Pages): %lu\n", &ScanCounters::indexPagesExamined},
    {"Pages Examined (Other Pages): %lu\n", &ScanCounters::otherPagesExamined},
    {"Pages Examined (Total)      : %lu\n\n", &ScanCounters::totalPagesExamined},
    {"Problems Found (PAT Pages)  : %lu\n", &ScanCounters::patProblems},
    {"Problems Found (Data Pages) : %lu\n", &ScanCounters::dataProblems},
    {"Problems Found (Index Pages): %lu\n", &ScanCounters::indexProblems},
    {"Problems Found (Other Pages): %lu\n", &ScanCounters::otherProblems},
    {"Problems Found (Zero Ptrs)  : %lu\n", &ScanCounters::zeroPointerProblems},
    {"Problems Found (Total)      : %lu\n\n", &ScanCounters::totalProblems},
};
constexpr ReportLine kFixed[] = {
    {"PAT Headers Fixed:          : %lu\n", &ScanCounters::patHeadersFixed},
    {"Data Page Pointers Fixed    : %lu\n", &ScanCounters::dataPointersFixed},
    {"Index Page Pointers Fixed   : %lu\n", &ScanCounters::indexPointersFixed},
    {"Variable Page Pointers Fixed: %lu\n", &ScanCounters::variablePointersFixed},
    {"Pages Reset To Free Space   : %lu\n", &ScanCounters::pagesResetToFree},
    {"Problems Fixed (Total)      : %lu (May not be sum of above)\n", &ScanCounters::totalFixed},
};

}  // namespace

void printReport(Output& out, const ScanCounters& c, int32_t fixMask) {
    for (const ReportLine& l : kExamined)
        out.print(Stream::Out, l.format, (unsigned long)(c.*l.value));
    if (fixMask == 0) return;
    for (const ReportLine& l : kFixed)
        out.print(Stream::Out, l.format, (unsigned long)(c.*l.value));
}

}  // namespace tabulon
