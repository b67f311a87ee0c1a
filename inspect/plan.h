// tabulon-inspect plan: the repair that `tabulon FILE /F#` would make, run by
// the engine itself over a copy-on-write layer of the files, so that no byte
// reaches them.
#pragma once

#include <string>
#include <vector>

#include "inspect/session.h"

namespace inspect {

// Runs the tabulon program with `options` (its own options, /F-1 added when
// none is a fix mask) on `path` over the layer: prints what it prints, on the
// same streams, then the summary of the writes it made; with --json one
// document with both. Status 0 when nothing would be written, 1 when the
// repair would write, 2 when the run failed.
int cmdPlan(Context& cx, const std::string& path, const std::vector<std::string>& options);

}  // namespace inspect
