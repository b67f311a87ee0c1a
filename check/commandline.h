// The command line of the tabulon program: what it asks for, read by a pure
// function of its words. The program reads its argv with it; a caller that
// runs the check for a user (the inspector's plan) reads the same words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/options.h"

namespace tabulon {

// What the command line asks for: the options, the path, and the option
// notices in the order they are printed (the arguments are visited from
// last to first).
struct CommandLine {
    bool showUsage = false;
    tabulon::ScanOptions options;
    bool fixMaskGiven = false;  // a /F option, whatever its value
    std::string path;
    std::vector<std::string> notices;
};

// Reads argv (argv[0] is the program name). Pure: prints nothing.
CommandLine parseCommandLine(int argc, const char* const* argv);

// The same for the words after the program name (the path first).
CommandLine parseCommandWords(const std::vector<std::string>& words);

// Converts the text after /F or /S as a 32-bit strtol would: leading blanks and
// a sign allowed, stops at the first non-digit, no digits gives 0, values out of
// range clamp.
int32_t optionValue(const char* text);

}  // namespace tabulon
