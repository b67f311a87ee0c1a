// One run of the check as a library function: open the set, refuse files
// before 6.x, scan, close, report. Every line the run causes reaches the
// environment's event sink as a value, in order; the run prints nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/event.h"
#include "access/btrfile.h"
#include "check/ledger.h"
#include "check/options.h"
#include "fileio/platform.h"
#include "format/geometry.h"

namespace tabulon {

// What a run takes from its caller besides the options.
struct RunEnvironment {
    Platform& platform;  // every OS call (a copy-on-write overlay runs it on nothing real)
    EventSink& events;   // the run's stream: the console renderer, a collector...
    // The undo journal a run with a fix mask creates; empty for none.
    std::string undoJournal;
    // When given, the run's version ledger is made into it.
    VersionLedger* ledger = nullptr;
    // When given, a built header cache of the same files, opened the same
    // way, whose table the run shares instead of reading every page header
    // again (see HeaderCache::shareTable).
    const HeaderCache* headers = nullptr;
};

// A run that opened nothing, or whose repairs or journal may not all have
// reached the disk, ends with this status.
constexpr int kRunFailed = -3;

struct RunResult {
    int status = 0;  // 0, or kRunFailed
    ScanCounters counters;
    // The set as the run opened it (all zero and empty when it opened
    // nothing): its geometry and its members, main file first, with their
    // sizes before any write.
    FileGeometry geometry;
    std::vector<std::string> members;
    std::vector<uint64_t> memberSizes;
    // What the members hold against what the FCR names.
    SetExtent extent;
};

// Runs the check of the set whose main file is at `path`.
RunResult runCheck(const std::string& path, const ScanOptions& options, const RunEnvironment& env);

}  // namespace tabulon
