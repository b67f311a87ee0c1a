#include "fileio/fileset.h"

#include <cinttypes>
#include <cstdio>

#include "cli/options.h"
#include "format/geometry.h"
#include "format/layout.h"
#include "format/pat.h"

FileSet fileSet = [] {
    FileSet fs{};
    for (auto& h : fs.memberHandles) h = kInvalidHandle;
    fs.deltaHandle = kInvalidHandle;
    return fs;
}();

namespace {

// Largest threshold row: the byte offset of physical page 15 x pageSize / 2 + 2,
// from which 6.x files place their pages 4096 bytes further on.
uint32_t thresholdFor(uint16_t pageSize) {
    switch (pageSize) {
        case 512:
        case 1024:
        case 1536:
        case 2048:
        case 2560:
        case 3072:
        case 3584:
        case 4096: return uint32_t(pageSize) * (15u * pageSize / 2 + 2);
        default: return 0;
    }
}

bool openOne(const std::string& name, int mode, PlatformHandle* handle, uint64_t* size,
             uint32_t* error) {
    if (!platformOpen(name.c_str(), mode, handle, error)) return false;
    if (!platformSize(*handle, size)) *size = 0;
    return true;
}

constexpr uint32_t kFileNotFound = 2;

}  // namespace

bool memberName(const std::string& path, int k, std::string* name) {
    std::string base = path;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    if (k == 0) {
        base = path;
    } else if (k == kDeltaMember) {
        base += ".^^^";
    } else {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".^%.2x", unsigned(k));
        base += suffix;
    }
    if (base.size() > size_t(kMaxPathLength)) return false;
    *name = base;
    return true;
}

int openFileSet(const char* path, int mode) {
    const bool verbose = scanOptions.verbose;
    if (verbose) std::fprintf(stderr, "Opening File <%s>\r\n", path);

    fileSet.totalSectors = 0;
    fileSet.memberCount = 0;
    for (int i = 0; i < kMaxMembers; ++i) {
        fileSet.memberSizes[i] = 0;
        fileSet.memberHandles[i] = kInvalidHandle;
        fileSet.memberWritten[i] = false;
    }
    fileSet.deltaHandle = kInvalidHandle;
    fileSet.deltaSize = 0;
    loadedPair = -1;

    int i = 0;
    std::string name;
    // A main path longer than a name buffer is not opened at all.
    bool named = memberName(path, 0, &name);
    while (named) {
        if (verbose) std::fprintf(stderr, "Opening File <%s>...", name.c_str());
        uint32_t error = 0;
        uint64_t size = 0;
        if (!openOne(name, mode, &fileSet.memberHandles[i], &size, &error)) {
            fileSet.memberHandles[i] = kInvalidHandle;
            std::string text = platformErrorText(error);
            if (verbose) {
                std::fprintf(stderr, "Failed (%lu), %s", (unsigned long)error, text.c_str());
            } else if (i == 0 || error != kFileNotFound) {
                std::fprintf(stderr, "Failed to Open File <%s>, Status Code %lu, %s", name.c_str(),
                             (unsigned long)error, text.c_str());
            }
            break;
        }
        if (verbose) std::fprintf(stderr, "Opened\r\n");
        fileSet.memberSizes[i] = size;
        fileSet.totalSectors += uint32_t(size / kSectorSize);
        ++i;
        if (i >= kMaxMembers) break;
        // An extension name too long for a name buffer ends the set silently.
        named = memberName(path, i, &name);
    }
    fileSet.memberCount = uint16_t(i);

    if (memberName(path, kDeltaMember, &name)) {
        if (verbose) std::fprintf(stderr, "Opening File <%s>...", name.c_str());
        uint32_t error = 0;
        uint64_t size = 0;
        if (openOne(name, mode, &fileSet.deltaHandle, &size, &error)) {
            fileSet.deltaSize = size;
            std::fprintf(stderr, "Delta File Found and Opened!\r\n");
        } else {
            fileSet.deltaHandle = kInvalidHandle;
        }
    }

    if (fileSet.memberCount == 0) return 0;

    if (verbose) std::fprintf(stderr, "Loading FCR\r\n");
    if (!loadFcr()) return 0;

    if (fileGeometry.versionCode >= 0x0600 && fileGeometry.versionCode <= 0x06FF) {
        uint32_t threshold = thresholdFor(fileGeometry.pageSize);
        if (threshold != 0) fileGeometry.largeOffsetThreshold = threshold;
    }
    return fileSet.memberCount;
}

void mapFileSetOffset(uint64_t offset, uint16_t* member, uint64_t* rest) {
    uint16_t m = 0;
    uint64_t r = offset;
    if (r >= fileSet.memberSizes[0]) {
        for (;;) {
            if (m >= fileSet.memberCount) break;
            r -= fileSet.memberSizes[m];
            ++m;
            if (m >= fileSet.memberCount) break;
            if (r < fileSet.memberSizes[m]) break;
        }
    }
    *member = m;
    *rest = r;
}

namespace {

// Maps the offset and prints the positioning trace.
bool locate(uint64_t offset, uint16_t* member, uint64_t* rest) {
    mapFileSetOffset(offset, member, rest);
    if (scanOptions.verbose) {
        std::printf("Attempting to set position to Extent %.2x, Offset %.8x:%.8x\n",
                    unsigned(*member), unsigned(*rest >> 32), unsigned(*rest & 0xFFFFFFFFu));
    }
    return *member < fileSet.memberCount;
}

}  // namespace

int seekFileSet(uint64_t offset, uint16_t* member) {
    uint64_t rest;
    if (!locate(offset, member, &rest)) return 0;
    return platformSeek(fileSet.memberHandles[*member], rest) ? 1 : 0;
}

int readAt(uint64_t offset, void* buffer, size_t n) {
    uint16_t member;
    uint64_t rest;
    if (!locate(offset, &member, &rest)) return 0;
    size_t got = 0;
    if (!platformReadAt(fileSet.memberHandles[member], rest, buffer, n, &got)) return 0;
    return got == n ? 1 : 0;
}

int writeAt(uint64_t offset, const void* buffer, size_t n) {
    uint16_t member;
    uint64_t rest;
    if (!locate(offset, &member, &rest)) return 0;
    size_t put = 0;
    fileSet.memberWritten[member] = true;
    if (!platformWriteAt(fileSet.memberHandles[member], rest, buffer, n, &put)) return 0;
    return put == n ? 1 : 0;
}

void closeFileSet() {
    if (scanOptions.verbose) std::fprintf(stderr, "Closing all files...\r\n");
    for (int i = 0; i < kMaxMembers; ++i) {
        PlatformHandle h = fileSet.memberHandles[i];
        if (h == kInvalidHandle) continue;
        // Repairs reach the disk before the report says they were made.
        if (fileSet.memberWritten[i]) platformFlush(h);
        platformClose(h);
    }
    if (fileSet.deltaHandle != kInvalidHandle) platformClose(fileSet.deltaHandle);
}
