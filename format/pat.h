// PAT pairs: where pair n lies, loading both copies, choosing the current one,
// storing an entry and writing the pair back.
#pragma once

#include <cstdint>

#include "format/layout.h"

extern uint8_t patCopy[2][kBufferSize];
// Number of the pair in the buffers; -1 when none. Wider than a pair number so
// that "none" stays distinct from pair 0xFFFFFFFF.
extern int64_t loadedPair;
extern uint32_t currentPat;

// One slot of a PAT page.
struct PatEntry {
    uint32_t physical;
    uint16_t type;
};

uint64_t patPairOffset(uint32_t n);
// The same offset without trace lines.
uint64_t patPairOffsetQuiet(uint32_t n);

int loadPatPair(uint32_t n);
int writePatPair(uint32_t n);
int setPatEntry(uint32_t p, const uint32_t& physical, const uint16_t& type);

// Byte offset of slot j (counted from 0) in a PAT page, and its size.
int patSlotOffset(uint32_t j);
int patSlotSize();

// Reads slot j of a PAT page in the layout of the file's version range.
PatEntry readPatEntry(const uint8_t* page, uint32_t j);
