#include "format/pageheader.h"

#include <cstring>

#include "format/le.h"

namespace tabulon {

namespace {

// The id and type of a header: below 0x0800 the packed word with exchanged
// halves, from 0x0800 a u32 and a u16.
template <bool Packed>
PageIdentity identityAt(const uint8_t* bytes) {
    if constexpr (Packed) {
        uint32_t w = swapHalves(le32(bytes));
        return {w & 0xFFFFFF, uint16_t(w >> 24)};
    } else {
        return {le32(bytes), le16(bytes + 4)};
    }
}

// The fields of one family: headers of Size bytes that begin with the id and
// the type (Packed: in the word of 6.x and 7.x files), the usage word after
// them, unmasked with `mask`, and the header bytes from 6 on kept in `extra`.
template <int Size, bool Packed>
void decodeFields(const uint8_t* fields, size_t stride, size_t count, uint16_t mask,
                  HeaderWord* words, uint8_t* extra) {
    constexpr size_t kExtra = Size > 6 ? Size - 6 : 0;
#pragma GCC unroll 4
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* field = fields + i * stride;
        if constexpr (Size == 6) {
            // The id, the type and the usage word lie as in a word (a 6-byte
            // header's usage word is never masked).
            words[i] = HeaderWord(le32(field)) | HeaderWord(le32(field + 4)) << 32;
        } else {
            const PageIdentity id = identityAt<Packed>(field);
            words[i] = headerWord(id.pageId, id.pageType, uint16_t(le16(field + Size) ^ mask));
        }
        if constexpr (kExtra > 0) std::memcpy(extra + i * kExtra, field + 6, kExtra);
    }
}

// Any other geometry (a test's): one field at a time.
void decodeEachField(const FileGeometry& g, const uint8_t* fields, size_t stride, size_t count,
                     HeaderWord* words, uint8_t* extra) {
    const size_t extraBytes = size_t(headerExtraBytes(g));
    for (size_t i = 0; i < count; ++i) {
        PageHeader header{};
        decodeHeaderField(g, fields + i * stride, &header);
        words[i] = headerWordOf(g, header, extra + i * extraBytes);
    }
}

using FieldDecoder = void (*)(const uint8_t*, size_t, size_t, uint16_t, HeaderWord*, uint8_t*);

// The decoder of a family's fields; nullptr for a geometry of no family.
FieldDecoder fieldDecoder(const FileGeometry& g) {
    const bool packed = g.versionCode < version::v800;
    if (packed) return g.headerSize == 4 ? decodeFields<4, true> : nullptr;
    switch (g.headerSize) {
        case 6: return decodeFields<6, false>;
        case 8: return decodeFields<8, false>;
        case 16: return decodeFields<16, false>;
        default: return nullptr;
    }
}

// The mask unmaskUsage applies to the usage words of the family.
uint16_t usageMask(const FileGeometry& g) {
    return unmaskUsage(g, 0);
}

}  // namespace

PageIdentity decodePageHeader(const FileGeometry& g, const PageHeader& header) {
    if (g.versionCode < version::v800) return identityAt<true>(header.headerBytes);
    return identityAt<false>(header.headerBytes);
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

int headerExtraBytes(const FileGeometry& g) {
    return g.headerSize > 6 ? g.headerSize - 6 : 0;
}

void decodeHeaderFields(const FileGeometry& g, const uint8_t* fields, size_t stride, size_t count,
                        HeaderWord* words, uint8_t* extra) {
    if (const FieldDecoder decode = fieldDecoder(g)) {
        decode(fields, stride, count, usageMask(g), words, extra);
    } else {
        decodeEachField(g, fields, stride, count, words, extra);
    }
}

HeaderWord headerWordOf(const FileGeometry& g, const PageHeader& header, uint8_t* extra) {
    const PageIdentity id = decodePageHeader(g, header);
    for (int b = 0; b < headerExtraBytes(g); ++b) extra[b] = header.headerBytes[6 + b];
    return headerWord(id.pageId, id.pageType, header.usageCount);
}

void headerFromWord(const FileGeometry& g, HeaderWord w, const uint8_t* extra, PageHeader* header) {
    *header = PageHeader{};
    encodePageHeader(g, *header, wordPageId(w), wordPageType(w));
    for (int b = 0; b < headerExtraBytes(g); ++b) header->headerBytes[6 + b] = extra[b];
    header->usageCount = wordUsage(w);
}

}  // namespace tabulon
