// What the reliability tests and the fuzz target need around the files they
// build: scratch directories, whole-file reads and writes, the tool run as a
// child process, and the check that a repair wrote nothing it must not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

using Bytes = std::vector<std::uint8_t>;

// Scratch directory, removed with its files at destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void writeFile(const std::string& name, const Bytes& bytes);
Bytes readFile(const std::string& name);

// Runs the tool as a child process, killing it after timeoutSeconds.
struct RunResult {
    int status = -1;  // exit status 0 to 255, or -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    double seconds = 0;
    std::string out, err;
};
RunResult runTool(const std::vector<std::string>& args, double timeoutSeconds = 60);
// The same for any program, run in `folder` (the current folder when empty).
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& folder, double timeoutSeconds = 60);

// Whether a finished run ended as the tool may end: by its own exit status,
// without a signal, a time-out or a sanitizer report. Empty when so.
std::string runFault(const RunResult& r);

// Compares the file set after a repair run with its bytes from before. Fails
// (returns a description) when a byte changed anywhere but in the header and
// slots of a PAT page, or in the header of a page that a repair line of the
// run's output names. before and after hold the bytes of each member file,
// in order.
std::string changesOutsideRepairs(const std::vector<Bytes>& before, const std::vector<Bytes>& after,
                                  const std::string& output);

}  // namespace harness
