// The options read from the command line and the counters of the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxPathLength = 254;  // a name buffer holds 254 characters and a terminator

struct ScanOptions {
    int verbose = 0;            // /D: trace lines
    int progress = 1;           // /R clears: progress lines
    int showOffsets = 0;        // /O: show PAT and physical page offsets
    int checkZeroPointers = 0;  // /Z: report entries of type 0
    int unprotected = 0;        // /U: shared open
    int32_t fixMask = 0;        // /F#: repair bits 1, 2, 4 and 8
    uint32_t startPair = 1;     // /S#
    std::string path;
};

struct ScanCounters {
    uint32_t patPagesExamined = 0;
    uint32_t dataPagesExamined = 0;
    uint32_t indexPagesExamined = 0;
    uint32_t otherPagesExamined = 0;
    uint32_t totalPagesExamined = 0;
    uint32_t patProblems = 0;
    uint32_t dataProblems = 0;
    uint32_t indexProblems = 0;
    uint32_t otherProblems = 0;
    uint32_t zeroPointerProblems = 0;
    uint32_t totalProblems = 0;
    uint32_t patHeadersFixed = 0;
    uint32_t dataPointersFixed = 0;
    uint32_t indexPointersFixed = 0;
    uint32_t variablePointersFixed = 0;
    uint32_t pagesResetToFree = 0;
    uint32_t totalFixed = 0;
};

namespace fixbit {
constexpr int32_t pageId = 1;     // write a corrected page id into a zero header
constexpr int32_t freeSpace = 2;  // make a bad pointer a free-space pointer
constexpr int32_t patHeader = 4;  // rewrite damaged PAT header fields
constexpr int32_t bestPage = 8;   // point the entry at the best page found
}  // namespace fixbit

extern ScanOptions scanOptions;
extern ScanCounters scanCounters;

// What the command line asks for: the options, and the option notices in the
// order they are printed (the arguments are visited from last to first).
struct CommandLine {
    bool showUsage = false;
    ScanOptions options;
    std::vector<std::string> notices;
};

// Reads argv (argv[0] is the program name). Pure: prints nothing.
CommandLine parseCommandLine(int argc, const char* const* argv);

// Converts the text after /F or /S as a 32-bit strtol would: leading blanks and
// a sign allowed, stops at the first non-digit, no digits gives 0, values out of
// range clamp.
int32_t optionValue(const char* text);
