// tabulon-undo: takes back the repairs of a run from its undo journal.
//
//   tabulon-undo JOURNAL [--dry-run] [--force] [--set MAIN] [--version]
//
// Checks, before it writes anything:
//   - the journal, a record at a time: magic number, version, every record's
//     length and checksum, no empty block, no more blocks than a repair of
//     the set writes. A last record cut short (no well-formed record after
//     its start) is reported and left out, and the old bytes it shows are
//     compared with the set: held, the run stopped while writing it; not
//     held, the journal was cut after the run (the whole records' blocks
//     are restored, the rest named, status 2, as when it shows none). Any
//     other damage stops the undo (status 2; --force restores the blocks
//     before it, and the status stays 2);
//   - the paths: a journal path that is absolute, has a ".." part or whose
//     folder is reached through a symbolic link needs --set; the set's folder
//     is resolved once, and every member is a regular file opened from it
//     without following a link on any part of its path;
//   - that the set is the one the journal was made on (member count, version
//     code, page size, PAT page size; and a main file that is the journal's
//     own file or has its FCR copies, the FCR copies alone where the journal
//     records no file identity) and that every block is one a repair
//     writes (a PAT copy, a page header field) inside one member. --force
//     never waives these;
//   - that the set is as the run left it (member names and sizes, the FCR
//     copies, the closing record's block checksums and fingerprint), and
//     that each journaled block holds bytes the journal explains:
//       - its old bytes (never written, or restored already), or
//       - after a completed run (closing record present), the final bytes
//         the closing record names, or
//       - after a run cut short (no closing record), bytes that differ from
//         the old bytes only where the run could have changed them: anywhere
//         but in the block's kept ranges (for a PAT copy, its usage count).
// Then writes the old bytes back, the last journaled block first, and
// flushes. A set that has changed since is refused unless --force.
#pragma once

#include "fileio/output.h"
#include "fileio/platform.h"

namespace undo {
constexpr int kRestored = 0;  // restored, or nothing to do
constexpr int kRefused = 1;   // the set has changed since the run
constexpr int kError = 2;     // cannot be read or written, damaged, refused, or not all taken back
}  // namespace undo

// Runs tabulon-undo on its command line, printing through `out`; returns the
// exit status.
int runUndo(int argc, const char* const* argv, tabulon::Output& out,
            tabulon::Platform& platform);
