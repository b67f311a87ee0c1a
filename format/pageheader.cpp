#include "format/pageheader.h"

#include <cstring>

#include "format/le.h"

namespace tabulon {

PageIdentity decodePageHeader(const FileGeometry& g, const PageHeader& header) {
    if (g.versionCode < version::v800) {
        uint32_t w = swapHalves(le32(header.headerBytes));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    }
    return {le32(header.headerBytes), le16(header.headerBytes + 4)};
}

void encodePageHeader(const FileGeometry& g, PageHeader& header, uint32_t pageId,
                      uint16_t pageType) {
    if (g.versionCode < version::v800) {
        putLe32(header.headerBytes, swapHalves(uint32_t(pageType) * 0x1000000u + pageId));
        return;
    }
    putLe32(header.headerBytes, pageId);
    putLe16(header.headerBytes + 4, pageType);
}

uint16_t unmaskUsage(const FileGeometry& g, uint16_t stored) {
    if (g.encrypted && g.headerSize >= 8) return stored ^ le16(g.encryptionMask);
    return stored;
}

void decodeHeaderField(const FileGeometry& g, const uint8_t* field, PageHeader* header) {
    std::memcpy(header->headerBytes, field, size_t(g.headerSize));
    header->usageCount = unmaskUsage(g, le16(field + g.headerSize));
}

bool isIndexType(uint16_t t) {
    return (t & pagetype::indexBits) != 0;
}

PageClass pageClassOf(uint16_t t) {
    if (t == pagetype::data || t == pagetype::dataWide) return PageClass::Data;
    if (isIndexType(t)) return PageClass::Index;
    return PageClass::Other;
}

}  // namespace tabulon
