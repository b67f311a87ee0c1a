// What one run of the tool leaves, and how two of them are told apart.
#pragma once

#include <map>
#include <string>

namespace differential {

// The bytes of every regular file of a folder, by name.
using Snapshot = std::map<std::string, std::string>;

struct Outcome {
    int status = 0;  // as a signed byte: -3, not 253
    std::string out, err;
    Snapshot files;  // the case folder after the run
};

// Reads every regular file of a folder.
Snapshot snapshot(const std::string& folder);
// Empties a folder and writes the files into it.
void restore(const std::string& folder, const Snapshot& files);

// A unified diff (three lines of context) of two texts, line by line, with
// control characters shown as escapes; empty when they are equal.
std::string unifiedDiff(const std::string& label, const std::string& before,
                        const std::string& after);

// Every changed byte as "<member> <offset> <old> <new>", offsets in hex, and
// a line for each file that appears, vanishes or changes size: the golden
// cases' form of a run's changes.
std::string listChanges(const Snapshot& before, const Snapshot& after);

// What differs between the release's outcome and the current one, in words
// and diffs; empty when nothing does.
std::string describeDifferences(const Outcome& release, const Outcome& current);

}  // namespace differential
