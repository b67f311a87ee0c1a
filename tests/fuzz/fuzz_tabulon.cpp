// Fuzz target: the input becomes a Btrieve file set and the whole tool runs on
// it, in-process, with four command lines. A repair run that changes a byte
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

#include "check/scan.h"
#include "cli/options.h"
#include "cli/run.h"
#include "fileio/cache.h"
#include "fileio/fileset.h"
#include "format/geometry.h"
#include "format/pat.h"
#include "support/harness.h"

// Present when a sanitizer runtime is linked in.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

std::string dir, mainName, extName, outName;
int devNull = -1, savedOut = -1, savedErr = -1;

void removeFiles() {
    unlink(mainName.c_str());
    unlink(extName.c_str());
    unlink(outName.c_str());
    rmdir(dir.c_str());
}

// Every process-wide record back to the state of a fresh process.
void resetState() {
    scanOptions = ScanOptions{};
    scanCounters = ScanCounters{};
    fileGeometry = FileGeometry{};
    std::memset(fcrCopy, 0, sizeof fcrCopy);
    std::memset(patCopy, 0, sizeof patCopy);
    loadedPair = -1;
    currentPat = 0;
    freeHeaderCache();
    resetBestPageIndex();
}

// Runs the tool with its output thrown away, or kept in *output.
int runQuietly(const char* const* argv, int argc, std::string* output = nullptr) {
    std::fflush(stdout);
    std::fflush(stderr);
    int outFd = output ? open(outName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1;
    dup2(outFd >= 0 ? outFd : devNull, 1);
    dup2(devNull, 2);
    resetState();
    int status = runTabulon(argc, argv);
    // Every problem and every examined page is counted in exactly one class.
    const ScanCounters& c = scanCounters;
    if (c.totalProblems != c.patProblems + c.dataProblems + c.indexProblems + c.otherProblems ||
        c.totalPagesExamined != c.dataPagesExamined + c.indexPagesExamined + c.otherPagesExamined) {
        dup2(savedErr, 2);
        std::fprintf(stderr, "counters of the report do not add up\n");
        std::abort();
    }
    // A failed open leaves the members open, as a process that ends would.
    if (status == -3) closeFileSet();
    for (auto& h : fileSet.memberHandles) h = kInvalidHandle;
    fileSet.deltaHandle = kInvalidHandle;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    if (outFd >= 0) {
        close(outFd);
        const harness::Bytes bytes = harness::readFile(outName);
        output->assign(bytes.begin(), bytes.end());
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
    outName = dir + "/OUTPUT";
    devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    savedOut = dup(1);
    savedErr = dup(2);
    if (devNull < 0 || savedOut < 0 || savedErr < 0) std::abort();
    // Sanitizer reports must not vanish with the tool's own output.
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(savedErr)));
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
    runQuietly(check, 2);
    runQuietly(startZero, 4);
    runQuietly(fixAll, 3, &output);
    nothingLost(output);
    lay();
    runQuietly(fixVerbose, 6);
    return 0;
}
