// tabulon-inspect plan: the repair that `tabulon FILE /F#` would make, run by
// the engine itself over a copy-on-write layer of the files, so that no byte
// reaches them.
#pragma once

#include <string>
#include <vector>

#include "fileio/overlay.h"
#include "format/pat.h"
#include "inspect/session.h"

namespace inspect {

// One write of the run, placed in the file set.
struct PlacedWrite {
    const OverlayWrite* write = nullptr;
    enum Kind { PatPage, PageHeader, Other } kind = Other;
    uint32_t pair = 0;  // PatPage: the pair and the copy (0 or 1)
    int copy = 0;
    uint32_t page = 0;  // PageHeader: the physical page
};

// One PAT entry that the run changed, its first bytes against its last.
struct EntryChange {
    uint32_t logical = 0;
    uint32_t pair = 0;
    int copy = 0;
    uint32_t slot = 0;
    PatEntry before{}, after{};
    bool reset() const { return after.type == 0; }
    // A reset of an entry that was unused already (stored type 0): no data
    // is lost with it.
    bool wasUnused() const { return before.type == 0; }
};

// What the run would change, read off its writes. When the engine reports
// its repairs as values, this is where they take the place of the writes.
struct Plan {
    std::vector<PlacedWrite> writes;
    std::vector<EntryChange> entries;
    size_t patPages = 0, pageHeaders = 0, repointed = 0, reset = 0;
    size_t patPagesUnchanged = 0;  // written with the bytes they held
    size_t writesUnchanged = 0;    // writes of the bytes that were there
    size_t resetUnused = 0;        // of `reset`, entries that were unused already
    uint64_t bytes = 0;
};

// The plan of the run made over `layer` on the set whose main file is
// `path`: its writes placed in the set, and the entries it changed.
Plan readPlan(OverlayPlatform& layer, const std::string& path);

// Runs the tabulon program with `options` (its own options, /F-1 added when
// none is a fix mask) on `path` over the layer: prints what it prints, on the
// same streams, then the summary of the writes it made; with --json one
// document with both. Status 0 when nothing would be written, 1 when the
// repair would write, 2 when the run failed.
int cmdPlan(Context& cx, const std::string& path, const std::vector<std::string>& options);

}  // namespace inspect
