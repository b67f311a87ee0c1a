// tabulon-inspect: a read-only look at a Btrieve file set through the same
// access objects and engine as the check. Every command builds its whole
// result first and prints it at the end, as text or as one JSON document.
#pragma once

#include "fileio/output.h"
#include "fileio/platform.h"

// Runs the inspector on the command line (argv[0] the program name), printing
// through `out`, with every OS call through `platform`; returns the exit status: 0, 1 (survey: some file has a
// problem) or 2 (usage, or a file set that cannot be inspected).
int runInspect(int argc, const char* const* argv, tabulon::Output& out,
               tabulon::Platform& platform);
