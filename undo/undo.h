// tabulon-undo: takes back the repairs of a run from its undo journal.
//
//   tabulon-undo JOURNAL [--dry-run] [--force] [--set MAIN] [--version]
//
// Checks the journal (magic number, version, record checksums), that the file
// set is the one it names (the same members with the same sizes, the same FCR
// copies), and that each journaled block holds bytes the journal explains:
//   - its old bytes (never written, or restored already), or
//   - after a completed run (closing record present), the final bytes the
//     closing record names, or
//   - after a run cut short (no closing record), bytes that differ from the
//     old bytes only where the run could have changed them: anywhere but in
//     the block's kept ranges (for a PAT copy, its usage count).
// Then writes the old bytes back, the last journaled block first, and
// flushes. A set that has changed since is refused unless --force.
#pragma once

#include "fileio/output.h"
#include "fileio/platform.h"

using namespace tabulon;

namespace undo {
constexpr int kRestored = 0;  // restored, or nothing to do
constexpr int kRefused = 1;   // the set has changed since the run
constexpr int kError = 2;     // the journal or the set cannot be read or written
}  // namespace undo

// Runs tabulon-undo on its command line, printing through `out`; returns the
// exit status.
int runUndo(int argc, const char* const* argv, Output& out, Platform& platform = systemPlatform());
