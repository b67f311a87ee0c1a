// A repair run that writes nothing: the check with a fix mask over a
// copy-on-write layer of the files, which keeps every write in memory. The
// engine reads, searches and writes as in a real repair, and its reads see
// its earlier writes; what it would change comes back as the engine's stream
// of values (findings, actions with their outcomes, notices), as it goes,
// and as the layer's writes, each with the bytes it would replace.
#pragma once

#include <string>

#include "check/event.h"
#include "check/options.h"
#include "check/run.h"
#include "fileio/overlay.h"

namespace tabulon {

// Runs the check of the set at `path` with `options` over `layer` (which
// opens the files for reading only), handing the run's stream to `sink` as
// it goes. No undo journal is made: the layer creates no file. The writes
// stay in the layer (`layer.writes()`), which the caller keeps.
// With `ledger`, the run's version ledger is made into it. With `headers`,
// a built header cache of the files below the layer, opened the same way
// (a check of them), the run starts from its table instead of reading every
// page header again; the headers the run writes are kept beside it.
RunResult simulateRepair(OverlayPlatform& layer, const std::string& path,
                         const ScanOptions& options, EventSink& sink,
                         VersionLedger* ledger = nullptr, const HeaderCache* headers = nullptr);

}  // namespace tabulon
