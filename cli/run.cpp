#include "cli/run.h"

#include <cstdlib>
#include <memory>

#include "access/btrfile.h"
#include "access/undoplan.h"
#include "check/scan.h"
#include "cli/options.h"

using namespace tabulon;

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusOpenFailed = -3;
// A run whose repairs may not all have reached the disk, or whose undo journal
// could not be created or written, ends with the status of a failed open.
constexpr int kStatusFailed = -3;

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

int printUsage(Output& out) {
    out.out("Using %s\r\n\r\n", kBanner);
    out.flush(Stream::Out);
    for (const char* line : kUsage) out.write(Stream::Err, line);
    return kStatusUsage;
}

int openFailed(Output& out) {
    out.write(Stream::Err,
              "Unable to open files. Make sure nobody is using them before using Tabulon!\n");
    out.write(Stream::Err, "While you're at it, please make an extra backup copy, too!\n");
    return kStatusOpenFailed;
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

// Whether a name reaches a member of the set at this main path: the main
// file, an extension file or the delta file.
bool namesMember(const std::string& mainPath, const std::string& name) {
    for (int k = kDeltaMember; k < kMaxMembers; ++k) {
        std::string member;
        if (memberName(mainPath, k, &member) && sameFile(member, name)) return true;
    }
    return false;
}

}  // namespace

RunSettings settingsFromEnvironment() {
    RunSettings settings;
    if (const char* undo = std::getenv("TABULON_UNDO")) settings.undoJournal = undo;
    return settings;
}

int runTabulon(int argc, const char* const* argv, Output& out, Platform& platform,
               ScanCounters* countersOut) {
    return runTabulon(argc, argv, out, platform, countersOut, settingsFromEnvironment());
}

int runTabulon(int argc, const char* const* argv, Output& out, Platform& platform,
               ScanCounters* countersOut, const RunSettings& settings) {
    ScanCounters counters;
    auto finish = [&](int status) {
        if (countersOut) *countersOut = counters;
        return status;
    };
    CommandLine cl = parseCommandLine(argc, argv);
    if (cl.showUsage) return finish(printUsage(out));
    const ScanOptions& o = cl.options;
    for (const std::string& notice : cl.notices) out.write(Stream::Err, notice);

    // A path longer than a name buffer is refused before anything is opened.
    if (cl.path.size() > size_t(kMaxPathLength)) return finish(openFailed(out));

    out.out("Scanning file %s for PAT inconsistencies...\n\n", cl.path.c_str());
    out.flush(Stream::Out);

    BtrieveFile file(out, platform);
    const bool opened = file.openSet(cl.path, openModeFor(o), o.verbose != 0) != 0;
    out.write(Stream::Err, openReport(file.fileSet(), o.verbose != 0));
    const tabulon::Status fcr = opened ? file.loadFcr() : tabulon::Status{};
    if (!opened || !fcr) {
        out.flush(Stream::Out);
        out.write(Stream::Err, fcr.text);
        return finish(openFailed(out));
    }

    // With a fix mask and TABULON_UNDO, every block's old bytes go to the
    // undo journal before the first write into it; without a journal that
    // can be created nothing is written at all.
    UndoPlan plan(file);
    std::unique_ptr<JournalWriter> journal;
    if (o.fixMask != 0 && !settings.undoJournal.empty()) {
        // A journal among the members would be overwritten by the repair it
        // protects, or taken for a member by the next run.
        if (namesMember(cl.path, settings.undoJournal)) {
            file.close();
            out.flush(Stream::Out);
            out.err("Undo journal <%s> names a member of the file set: refused.\n",
                    settings.undoJournal.c_str());
            return finish(kStatusFailed);
        }
        journal = std::make_unique<JournalWriter>(file.fileSet(), plan, out);
        uint32_t error = 0;
        if (!journal->create(settings.undoJournal, &error)) {
            file.close();
            out.flush(Stream::Out);
            if (error == 0) {
                out.err("Unable to create undo journal <%s>: the FCR copies cannot be read.\n",
                        settings.undoJournal.c_str());
            } else {
                out.err("Unable to create undo journal <%s>, Status Code %lu, %s",
                        settings.undoJournal.c_str(), (unsigned long)error,
                        platform.errorText(error).c_str());
            }
            return finish(kStatusFailed);
        }
        file.fileSet().addObserver(journal.get());
    }
    // Closes the set, reporting each member whose repairs could not be
    // flushed, and ends the journal; false when either failed.
    auto closeSet = [&]() {
        if (journal) journal->takeFinalChecksums();
        const bool flushed = file.close();
        const FileSet& set = file.fileSet();
        for (size_t i = 0; i < set.failedFlushes().size(); ++i) {
            const uint32_t error = set.flushErrors()[i];
            out.flush(Stream::Out);
            out.err("Unable to flush %s, Status Code %lu, %s",
                    set.memberFileName(set.failedFlushes()[i]).c_str(), (unsigned long)error,
                    platform.errorText(error).c_str());
        }
        bool journaled = true;
        if (journal) {
            file.fileSet().removeObserver(journal.get());
            journaled = journal->finish(flushed);
            // A journal of no block takes nothing back: it is not kept.
            if (journal->blockCount() == 0) {
                removeFile(settings.undoJournal);
                journal.reset();
            }
        }
        return flushed && journaled;
    };
    // The last line of a run that journaled blocks says where the journal is.
    auto journalLine = [&](int status) {
        if (journal) {
            out.flush(Stream::Out);
            out.err("Undo journal: %s (tabulon-undo %s takes these repairs back)\n",
                    settings.undoJournal.c_str(), settings.undoJournal.c_str());
        }
        return finish(status);
    };

    const FileGeometry& g = file.geometry();
    if (g.versionCode < version::v600) {
        out.write(Stream::Out, "File Version is Pre-6.x. There is no PAT to check!\n");
        return journalLine(closeSet() ? 0 : kStatusFailed);
    }

    if (o.progress) out.err("Checking %ld pages...\r\n", long(int32_t(g.pageCount)));

    bool writesFailed = false;
    {
        Scanner scanner(file, o);
        scanner.scanPatPairs();
        counters = scanner.counters();
        writesFailed = !scanner.writeFailures().empty();
    }
    const bool closed = closeSet();

    if (o.progress) out.write(Stream::Err, "Scan complete.\n\n");
    printReport(out, counters, o.fixMask);
    return journalLine(closed && !writesFailed ? 0 : kStatusFailed);
}
