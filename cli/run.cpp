#include "cli/run.h"

#include <cstdlib>

#include "check/console.h"
#include "check/run.h"
#include "check/commandline.h"

namespace {

constexpr int kStatusUsage = 1;

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

int printUsage(tabulon::Output& out) {
    out.out("Using %s\r\n\r\n", kBanner);
    out.flush(tabulon::Stream::Out);
    for (const char* line : kUsage) out.write(tabulon::Stream::Err, line);
    return kStatusUsage;
}

}  // namespace

RunSettings settingsFromEnvironment() {
    RunSettings settings;
    if (const char* undo = std::getenv("TABULON_UNDO")) settings.undoJournal = undo;
    return settings;
}

int runTabulon(int argc, const char* const* argv, tabulon::Output& out, tabulon::Platform& platform,
               tabulon::ScanCounters* countersOut) {
    return runTabulon(argc, argv, out, platform, countersOut, settingsFromEnvironment());
}

int runTabulon(int argc, const char* const* argv, tabulon::Output& out, tabulon::Platform& platform,
               tabulon::ScanCounters* countersOut, const RunSettings& settings) {
    if (countersOut) *countersOut = tabulon::ScanCounters{};
    const tabulon::CommandLine cl = tabulon::parseCommandLine(argc, argv);
    if (cl.showUsage) return printUsage(out);
    for (const std::string& notice : cl.notices) out.write(tabulon::Stream::Err, notice);

    tabulon::ConsoleRenderer console(out);
    const tabulon::RunEnvironment env{platform, console, settings.undoJournal};
    tabulon::ScanOptions options = cl.options;
    options.relabelledPageGivesWay = !settings.releaseRepairOrder;
    const tabulon::RunResult result = tabulon::runCheck(cl.path, options, env);
    if (countersOut) *countersOut = result.counters;
    return result.status;
}
