// Named positions and values of the on-disk records: the FCR, the PAT page
// header, the PAT entry slots and the page header, by version family.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// A name buffer holds 254 characters and a terminator: a longer path names
// no file set.
constexpr int kMaxPathLength = 254;
constexpr bool pathFits(std::size_t length) { return length <= std::size_t(kMaxPathLength); }

namespace version {
constexpr uint16_t v600 = 0x0600;  // first version with a PAT
constexpr uint16_t v610 = 0x0610;
constexpr uint16_t v700 = 0x0700;  // 32-bit last-pair field, no pair-31 gap
constexpr uint16_t v800 = 0x0800;  // 6-byte entries and headers
constexpr uint16_t v900 = 0x0900;
constexpr uint16_t v950 = 0x0950;  // 8-byte entries and headers
constexpr uint16_t v951 = 0x0951;  // 16-byte headers from here
constexpr uint16_t v1300 = 0x0D00;
constexpr uint16_t v1630 = 0x0D30;  // 'D' 'E' entry type folds to 'D'
constexpr uint16_t foldAbove = 0x8000;
// Versions up to this one keep the physical-page shift from largeOffsetThreshold.
constexpr uint16_t shiftFirst = 0x0180;
constexpr uint16_t shiftLast = 0x06FF;
}  // namespace version

namespace fcr {
constexpr int firstReadMax = 16384;
constexpr int firstReadMin = 512;
constexpr int signature0 = 0;       // 'F', when the u32 at 0 is not zero
constexpr int signature1 = 1;       // 'C'
constexpr int versionPlain = 6;     // u16, when the u32 at 0 is zero
constexpr int pageSizeOld = 9;      // u8 x 256, below 0x0800
constexpr int pageCount = 38;       // u32, halves exchanged up to 0x0950
constexpr int pageSizeNew = 43;     // u8 x 256, from 0x0800
constexpr int encryptionMask = 46;  // 9 bytes
constexpr int flags = 55;           // bit 1: owner-encrypted
constexpr uint8_t flagEncrypted = 0x02;
constexpr int versionSigned = 74;  // u16, when the u32 at 0 is not zero
constexpr int lastPair = 76;       // u16 below 0x0700, u32 from 0x0700
constexpr int compressedPageSize = 80;
constexpr int compressionFlags = 156;     // above 0x0950
constexpr int compressionFlags950 = 400;  // exactly 0x0950
constexpr uint16_t flagCompressed = 0x2000;
}  // namespace fcr

namespace pat {
constexpr uint8_t signatureByte = 'P';
// 6.0 and 6.1: 'P' 'P' at 0-1, 16-bit pair number at 2-3.
constexpr int sig600 = 0;
constexpr int pair600 = 2;
// 7.0: 'P' at 1, pair number bits 16-23 at 0 and bits 0-15 at 2-3.
constexpr int sig700 = 1;
constexpr int pairHigh700 = 0;
constexpr int pairLow700 = 2;
// 8.0 and later: pair number bits 0-23 at 0-2, 'P' 'P' at 3-4.
constexpr int pair800 = 0;
constexpr int sig800 = 3;
// First entry slot and slot size by range.
constexpr int firstSlotOld = 8;  // below 0x0800
constexpr int slotSizeOld = 4;
constexpr int firstSlot800 = 20;  // 0x0800 to 0x094F
constexpr int slotSize800 = 6;
constexpr int firstSlot950 = 16;  // from 0x0950
constexpr int slotSize950 = 8;
// Physical page value of an entry that describes no page, from 0x0800.
constexpr uint32_t freeSpace = 0xFFFFFFFE;
}  // namespace pat

namespace pagetype {
constexpr uint16_t data = 0x44;            // 'D'
constexpr uint16_t dataWide = 0x4400;      // also a data page
constexpr uint16_t variable = 0x56;        // 'V'
constexpr uint16_t indexBits = 0x8080;     // any of these bits: an index page
constexpr uint16_t dataExtended = 0x4544;  // 'D' 'E', read as 'D' from 0x0D30
constexpr uint16_t usageValid = 0x8000;    // usage count bit of a sound data page
constexpr uint16_t usageValue = 0x7FFF;
}  // namespace pagetype

constexpr int kBufferSize = 32768;  // one FCR or PAT copy
constexpr int kMaxHeaderSize = 16;
constexpr uint64_t kSectorSize = 512;

}  // namespace tabulon
