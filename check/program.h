// The tabulon program as a library function: its command line read from its
// words, the usage text or the option notices, then the run. Every line goes
// to the environment's event sink as a value, in the program's order; a
// console renderer writes them as the program's text. The program's main and
// the inspector's plan run the same function.
#pragma once

#include <string>
#include <vector>

#include "check/event.h"
#include "check/ledger.h"
#include "check/run.h"
#include "fileio/platform.h"

namespace tabulon {

// The status of a command line the program does not take: it printed its
// usage.
constexpr int kStatusUsage = 1;

struct ProgramEnvironment {
    Platform& platform;  // every OS call (a copy-on-write overlay runs it on nothing real)
    EventSink& events;   // the program's stream: usage, option notices, the run
    // The undo journal a run with a fix mask creates; empty for none.
    std::string undoJournal;
    // The first release's repair order for relabelled pages (see
    // ScanOptions), for the comparison with that release; no command line
    // or environment variable sets it.
    bool releaseRepairOrder = false;
    // When given, the run's version ledger is made into it.
    VersionLedger* ledger = nullptr;
};

struct ProgramResult {
    int status = 0;      // the exit status: 0, kStatusUsage or kRunFailed
    bool usage = false;  // the words were no command line of the program
    RunResult run;       // the run, when there was one
};

// Runs the program on the words after its name (the path first).
ProgramResult runTabulon(const std::vector<std::string>& words, const ProgramEnvironment& env);

}  // namespace tabulon
