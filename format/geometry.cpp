#include "format/geometry.h"

#include <cstdio>
#include <cstring>

#include "cli/options.h"
#include "fileio/fileset.h"
#include "format/le.h"

FileGeometry fileGeometry;
uint8_t fcrCopy[2][kBufferSize];

namespace {

int notBtrieve(const char* text) {
    std::fputs(text, stderr);
    return 0;
}

// Reads up to n bytes at a file-set offset from the member that holds it; a
// partial read is acceptable here, the caller judges the count.
bool readFcrCopy(uint64_t offset, uint8_t* buffer, size_t n, size_t* got) {
    uint16_t member;
    if (!seekFileSet(offset, &member)) return false;
    return platformRead(fileSet.memberHandles[member], buffer, n, got);
}

void setGeometry(FileGeometry& g, uint16_t version) {
    const uint8_t* c0 = fcrCopy[0];
    if (version < version::v800) {
        g.pageSize = uint16_t(c0[fcr::pageSizeOld] * 256);
        g.patPageSize = g.pageSize;
        g.usageOffset = g.headerSize = g.patIdLength = 4;
        return;
    }
    g.pageSize = uint16_t(c0[fcr::pageSizeNew] * 256);
    uint16_t twice = uint16_t(2 * g.pageSize);  // 16-bit: 32768 and more wrap
    if (version < version::v950) {
        g.patPageSize = twice < 2048 ? 2048 : twice;
        if (g.pageSize == 8192) g.patPageSize = 8192;
        g.usageOffset = g.headerSize = g.patIdLength = 6;
    } else if (version == version::v950) {
        g.patPageSize = twice < 4096 ? 4096 : twice;
        if (g.pageSize >= 16384) g.patPageSize = 16384;
        g.usageOffset = g.headerSize = g.patIdLength = 8;
    } else {
        g.patPageSize = twice;
        if (g.pageSize >= 16384) g.patPageSize = 16384;
        g.usageOffset = g.patIdLength = 8;
        g.headerSize = 16;
    }
}

int entriesFor(bool quiet) {
    const FileGeometry& g = fileGeometry;
    if (g.versionCode < version::v800) return g.patPageSize / 4 - 2;
    int e = 0;
    if (g.versionCode < version::v950) {
        switch (g.pageSize) {
            case 512: e = 312; break;
            case 1024: e = 316; break;
            case 1536: e = 476; break;
            case 2048: e = 636; break;
            case 2560: e = 796; break;
            case 3072: e = 956; break;
            case 3584: e = 1116; break;
            case 4096: e = 1276; break;
            case 8192: e = 1278; break;
            default: break;
        }
    } else {
        switch (g.pageSize) {
            case 1024: e = 476; break;
            case 2048: e = 478; break;
            case 4096: e = 956; break;
            case 8192: e = 1596; break;
            case 16384: e = 1598; break;
            default: break;
        }
    }
    if (e == 0 && !quiet) std::fprintf(stderr, "Unexpected Page Size <%d>\n", int(g.pageSize));
    return e;
}

int strideFor(bool quiet) {
    const FileGeometry& g = fileGeometry;
    if (g.versionCode < version::v950) {
        return entriesFor(quiet) * g.pageSize + 2 * g.patPageSize;
    }
    int m = 0;
    switch (g.pageSize) {
        case 1024: m = 480; break;
        case 2048: m = 480; break;
        case 4096: m = 960; break;
        case 8192: m = 1600; break;
        case 16384: m = 1600; break;
        default:
            if (!quiet) std::fprintf(stderr, "Unexpected Page Size <%d>\n", int(g.pageSize));
            break;
    }
    int unit = g.compressed ? g.compressedPageSize : g.pageSize;
    return m * unit;
}

}  // namespace

int patEntriesPerPage() {
    return entriesFor(false);
}
int patPairStride() {
    return strideFor(false);
}
int patEntriesPerPageQuiet() {
    return entriesFor(true);
}
int patPairStrideQuiet() {
    return strideFor(true);
}

