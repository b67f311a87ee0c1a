// The run sequence of the tabulon program: options, open, version gate, scan,
// close, report.
#pragma once

#include <string>

#include "check/options.h"
#include "fileio/output.h"
#include "fileio/platform.h"

using namespace tabulon;

// What a run takes from its environment rather than its command line.
struct RunSettings {
    // TABULON_UNDO: the undo journal a run with a fix mask creates; empty for
    // none.
    std::string undoJournal;
};

// The settings of the process environment.
RunSettings settingsFromEnvironment();

// Runs the tool on the command line, printing through `out`; returns the exit
// status. The counters of the report are left in *counters when given.
int runTabulon(int argc, const char* const* argv, Output& out,
               Platform& platform = systemPlatform(), ScanCounters* counters = nullptr);

// The same with the settings given instead of read from the environment.
int runTabulon(int argc, const char* const* argv, Output& out, Platform& platform,
               ScanCounters* counters, const RunSettings& settings);
