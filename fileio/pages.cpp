#include "fileio/pages.h"

#include <cstdio>

#include "cli/options.h"
#include "fileio/fileset.h"
#include "format/geometry.h"
#include "format/le.h"

uint64_t pageOffset(uint32_t n) {
    const FileGeometry& g = fileGeometry;
    uint64_t unit = g.compressed ? g.compressedPageSize : g.pageSize;
    uint64_t offset = unit * n;
    // 6.x files skip 4096 bytes from the threshold on, where pair 31's gap lies.
    if (g.versionCode >= version::shiftFirst && g.versionCode <= version::shiftLast &&
        offset >= g.largeOffsetThreshold) {
        offset += 4096;
    }
    return offset;
}

uint16_t unmaskUsage(uint16_t stored) {
    const FileGeometry& g = fileGeometry;
    if (g.encrypted && g.headerSize >= 8) return stored ^ le16(g.encryptionMask);
    return stored;
}

int readPageHeaderAt(uint64_t offset, PageHeader& header) {
    const int size = fileGeometry.headerSize;
    if (!readAt(offset, header.headerBytes, size_t(size))) return 0;
    uint8_t word[2];
    if (!readAt(offset + uint64_t(size), word, 2)) return 0;
    header.usageCount = unmaskUsage(le16(word));
    return 1;
}

int readPageHeader(uint32_t n, PageHeader& header) {
    uint64_t offset = pageOffset(n);
    if (scanOptions.verbose) {
        std::printf("For Phys Page Number 0x%.8x, calculated Large Offset %.8x:%.8x\n", unsigned(n),
                    unsigned(offset >> 32), unsigned(offset & 0xFFFFFFFFu));
    }
    return readPageHeaderAt(offset, header) ? 1 : 0;
}

int writePageHeaderAt(uint64_t offset, const PageHeader& header) {
    return writeAt(offset, header.headerBytes, size_t(fileGeometry.headerSize));
}

int writePageHeader(uint32_t n, const PageHeader& header) {
    return writePageHeaderAt(pageOffset(n), header);
}

PageIdentity decodePageHeader(const PageHeader& header) {
    if (fileGeometry.versionCode < version::v800) {
        uint32_t w = swapHalves(le32(header.headerBytes));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    }
    return {le32(header.headerBytes), le16(header.headerBytes + 4)};
}

void encodePageHeader(PageHeader& header, uint32_t pageId, uint16_t pageType) {
    if (fileGeometry.versionCode < version::v800) {
        putLe32(header.headerBytes, swapHalves(uint32_t(pageType) * 0x1000000u + pageId));
        return;
    }
    putLe32(header.headerBytes, pageId);
    putLe16(header.headerBytes + 4, pageType);
}
