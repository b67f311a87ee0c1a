// Fuzz target: the input becomes a Btrieve file set and the whole tool runs on
// it, in-process, with four command lines.
//
// Input: a u16 (little-endian) split selector, then the file set's bytes.
// Selector 0 puts everything in the main file; any other value s puts the
// bytes from s x 64 on (possibly none) into extension file .^01.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check/scan.h"
#include "cli/options.h"
#include "cli/run.h"
#include "fileio/cache.h"
#include "fileio/fileset.h"
#include "format/geometry.h"
#include "format/pat.h"

// Present when a sanitizer runtime is linked in.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

std::string dir, mainName, extName;
int devNull = -1, savedOut = -1, savedErr = -1;

void removeFiles() {
    unlink(mainName.c_str());
    unlink(extName.c_str());
    rmdir(dir.c_str());
}

bool writeWhole(const std::string& name, const uint8_t* data, size_t n) {
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(fd, data + done, n - done);
        if (put <= 0) break;
        done += size_t(put);
    }
    close(fd);
    return done == n;
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

int runQuietly(const char* const* argv, int argc) {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(devNull, 1);
    dup2(devNull, 2);
    resetState();
    int status = runTabulon(argc, argv);
    // A failed open leaves the members open, as a process that ends would.
    if (status == -3) closeFileSet();
    for (auto& h : fileSet.memberHandles) h = kInvalidHandle;
    fileSet.deltaHandle = kInvalidHandle;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
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

    auto lay = [&] {
        unlink(extName.c_str());
        if (!writeWhole(mainName, body, split)) std::abort();
        if (selector != 0 && !writeWhole(extName, body + split, n - split)) std::abort();
    };
    const char* name = mainName.c_str();
    const char* check[] = {"tabulon", name};
    const char* startZero[] = {"tabulon", name, "/S0", "/R"};
    const char* fixAll[] = {"tabulon", name, "/F-1"};
    const char* fixVerbose[] = {"tabulon", name, "/F-1", "/O", "/D", "/Z"};

    lay();
    runQuietly(check, 2);
    runQuietly(startZero, 4);
    runQuietly(fixAll, 3);
    lay();
    runQuietly(fixVerbose, 6);
    return 0;
}