uint32_t lastPatPair() {
    const uint8_t* c = fcrCopy[fileGeometry.currentFcr];
    if (fileGeometry.versionCode < version::v700) return le16(c + fcr::lastPair);
    return le32(c + fcr::lastPair);
}

int loadFcr() {
    FileGeometry& g = fileGeometry;
    g.encrypted = 0;
    std::memset(g.encryptionMask, 0, sizeof g.encryptionMask);
    g.versionCode = 0;

    size_t got = 0;
    if (!readFcrCopy(0, fcrCopy[0], fcr::firstReadMax, &got) || got < size_t(fcr::firstReadMin)) {
        return notBtrieve("Not a Btrieve File!\n");
    }

    const uint8_t* c0 = fcrCopy[0];
    uint16_t stored;
    if (le32(c0) == 0) {
        stored = le16(c0 + fcr::versionPlain);
    } else {
        if (c0[fcr::signature0] != 'F' && c0[fcr::signature1] != 'C') {
            return notBtrieve("Not a Btrieve File!\n");
        }
        stored = le16(c0 + fcr::versionSigned);
    }
    g.versionCode = stored > version::foldAbove ? uint16_t(0x10000 - stored) : stored;
    if (scanOptions.verbose) std::fprintf(stderr, "File Version Found = %.4X\n", g.versionCode);

    setGeometry(g, g.versionCode);
    g.currentFcr = 0;

    if (g.versionCode >= version::v600) {
        // A page size the buffers cannot hold, or below one sector, is damage.
        if (g.patPageSize > kBufferSize || g.pageSize < 512) {
            return notBtrieve("Not a Btrieve File!\n");
        }
        uint16_t member;
        if (!seekFileSet(g.patPageSize, &member)) return notBtrieve("Not a Btrieve File....\n");
        if (!platformRead(fileSet.memberHandles[member], fcrCopy[1], g.patPageSize, &got) ||
            got < g.patPageSize) {
            return notBtrieve("Not a Btrieve File.....\n");
        }
        uint32_t u0 = le32(fcrCopy[0] + g.usageOffset);
        uint32_t u1 = le32(fcrCopy[1] + g.usageOffset);
        if (u0 < u1) g.currentFcr = 1;
    }

    const uint8_t* cur = fcrCopy[g.currentFcr];
    uint32_t count = le32(cur + fcr::pageCount);
    g.pageCount = g.versionCode <= version::v950 ? swapHalves(count) : count;
    if (scanOptions.verbose) std::printf("Found %lu pages in file.\n", (unsigned long)g.pageCount);

    if (cur[fcr::flags] & fcr::flagEncrypted) {
        g.encrypted = 1;
        std::memcpy(g.encryptionMask, cur + fcr::encryptionMask, sizeof g.encryptionMask);
    }

    g.compressed = 0;
    g.compressedPageSize = g.pageSize;
    if (g.versionCode >= version::v950) {
        int at = g.versionCode == version::v950 ? fcr::compressionFlags950 : fcr::compressionFlags;
        if (le16(cur + at) & fcr::flagCompressed) {
            g.compressed = 1;
            g.compressedPageSize = le16(cur + fcr::compressedPageSize);
            // Pages of compressed files are addressed in this unit. A unit of
            // a few bytes would lay pages over each other byte by byte: damage.
            // A unit of 0 locates pair 1 only, and the scan stops after it.
            if (g.compressedPageSize != 0 && g.compressedPageSize < 512) {
                return notBtrieve("Not a Btrieve File!\n");
            }
            std::printf("\nWarning: v9.50 files with Page Compression are not yet supported!\n\n");
        }
    }

    if (g.versionCode > version::v950) {
        if (g.versionCode == version::v1630) {
            std::printf("\nWarning: v16 files are NOT completely supported!\n\n");
        } else {
            std::printf("\nWarning: v%d.%.2x files are NOT completely supported!\n\n",
                        g.versionCode >> 8, unsigned(g.versionCode & 0xFF));
        }
    }
    return 1;
}
