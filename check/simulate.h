// A repair run that writes nothing: the check with a fix mask over a
// copy-on-write layer of the files, which keeps every write in memory. The
// engine reads, searches and writes as in a real repair, and its reads see
// its earlier writes; what it would change comes back as the engine's stream
// of values (findings, actions with their outcomes, notices) and the layer's
// writes, each with the bytes it would replace.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "check/event.h"
#include "check/options.h"
#include "check/run.h"
#include "fileio/overlay.h"
#include "fileio/platform.h"

namespace tabulon {

struct Simulation {
    RunResult result;
    EventLog log;                      // the run's stream, in order
    std::vector<OverlayWrite> writes;  // every write the run made, in order
};

// Runs the check of the set at `path` with `options` over a layer on
// `base`, which opens the files for reading only (shared: Unprotected, else
// ExclusiveRead). No undo journal is made: the layer creates no file.
Simulation simulateRepair(Platform& base, const std::string& path, const ScanOptions& options,
                          bool shared);
// The same on a layer the caller keeps (to read the files through it after
// the run).
Simulation simulateRepair(OverlayPlatform& layer, const std::string& path,
                          const ScanOptions& options);

// The same with the run's stream handed to `sink` as it goes (the returned
// log stays empty): a caller that renders or counts while the run goes keeps
// no copy of it.
Simulation simulateRepair(OverlayPlatform& layer, const std::string& path,
                          const ScanOptions& options, EventSink& sink);

// Hands a kept stream to a sink again, in order (a console renderer writes
// the run's text from it).
void replay(const std::vector<Event>& events, EventSink& sink);

}  // namespace tabulon
