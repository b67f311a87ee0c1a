#include "builder/layout.h"

#include <algorithm>
#include <cstdio>

#include "builder/bytes.h"

namespace tbuild {

std::uint16_t foldVersion(std::uint16_t stored) {
    if (stored > 0x8000) return static_cast<std::uint16_t>(0x10000 - stored);
    return stored;
}

namespace {

std::uint32_t computePatPageSize(std::uint16_t v, std::uint32_t ps) {
    if (v < 0x0800) return ps;
    // Twice the page size, kept to 16 bits as the format records it.
    std::uint32_t twice = (2 * ps) & 0xFFFF;
    if (v <= 0x094F) {
        if (ps == 8192) return 8192;
        return std::max<std::uint32_t>(twice, 2048);
    }
    if (ps >= 16384) return 16384;
    if (v == 0x0950) return std::max<std::uint32_t>(twice, 4096);
    return twice;
}

std::uint32_t computeEntries(std::uint16_t v, std::uint32_t ps, std::uint32_t pp) {
    if (v < 0x0800) return pp / 4 >= 2 ? pp / 4 - 2 : 0;
    if (v <= 0x094F) {
        switch (ps) {
            case 512:
                return 312;
            case 1024:
                return 316;
            case 1536:
                return 476;
            case 2048:
                return 636;
            case 2560:
                return 796;
            case 3072:
                return 956;
            case 3584:
                return 1116;
            case 4096:
                return 1276;
            case 8192:
                return 1278;
            default:
                return 0;
        }
    }
    switch (ps) {
        case 1024:
            return 476;
        case 2048:
            return 478;
        case 4096:
            return 956;
        case 8192:
            return 1596;
        case 16384:
            return 1598;
        default:
            return 0;
    }
}

// Pages per pair stride from 9.50 on (the PAT pages included).
std::uint32_t strideMultiplier(std::uint32_t ps) {
    switch (ps) {
        case 1024:
        case 2048:
            return 480;
        case 4096:
            return 960;
        case 8192:
        case 16384:
            return 1600;
        default:
            return 0;
    }
}

}  // namespace

Layout makeLayout(std::uint16_t version, std::uint32_t pageSize, std::uint32_t compressedPageSize) {
    Layout l;
    l.version = version;
    l.pageSize = pageSize;
    l.patPageSize = computePatPageSize(version, pageSize);
    if (version < 0x0800) {
        l.usageOffset = 4;
        l.headerSize = 4;
        l.patIdLength = 4;
        l.slotSize = 4;
        l.firstSlot = 8;
    } else if (version <= 0x094F) {
        l.usageOffset = 6;
        l.headerSize = 6;
        l.patIdLength = 6;
        l.slotSize = 6;
        l.firstSlot = 20;
    } else {
        l.usageOffset = 8;
        l.headerSize = version == 0x0950 ? 8 : 16;
        l.patIdLength = 8;
        l.slotSize = 8;
        l.firstSlot = 16;
    }
    l.entriesPerPage = computeEntries(version, pageSize, l.patPageSize);
    l.pageUnit = (version >= 0x0950 && compressedPageSize != 0) ? compressedPageSize : pageSize;
    if (version < 0x0950) {
        l.pairStride =
            static_cast<std::uint64_t>(l.entriesPerPage) * pageSize + 2ull * l.patPageSize;
    } else {
        l.pairStride = static_cast<std::uint64_t>(strideMultiplier(pageSize)) * l.pageUnit;
    }
    if (version < 0x0600) {
        l.patStyle = PatStyle::None;
    } else if (version < 0x0700) {
        l.patStyle = PatStyle::V6;
    } else if (version < 0x0800) {
        l.patStyle = PatStyle::V7;
    } else {
        l.patStyle = PatStyle::V8;
    }
    // 6.x files skip 4096 bytes where PAT pair 31 would begin; pages from
    // there on are moved up by the same amount (only for the page sizes up
    // to 4096 that 6.x knows).
    if (version >= 0x0600 && version <= 0x06FF && pageSize >= 512 && pageSize <= 4096 &&
        pageSize % 512 == 0) {
        l.largeOffsetThreshold =
            static_cast<std::uint32_t>(2ull * l.patPageSize + 30ull * l.pairStride);
    }
    return l;
}

std::uint32_t Layout::slotsOnDisk() const {
    if (patPageSize <= firstSlot || slotSize == 0) return 0;
    return std::min(entriesPerPage, (patPageSize - firstSlot) / slotSize);
}

std::string Layout::describe() const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "version 0x%04x page %u patPage %u entries %u stride %llu unit %u header %u",
                  version, pageSize, patPageSize, entriesPerPage,
                  static_cast<unsigned long long>(pairStride), pageUnit, headerSize);
    return buf;
}

