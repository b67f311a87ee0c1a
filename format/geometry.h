// The FCR and the file geometry taken from it, and the PAT tables derived
// from the geometry.
#pragma once

#include <cstdint>

#include "format/layout.h"

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
    uint32_t largeOffsetThreshold = 0xFFFFFFFF;  // set by the open for 6.x files
};

extern FileGeometry fileGeometry;
extern uint8_t fcrCopy[2][kBufferSize];

// Reads the FCR of the open file set and fills fileGeometry. 1 on success;
// 0 after printing why the file is not usable.
int loadFcr();

// PAT entry slots in one PAT page; 0 (with a message) for an unknown page size.
int patEntriesPerPage();

// Bytes from one PAT pair to the next; 0 when the page size is unknown from
// 0x0950 on (with a message).
int patPairStride();

// The same two values without the message, for checks that must stay silent.
int patEntriesPerPageQuiet();
int patPairStrideQuiet();

// Number of the last PAT pair, from the current FCR copy.
uint32_t lastPatPair();
