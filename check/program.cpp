#include "check/program.h"

#include "check/commandline.h"

namespace tabulon {

namespace {

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

// The banner on standard output, flushed before the usage lines on standard
// error.
void usage(EventSink& sink) {
    sink.emitf(NoticeKind::Usage, Stream::Out, 0, "Using %s\r\n\r\n", kBanner);
    sink.notice(Notice{NoticeKind::Usage, Stream::Out, Notice::flushAfter, 0, {}});
    for (const char* line : kUsage) sink.emit(NoticeKind::Usage, Stream::Err, line);
}

}  // namespace

ProgramResult runTabulon(const std::vector<std::string>& words, const ProgramEnvironment& env) {
    ProgramResult result;
    const CommandLine cl = parseCommandWords(words);
    if (cl.showUsage) {
        usage(env.events);
        result.usage = true;
        result.status = kStatusUsage;
        return result;
    }
    for (const std::string& notice : cl.notices) {
        env.events.emit(NoticeKind::OptionNotice, Stream::Err, notice);
    }
    RunEnvironment run{env.platform, env.events, env.undoJournal, env.ledger};
    ScanOptions options = cl.options;
    options.relabelledPageGivesWay = !env.releaseRepairOrder;
    result.run = runCheck(cl.path, options, run);
    result.status = result.run.status;
    return result;
}

}  // namespace tabulon
