// Fuzz target: the input becomes a Btrieve file set and the whole tool runs on
// it, in-process, with four command lines, and the inspector's commands. A repair run that changes a byte
// outside the PAT pages and the page headers it names aborts, as a crash, and
// so does a report whose totals are not the sums of their classes.
//
// Input: a u16 (little-endian) split selector, then the file set's bytes.
// Selector 0 puts everything in the main file; any other value s puts the
// bytes from s x 64 on (possibly none) into extension file .^01.
//
// A long campaign, on one core, from the build folder:
//   mkdir -p corpus
//   tests/fuzz/tabulon_fuzz -fork=1 -ignore_timeouts=1 -ignore_crashes=1
//       -max_len=40000 -timeout=10 -dict=SOURCE/tests/fuzz/tabulon.dict
//       corpus tests/fuzz/seeds
// Turn every input that breaks the tool into a listing for regressions/ with
//   tests/fuzz/tabulon_fuzz_replay --hex INPUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check/options.h"
#include "cli/run.h"
#include "fileio/output.h"
#include "inspect/inspect.h"
#include "support/harness.h"

using namespace tabulon;

namespace {

std::string dir, mainName, extName, mapName;

void removeFiles() {
    unlink(mainName.c_str());
    unlink(extName.c_str());
    unlink(mapName.c_str());
    rmdir(dir.c_str());
}

// Runs the tool in-process with its output collected, or counted and thrown
// away. Every run starts from nothing: the library keeps no state between
// runs.
int runQuietly(const char* const* argv, int argc, std::string* output = nullptr) {
    ScanCounters c;
    int status;
    if (output) {
        BufferOutput out;
        status = runTabulon(argc, argv, out, systemPlatform(), &c);
        *output = out.outText;
    } else {
        NullOutput out;
        status = runTabulon(argc, argv, out, systemPlatform(), &c);
    }
    // Every problem and every examined page is counted in exactly one class.
    if (c.totalProblems != c.patProblems + c.dataProblems + c.indexProblems + c.otherProblems ||
        c.totalPagesExamined != c.dataPagesExamined + c.indexPagesExamined + c.otherPagesExamined) {
        std::fprintf(stderr, "counters of the report do not add up\n");
        std::abort();
    }
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tabulon-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    mainName = dir + "/FILE.DAT";
    extName = dir + "/FILE.^01";
    mapName = dir + "/map.svg";
    std::atexit(removeFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t selector = size_t(data[0]) | size_t(data[1]) << 8;
    const uint8_t* body = data + 2;
    const size_t n = size - 2;
    const size_t split = selector == 0 ? n : std::min(selector * 64, n);

    std::vector<harness::Bytes> members = {harness::Bytes(body, body + split)};
    if (selector != 0) members.emplace_back(body + split, body + n);
    const std::vector<std::string> names = {mainName, extName};
    auto lay = [&] {
        unlink(extName.c_str());
        for (size_t m = 0; m < members.size(); ++m) harness::writeFile(names[m], members[m]);
    };
    auto nothingLost = [&](const std::string& output) {
        std::vector<harness::Bytes> after;
        for (size_t m = 0; m < members.size(); ++m) after.push_back(harness::readFile(names[m]));
        std::string lost = harness::changesOutsideRepairs(members, after, output);
        if (lost.empty()) return;
        std::fprintf(stderr, "repair changed bytes it must not:\n%s", lost.c_str());
        std::abort();
    };
    const char* name = mainName.c_str();
    const char* check[] = {"tabulon", name};
    const char* startZero[] = {"tabulon", name, "/S0", "/R"};
    const char* fixAll[] = {"tabulon", name, "/F-1"};
    const char* fixVerbose[] = {"tabulon", name, "/F-1", "/O", "/D", "/Z"};

    std::string output;
    lay();
    // The inspector's commands on the same set; none of them writes to it.
    for (const char* command : {"info", "pairs", "entries", "map"}) {
        const char* inspect[] = {"tabulon-inspect", "--json", command, name, "-o", mapName.c_str()};
        NullOutput quiet;
        runInspect(std::string(command) == "map" ? 6 : 4, inspect, quiet, tabulon::systemPlatform());
    }
    runQuietly(check, 2);
    runQuietly(startZero, 4);
    runQuietly(fixAll, 3, &output);
    nothingLost(output);
    lay();
    runQuietly(fixVerbose, 6);
    return 0;
}
