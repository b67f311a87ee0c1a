// How two runs' texts and files are told apart in a test's failure message:
// a unified diff of two texts and a list of the bytes that differ between
// two sets of files.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace textdiff {

// The bytes of every regular file of a folder, by name.
using Snapshot = std::map<std::string, std::string>;

// A line with its control characters and backslashes as escapes.
std::string visible(const std::string& line);

// A unified diff (three lines of context) of two texts, line by line, with
// control characters shown as escapes; empty when they are equal. `names`
// says what the two texts are ("expected"/"actual").
std::string unifiedDiff(const std::string& label, const std::string& before,
                        const std::string& after, const char* beforeName = "before",
                        const char* afterName = "after");

// Every changed byte as "<member> <offset> <old> <new>", offsets in hex, and
// a line for each file that appears, vanishes or changes size: the golden
// cases' form of a run's changes.
std::string listChanges(const Snapshot& before, const Snapshot& after);

}  // namespace textdiff
