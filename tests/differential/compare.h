// What one run of the tool leaves, and how two of them are told apart.
#pragma once

#include <string>

#include "support/textdiff.h"

namespace differential {

// The bytes of every regular file of a folder, by name.
using textdiff::Snapshot;

struct Outcome {
    int status = 0;  // as a signed byte: -3, not 253
    std::string out, err;
    Snapshot files;  // the case folder after the run
};

// Reads every regular file of a folder.
Snapshot snapshot(const std::string& folder);
// Empties a folder and writes the files into it.
void restore(const std::string& folder, const Snapshot& files);

// What differs between the release's outcome and the current one, in words
// and diffs; empty when nothing does.
std::string describeDifferences(const Outcome& release, const Outcome& current);

}  // namespace differential
