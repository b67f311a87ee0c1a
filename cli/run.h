// The run sequence of the tabulon program: options, open, version gate, scan,
// close, report.
#pragma once

#include "check/options.h"
#include "fileio/output.h"
#include "fileio/platform.h"

// Runs the tool on the command line, printing through `out`; returns the exit
// status. The counters of the report are left in *counters when given.
int runTabulon(int argc, const char* const* argv, Output& out,
               Platform& platform = systemPlatform(), ScanCounters* counters = nullptr);
