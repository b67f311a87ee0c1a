// The run sequence: options, open, version gate, scan, close, report.
#pragma once

// Runs the tool on the command line; returns the exit status.
int runTabulon(int argc, const char* const* argv);