std::uint64_t pairOffset(const Layout& l, std::uint32_t n) {
    if (n == 0) return 0;
    std::uint64_t off = 2ull * l.patPageSize;
    if (l.version >= 0x0800) off += 2ull * l.patPageSize;
    if (l.version < 0x0700 && n >= 31) off += 4096;
    return off + l.pairStride * (n - 1);
}

std::uint64_t pageOffset(const Layout& l, std::uint32_t p) {
    std::uint64_t off = static_cast<std::uint64_t>(l.pageUnit) * p;
    if (l.version >= 0x0180 && l.version <= 0x06FF && off >= l.largeOffsetThreshold) off += 4096;
    return off;
}

std::uint32_t pageAtOrBefore(const Layout& l, std::uint64_t offset) {
    std::uint64_t p = offset / l.pageUnit;
    if (p > 0xFFFFFFFFull) p = 0xFFFFFFFFull;
    auto page = static_cast<std::uint32_t>(p);
    while (page > 0 && pageOffset(l, page) > offset) --page;
    return page;
}

std::uint32_t pairOfLogical(const Layout& l, std::uint32_t logical) {
    return (logical - 1) / l.entriesPerPage + 1;
}

std::uint32_t slotOfLogical(const Layout& l, std::uint32_t logical) {
    return (logical - 1) % l.entriesPerPage;
}

std::uint32_t logicalOf(const Layout& l, std::uint32_t pair, std::uint32_t slot) {
    return (pair - 1) * l.entriesPerPage + slot + 1;
}

std::uint32_t slotOffset(const Layout& l, std::uint32_t slot) {
    return l.firstSlot + l.slotSize * slot;
}

namespace {

// 6.x/7.x packed word, byte by byte: bits 16-23 of the number, the 8-bit
// type, then bits 0-15 of the number.
void packWord(PageId v, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>((v.id >> 16) & 0xFF);
    out[1] = static_cast<std::uint8_t>(v.type & 0xFF);
    putLe16(out + 2, v.id & 0xFFFF);
}

PageId unpackWord(const std::uint8_t* in) {
    return PageId{static_cast<std::uint32_t>(in[0]) << 16 | le16(in + 2), in[1]};
}

}  // namespace

void encodeHeader(const Layout& l, PageId h, std::uint8_t* out) {
    if (l.version < 0x0800) {
        packWord(h, out);
        return;
    }
    putLe32(out, h.id);
    putLe16(out + 4, h.type);
    for (std::uint32_t i = 6; i < l.headerSize; ++i) out[i] = 0;
}

PageId decodeHeader(const Layout& l, const std::uint8_t* in) {
    if (l.version < 0x0800) return unpackWord(in);
    return PageId{le32(in), le16(in + 4)};
}

void encodeEntry(const Layout& l, PageId e, std::uint8_t* slot) {
    if (l.version < 0x0800) {
        packWord(e, slot);
        return;
    }
    putLe32(slot, e.id);
    putLe16(slot + 4, e.type);
}

PageId decodeEntry(const Layout& l, const std::uint8_t* slot) {
    if (l.version < 0x0800) return unpackWord(slot);
    return PageId{le32(slot), le16(slot + 4)};
}

bool isIndexType(std::uint16_t type) {
    return (type & 0x8080) != 0;
}
bool isDataType(std::uint16_t type) {
    return type == 0x44 || type == 0x4400;
}

}  // namespace tbuild
