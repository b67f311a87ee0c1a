// The FCR decoded from its bytes into the file geometry, and the tables and
// positions derived from the geometry. Pure: bytes in, values out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/layout.h"

namespace tabulon {

struct FileGeometry {
    uint16_t versionCode = 0;  // folded: stored codes above 0x8000 are negated
    uint16_t pageSize = 0;
    uint16_t patPageSize = 0;  // one FCR copy, one PAT page
    int usageOffset = 4;       // u32 usage count in an FCR copy and a PAT page
    int headerSize = 4;        // leading bytes of a page that form its header
    int patIdLength = 4;       // leading bytes both PAT copies must share
    int currentFcr = 0;
    uint32_t pageCount = 0;
    int encrypted = 0;
    uint8_t encryptionMask[9] = {};
    int compressed = 0;
    uint16_t compressedPageSize = 0;
    uint32_t largeOffsetThreshold = 0xFFFFFFFF;  // set for 6.x files when the set opens
};

// Why the bytes at the start of a file are no FCR a check can use.
enum class FcrFault : uint8_t {
    None,
    TooShort,          // less than one sector: no first FCR copy
    NoSignature,       // neither an FCR signature byte nor a zero first word
    UnknownVersion,    // a version code of no family
    PageSize,          // a page size no file can have, or one the buffers cannot hold
    SecondCopyAbsent,  // the second FCR copy lies past the end of the file set
    SecondCopyShort,   // the second FCR copy cannot be read whole
    CompressionUnit,   // a compressed page size of 1 to 511 bytes
};

// A few words that say the fault, for a reason field ("too-short", ...).
const char* fcrFaultName(FcrFault fault);

// Whether the first `n` bytes of a file begin with an FCR worth checking: a
// signature or the zero first word, a version code of a known family and a
// page size a file can have (whole sectors; for 6.x and later one the
// buffers hold).
FcrFault fcrHeadFault(const uint8_t* head, size_t n);

// Where the second FCR copy lies when the first is damaged: the offset of
// the first place, from one sector to the largest PAT page, that holds a
// copy of a 6.x-or-later FCR worth checking whose own geometry puts the
// second copy there. 0 when the `n` bytes at the start of a file hold none.
uint32_t secondFcrCopyOffset(const uint8_t* head, size_t n);

// The version code of the first FCR copy: the stored code and its folded
// value. False when the first copy carries no signature.
struct FcrVersion {
    uint16_t stored = 0;
    uint16_t folded = 0;
};
bool decodeFcrVersion(const uint8_t* copy0, FcrVersion* version);

// Page size, PAT page size and the header layout of a version family, from
// the first FCR copy. Sets currentFcr to 0.
void decodeGeometry(const uint8_t* copy0, uint16_t version, FileGeometry* g);

// Whether the geometry of a 6.x-or-later file can be read at all: a PAT page
// that fits the copy buffers and pages of at least one sector.
bool geometryUsable(const FileGeometry& g);

// 0 or 1: the FCR copy with the strictly higher usage count, copy 0 on ties.
int currentFcrCopy(const FileGeometry& g, const uint8_t* copy0, const uint8_t* copy1);

// Page count, owner encryption and page compression from the current copy.
// False when the compressed page size is one no file can use (1 to 511).
bool decodeCurrentFcr(const uint8_t* current, FileGeometry* g);

// The 6.x threshold from which physical pages lie 4096 bytes further on, by
// page size; 0 when the size has none.
uint32_t largeOffsetThresholdFor(uint16_t pageSize);

// PAT entry slots in one PAT page; 0 for a page size the tables do not know.
int patEntriesPerPage(const FileGeometry& g);

// Bytes from one PAT pair to the next; 0 when the page size is unknown from
// 0x0950 on.
int patPairStride(const FileGeometry& g);

// Whether the tables know the page size (below 0x0800 every size is known).
bool entriesKnown(const FileGeometry& g);
bool strideKnown(const FileGeometry& g);

// Whether the file has a PAT: version 6.00 and later. An older file has
// nothing the check reads.
inline bool hasPat(const FileGeometry& g) { return g.versionCode >= version::v600; }

// File-set offset of copy 0 of PAT pair n; pair 0 is the FCR at offset 0.
uint64_t patPairOffset(const FileGeometry& g, uint32_t n);

// Number of the last PAT pair, from the current FCR copy.
uint32_t lastPatPair(const FileGeometry& g, const uint8_t* currentCopy);

// How many of pairs 1 to `last` lie whole within `setSize` bytes (pairs lie
// in the order of their numbers); `last` when the stride is unknown, where
// only pair 1 can be located.
uint32_t pairsThatFit(const FileGeometry& g, uint32_t last, uint64_t setSize);

// Bytes per physical page slot: the compressed page size for page-compressed
// files, the page size otherwise.
uint64_t pageUnit(const FileGeometry& g);

// File-set offset of physical page n.
uint64_t pageOffset(const FileGeometry& g, uint32_t n);

// Calls f(p) for every physical page p from page 4 on whose header field
// (headerSize bytes and the usage word) holds any of the n bytes at a
// file-set offset, in ascending order, until f returns false.
template <class F>
void forEachHeaderFieldTouched(const FileGeometry& g, uint64_t offset, uint64_t n, F f) {
    const uint64_t unit = pageUnit(g);
    if (unit == 0 || n == 0) return;
    // The 6.x shift moves pages 4096 bytes on: look from that far back.
    const uint64_t field = uint64_t(g.headerSize) + 2;
    const uint64_t reach = field + 4096;
    const uint64_t lo = offset >= reach ? (offset - reach) / unit : 0;
    const uint64_t hi = (offset + n) / unit + 1;
    for (uint64_t q = lo < 4 ? 4 : lo; q <= hi && q <= UINT32_MAX; ++q) {
        const uint64_t at = pageOffset(g, uint32_t(q));
        if (at < offset + n && offset < at + field && !f(uint32_t(q))) return;
    }
}

// Whether any of the n bytes at a file-set offset lie in the header field of
// some physical page from page 4 on.
bool touchesPageHeader(const FileGeometry& g, uint64_t offset, uint64_t n);

// The first of the pages [0, count) whose slot ends after `offset` (count
// when none does): the page that holds a byte, or the next one when the
// byte lies in a gap between slots.
uint32_t pageOfOffset(const FileGeometry& g, uint64_t offset, uint32_t count);

}  // namespace tabulon
