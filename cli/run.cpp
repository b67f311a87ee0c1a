#include "cli/run.h"

#include <cstdio>

#include "check/scan.h"
#include "cli/options.h"
#include "fileio/fileset.h"
#include "format/geometry.h"

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusOpenFailed = -3;

const char* const kBanner = "Kelvra Version 2.43.15";

const char* const kUsage[] = {
    "Usage:  TABULON SrcFile [/F#] [/R] [/O] [/S#] [/U] [/Z]\n\n",
    "    Scans a file's Page Allocation Table and report any inconsistencies.\n",
    "    Use the /O Flag to display PAT and physical page Offsets.\n",
    "    Use the /R Flag to suppress progress reporting every new PAT pair.\n",
    "    Use the /S# Option to start processing at PAT Pair #.\n",
    "    Use the /F Option to fix the specified problems.\n",
    "    Add up these options (or OR the values) to fix multiple issues.\n",
    "       1 = If PAT points to Physical Page with 0x00000000 PageID, fix PageID.\n",
    "       2 = If PAT points to Invalid Physical Page, make it free space pointer.\n",
    "       4 = If any PAT Header data is Damaged, fix it.\n",
    "       8 = If PAT points to the wrong page, scan to find the best page & fix it.\n",
    "    Use /U to open files in UNPROTECTED mode. (Allows concurrent access.)\n",
    "    Use /Z to check PAT pointers with a page ID of zero.\n",
    "    WARNING! Use of this program without a proper BACKUP is prohibited.\n",
};

int printUsage() {
    std::printf("Using %s\r\n\r\n", kBanner);
    std::fflush(stdout);
    for (const char* line : kUsage) std::fputs(line, stderr);
    return kStatusUsage;
}

int openFailed() {
    std::fputs("Unable to open files. Make sure nobody is using them before using Tabulon!\n",
               stderr);
    std::fputs("While you're at it, please make an extra backup copy, too!\n", stderr);
    return kStatusOpenFailed;
}

void printReport(int32_t fixMask) {
    const ScanCounters& c = scanCounters;
    auto line = [](const char* format, uint32_t v) { std::printf(format, (unsigned long)v); };
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

}  // namespace

int runTabulon(int argc, const char* const* argv) {
    scanCounters = ScanCounters{};
    CommandLine cl = parseCommandLine(argc, argv);
    if (cl.showUsage) return printUsage();
    scanOptions = cl.options;
    const ScanOptions& o = scanOptions;
    for (const std::string& notice : cl.notices) std::fputs(notice.c_str(), stderr);

    // A path longer than a name buffer is refused before anything is opened.
    if (o.path.size() > size_t(kMaxPathLength)) return openFailed();

    std::printf("Scanning file %s for PAT inconsistencies...\n\n", o.path.c_str());
    std::fflush(stdout);

    int mode = ExclusiveRead;
    if (o.fixMask != 0) {
        mode = Repair;
    } else if (o.unprotected) {
        mode = Unprotected;
    }
    if (!openFileSet(o.path.c_str(), mode)) {
        std::fflush(stdout);
        return openFailed();
    }

    if (fileGeometry.versionCode < version::v600) {
        std::printf("File Version is Pre-6.x. There is no PAT to check!\n");
        closeFileSet();
        return 0;
    }

    if (o.progress)
        std::fprintf(stderr, "Checking %ld pages...\r\n", long(int32_t(fileGeometry.pageCount)));

    scanPatPairs(o.path.c_str(), o.fixMask, scanCounters.totalFixed);
    closeFileSet();

    if (o.progress) std::fputs("Scan complete.\n\n", stderr);
    printReport(o.fixMask);
    return 0;
}
