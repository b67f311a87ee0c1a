// Helper for the Windows suite, cross-compiled with the Windows platform layer
// and run under Wine next to tabulon.exe.
//
//   platform_probe hold MODE FILE RELEASE [SECONDS]
//       Opens FILE with the platform binding in MODE and keeps it open until the file
//       RELEASE exists (or SECONDS pass, 60 by default). Prints "held\n" once
//       the file is open, or "refused CODE\n" and exits 3.
//   platform_probe text CODE
//       Prints the binding's text for CODE unchanged.
//   platform_probe io FILE
//       FILE must be a file of exactly 6 GiB. Checks 64-bit size and
//       positioning: writes marker bytes past 4 GiB and near 4 GiB, reads them
//       back, and checks that a position whose low 32 bits are all ones is
//       refused. Prints one line per failed check, "io ok\n" when all pass.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileio/platform.h"

using namespace tabulon;

namespace {

// The binding under test, by the names of its operations.
Platform& sys = systemPlatform();
bool platformOpen(const char* name, int mode, PlatformHandle* h, uint32_t* error) {
    return sys.open(name, mode, h, error);
}
bool platformSize(PlatformHandle h, uint64_t* size) {
    return sys.size(h, size);
}
bool platformReadAt(PlatformHandle h, uint64_t at, void* buffer, size_t n, size_t* got) {
    return sys.readAt(h, at, buffer, n, got);
}
bool platformWriteAt(PlatformHandle h, uint64_t at, const void* buffer, size_t n, size_t* put) {
    return sys.writeAt(h, at, buffer, n, put);
}
bool platformFlush(PlatformHandle h) {
    uint32_t error = 0;
    return sys.flush(h, &error);
}
void platformClose(PlatformHandle h) {
    sys.close(h);
}

constexpr uint64_t kGiB = uint64_t(1) << 30;

int hold(int mode, const char* name, const char* release, int seconds) {
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    if (!platformOpen(name, mode, &h, &error)) {
        std::printf("refused %lu\n", (unsigned long)error);
        return 3;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (int waited = 0; waited < seconds * 1000; waited += 20) {
        if (GetFileAttributesA(release) != INVALID_FILE_ATTRIBUTES) {
            platformClose(h);
            return 0;
        }
        Sleep(20);
    }
    platformClose(h);
    std::printf("timed out\n");
    return 2;
}

int failures = 0;

void expect(bool ok, const char* what) {
    if (ok) return;
    std::printf("FAILED: %s\n", what);
    ++failures;
}

int io(const char* name) {
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    if (!platformOpen(name, Repair, &h, &error)) {
        std::printf("FAILED: open for writing, code %lu\n", (unsigned long)error);
        return 1;
    }
    uint64_t size = 0;
    expect(platformSize(h, &size), "size call");
    expect(size == 6 * kGiB, "size of a 6 GiB file");

    // Past 4 GiB: the high part of the position must reach the system.
    const uint64_t pastFourGiB = 5 * kGiB + 3;
    size_t n = 0;
    expect(platformWriteAt(h, pastFourGiB, "FAR5", 4, &n) && n == 4, "write at 5 GiB + 3");
    // Just below 4 GiB, where the low part is large but not all ones.
    const uint64_t belowFourGiB = 4 * kGiB - 6;
    expect(platformWriteAt(h, belowFourGiB, "NEAR4", 5, &n) && n == 5, "write at 4 GiB - 6");

    char buffer[8] = {};
    expect(platformReadAt(h, pastFourGiB, buffer, 4, &n) && n == 4 &&
               std::memcmp(buffer, "FAR5", 4) == 0,
           "read back at 5 GiB + 3");
    std::memset(buffer, 0, sizeof buffer);
    expect(platformReadAt(h, belowFourGiB, buffer, 5, &n) && n == 5 &&
               std::memcmp(buffer, "NEAR4", 5) == 0,
           "read back at 4 GiB - 6");

    // A read one byte further on starts there.
    std::memset(buffer, 0, sizeof buffer);
    expect(platformReadAt(h, pastFourGiB + 1, buffer, 3, &n) && n == 3 &&
               std::memcmp(buffer, "AR5", 3) == 0,
           "read at 5 GiB + 4");

    // A read that runs past the end comes back short, not failed.
    std::memset(buffer, 0, sizeof buffer);
    expect(platformReadAt(h, 6 * kGiB - 2, buffer, 8, &n) && n == 2, "short read at the end");

    // Positions whose low 32 bits are all ones count as failures.
    expect(!platformReadAt(h, 0xFFFFFFFFull, buffer, 1, &n), "read at 4 GiB - 1 is refused");
    expect(!platformReadAt(h, 0x1FFFFFFFFull, buffer, 1, &n), "read at 8 GiB - 1 is refused");
    expect(!platformWriteAt(h, 0xFFFFFFFFull, "X", 1, &n), "write at 4 GiB - 1 is refused");

    expect(platformFlush(h), "flush");
    platformClose(h);
    if (failures == 0) std::printf("io ok\n");
    return failures == 0 ? 0 : 1;
}

int usage() {
    std::fputs(
        "usage: platform_probe hold MODE FILE RELEASE [SECONDS]\n"
        "       platform_probe text CODE\n"
        "       platform_probe io FILE\n",
        stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc >= 5 && std::strcmp(argv[1], "hold") == 0) {
        int seconds = argc >= 6 ? std::atoi(argv[5]) : 60;
        return hold(std::atoi(argv[2]), argv[3], argv[4], seconds);
    }
    if (argc == 3 && std::strcmp(argv[1], "text") == 0) {
        std::string text = sys.errorText(uint32_t(std::strtoul(argv[2], nullptr, 0)));
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "io") == 0) return io(argv[2]);
    return usage();
}
