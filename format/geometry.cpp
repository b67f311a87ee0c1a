#include "format/geometry.h"

#include <cstring>

#include "format/le.h"

namespace tabulon {

bool decodeFcrVersion(const uint8_t* c0, FcrVersion* v) {
    if (le32(c0) == 0) {
        v->stored = le16(c0 + fcr::versionPlain);
    } else {
        // Either signature byte is enough.
        if (c0[fcr::signature0] != 'F' && c0[fcr::signature1] != 'C') return false;
        v->stored = le16(c0 + fcr::versionSigned);
    }
    v->folded = v->stored > version::foldAbove ? uint16_t(0x10000 - v->stored) : v->stored;
    return true;
}

const char* fcrFaultName(FcrFault fault) {
    switch (fault) {
        case FcrFault::None: return "none";
        case FcrFault::TooShort: return "too-short";
        case FcrFault::NoSignature: return "no-signature";
        case FcrFault::UnknownVersion: return "unknown-version";
        case FcrFault::PageSize: return "page-size";
        case FcrFault::SecondCopyAbsent: return "second-copy-absent";
        case FcrFault::SecondCopyShort: return "second-copy-short";
        case FcrFault::CompressionUnit: return "compression-unit";
    }
    return "none";
}

FcrFault fcrHeadFault(const uint8_t* head, size_t n) {
    if (n < size_t(fcr::firstReadMin)) return FcrFault::TooShort;
    FcrVersion v;
    if (!decodeFcrVersion(head, &v)) return FcrFault::NoSignature;
    if (v.folded < 0x0100 || v.folded > 0x1FFF) return FcrFault::UnknownVersion;
    FileGeometry g;
    decodeGeometry(head, v.folded, &g);
    if (g.pageSize == 0 || g.pageSize % 512 != 0) return FcrFault::PageSize;
    if (v.folded >= version::v600 && !geometryUsable(g)) return FcrFault::PageSize;
    return FcrFault::None;
}

uint32_t secondFcrCopyOffset(const uint8_t* head, size_t n) {
    for (uint32_t at = uint32_t(kSectorSize); at <= uint32_t(kBufferSize); at += uint32_t(kSectorSize)) {
        if (n < at + size_t(fcr::firstReadMin)) break;
        const uint8_t* copy = head + at;
        FcrVersion v;
        if (fcrHeadFault(copy, n - at) != FcrFault::None || !decodeFcrVersion(copy, &v)) continue;
        if (v.folded < version::v600) continue;
        FileGeometry g;
        decodeGeometry(copy, v.folded, &g);
        if (g.patPageSize == at) return at;
    }
    return 0;
}

void decodeGeometry(const uint8_t* c0, uint16_t v, FileGeometry* g) {
    g->versionCode = v;
    g->currentFcr = 0;
    if (v < version::v800) {
        g->pageSize = uint16_t(c0[fcr::pageSizeOld] * 256);
        g->patPageSize = g->pageSize;
        g->usageOffset = g->headerSize = g->patIdLength = 4;
        return;
    }
    g->pageSize = uint16_t(c0[fcr::pageSizeNew] * 256);
    uint16_t twice = uint16_t(2 * g->pageSize);  // 16-bit: 32768 and more wrap
    if (v < version::v950) {
        g->patPageSize = twice < 2048 ? 2048 : twice;
        if (g->pageSize == 8192) g->patPageSize = 8192;
        g->usageOffset = g->headerSize = g->patIdLength = 6;
    } else if (v == version::v950) {
        g->patPageSize = twice < 4096 ? 4096 : twice;
        if (g->pageSize >= 16384) g->patPageSize = 16384;
        g->usageOffset = g->headerSize = g->patIdLength = 8;
    } else {
        g->patPageSize = twice;
        if (g->pageSize >= 16384) g->patPageSize = 16384;
        g->usageOffset = g->patIdLength = 8;
        g->headerSize = 16;
    }
}

bool geometryUsable(const FileGeometry& g) {
    return g.patPageSize <= kBufferSize && g.pageSize >= 512;
}

int currentFcrCopy(const FileGeometry& g, const uint8_t* c0, const uint8_t* c1) {
    return le32(c0 + g.usageOffset) < le32(c1 + g.usageOffset) ? 1 : 0;
}

bool decodeCurrentFcr(const uint8_t* cur, FileGeometry* g) {
    uint32_t count = le32(cur + fcr::pageCount);
    g->pageCount = g->versionCode <= version::v950 ? swapHalves(count) : count;

    g->encrypted = 0;
    std::memset(g->encryptionMask, 0, sizeof g->encryptionMask);
    if (cur[fcr::flags] & fcr::flagEncrypted) {
        g->encrypted = 1;
        std::memcpy(g->encryptionMask, cur + fcr::encryptionMask, sizeof g->encryptionMask);
    }

    g->compressed = 0;
    g->compressedPageSize = g->pageSize;
    if (g->versionCode >= version::v950) {
        int at = g->versionCode == version::v950 ? fcr::compressionFlags950 : fcr::compressionFlags;
        if (le16(cur + at) & fcr::flagCompressed) {
            g->compressed = 1;
            g->compressedPageSize = le16(cur + fcr::compressedPageSize);
            // Pages of compressed files are addressed in this unit. A unit of
            // a few bytes would lay pages over each other byte by byte: damage.
            // A unit of 0 locates pair 1 only, and the scan stops after it.
            if (g->compressedPageSize != 0 && g->compressedPageSize < 512) return false;
        }
    }
    return true;
}

uint32_t largeOffsetThresholdFor(uint16_t pageSize) {
    // The byte offset of physical page 15 x pageSize / 2 + 2: where pair 31
    // would lie without its gap.
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

int patEntriesPerPage(const FileGeometry& g) {
    if (g.versionCode < version::v800) return g.patPageSize / 4 - 2;
    if (g.versionCode < version::v950) {
        switch (g.pageSize) {
            case 512: return 312;
            case 1024: return 316;
            case 1536: return 476;
            case 2048: return 636;
            case 2560: return 796;
            case 3072: return 956;
            case 3584: return 1116;
            case 4096: return 1276;
            case 8192: return 1278;
            default: return 0;
        }
    }
    switch (g.pageSize) {
        case 1024: return 476;
        case 2048: return 478;
        case 4096: return 956;
        case 8192: return 1596;
        case 16384: return 1598;
        default: return 0;
    }
}

namespace {

// Pages per pair stride from 0x0950 on, PAT pages included.
int strideMultiplier(uint16_t pageSize) {
    switch (pageSize) {
        case 1024:
        case 2048: return 480;
        case 4096: return 960;
        case 8192:
        case 16384: return 1600;
        default: return 0;
    }
}

}  // namespace

bool entriesKnown(const FileGeometry& g) {
    return g.versionCode < version::v800 || patEntriesPerPage(g) != 0;
}

bool strideKnown(const FileGeometry& g) {
    if (g.versionCode < version::v950) return entriesKnown(g);
    return strideMultiplier(g.pageSize) != 0;
}

int patPairStride(const FileGeometry& g) {
    if (g.versionCode < version::v950) {
        // The plain page size, even for compressed files.
        return patEntriesPerPage(g) * g.pageSize + 2 * g.patPageSize;
    }
    int unit = g.compressed ? g.compressedPageSize : g.pageSize;
    return strideMultiplier(g.pageSize) * unit;
}

uint64_t patPairOffset(const FileGeometry& g, uint32_t n) {
    if (n == 0) return 0;
    uint64_t offset = 2 * uint64_t(g.patPageSize);  // the two FCR copies
    if (g.versionCode >= version::v800) offset += 2 * uint64_t(g.patPageSize);
    if (g.versionCode < version::v700 && n >= 31) offset += 4096;
    return offset + uint64_t(uint32_t(patPairStride(g))) * (n - 1);
}

uint32_t lastPatPair(const FileGeometry& g, const uint8_t* cur) {
    if (g.versionCode < version::v700) return le16(cur + fcr::lastPair);
    return le32(cur + fcr::lastPair);
}

uint32_t pairsThatFit(const FileGeometry& g, uint32_t last, uint64_t setSize) {
    if (patPairStride(g) == 0) return last;
    auto fits = [&](uint32_t n) { return patPairOffset(g, n) + 2ull * g.patPageSize <= setSize; };
    // The first pair that does not fit.
    uint32_t lo = 1, hi = last + 1;
    if (last == UINT32_MAX) hi = last;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (fits(mid)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo - 1;
}

uint64_t pageUnit(const FileGeometry& g) {
    return g.compressed ? g.compressedPageSize : g.pageSize;
}

uint64_t pageOffset(const FileGeometry& g, uint32_t n) {
    uint64_t offset = pageUnit(g) * n;
    // 6.x files skip 4096 bytes from the threshold on, where pair 31's gap lies.
    if (g.versionCode >= version::shiftFirst && g.versionCode <= version::shiftLast &&
        offset >= g.largeOffsetThreshold) {
        offset += 4096;
    }
    return offset;
}

bool touchesPageHeader(const FileGeometry& g, uint64_t offset, uint64_t n) {
    bool touched = false;
    forEachHeaderFieldTouched(g, offset, n, [&](uint32_t) {
        touched = true;
        return false;
    });
    return touched;
}

uint32_t pageOfOffset(const FileGeometry& g, uint64_t offset, uint32_t count) {
    const uint64_t unit = pageUnit(g);
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (pageOffset(g, mid) + unit <= offset) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

}  // namespace tabulon
