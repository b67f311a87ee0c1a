// The entry of each program: standard output and standard error as the
// console, the arguments in UTF-8 (on Windows taken as the system holds
// them, in UTF-16: the programs are linked with -municode), the run, and
// standard output flushed before the status is returned.
#pragma once

#include <cstdio>

#include "fileio/output.h"
#include "fileio/platform.h"

namespace tabulon {

using ProgramRun = int (*)(int argc, const char* const* argv, Output& out);

inline int runProgram(int argc, const char* const* argv, ProgramRun run) {
    StdioOutput out;
    const int status = run(argc, argv, out);
    std::fflush(stdout);
    return status;
}

#ifdef _WIN32
inline int runProgram(int argc, wchar_t** argv, ProgramRun run) {
    const Utf8Arguments args(argc, argv);
    return runProgram(argc, args.argv.data(), run);
}
#endif

}  // namespace tabulon
