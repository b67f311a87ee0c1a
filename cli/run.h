// The tabulon program: its settings from the process environment, and the
// library's run of the program (check/program.h) written as the console
// text.
#pragma once

#include <string>

#include "check/options.h"
#include "fileio/output.h"
#include "fileio/platform.h"

// What a run takes from its environment rather than its command line.
struct RunSettings {
    // TABULON_UNDO: the undo journal a run with a fix mask creates; empty for
    // none.
    std::string undoJournal;
    // The first release's repair order for relabelled pages (see
    // ScanOptions), for the comparison with that release; never set from
    // the command line or the environment.
    bool releaseRepairOrder = false;
};

// The settings of the process environment.
RunSettings settingsFromEnvironment();

// Runs the tool on the command line, printing through `out`; returns the exit
// status. The counters of the report are left in *counters when given.
int runTabulon(int argc, const char* const* argv, tabulon::Output& out,
               tabulon::Platform& platform, tabulon::ScanCounters* counters = nullptr);

// The same with the settings given instead of read from the environment.
int runTabulon(int argc, const char* const* argv, tabulon::Output& out, tabulon::Platform& platform,
               tabulon::ScanCounters* counters, const RunSettings& settings);
