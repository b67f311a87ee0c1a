// The file set: the main file, its extension files and its delta file, opened
// together; the main file and the extension files form one byte space
// addressed by unsigned 64-bit offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fileio/platform.h"

constexpr int kMaxMembers = 128;  // the main file and extension files .^01 to .^7f

struct FileSet {
    PlatformHandle memberHandles[kMaxMembers];
    uint64_t memberSizes[kMaxMembers];
    bool memberWritten[kMaxMembers];
    uint16_t memberCount;
    uint32_t totalSectors;
    PlatformHandle deltaHandle;
    uint64_t deltaSize;
};

extern FileSet fileSet;

// Name of member k (0 the main file, 1 to 127 an extension file), or of the
// delta file when k is kDeltaMember. False when the name would be longer than
// a name buffer holds.
constexpr int kDeltaMember = -1;
bool memberName(const std::string& path, int k, std::string* name);

// Opens the set, loads the FCR and sets largeOffsetThreshold. Returns
// memberCount, 0 on failure.
int openFileSet(const char* path, int mode);

// Maps a file-set offset to a member and the offset inside it. member is
// memberCount when the offset lies at or past the end of the last member.
void mapFileSetOffset(uint64_t offset, uint16_t* member, uint64_t* rest);

// Positions the handle of the member that holds the offset.
int seekFileSet(uint64_t offset, uint16_t* member);

// Reads exactly n bytes at the offset, from the member in which it starts.
int readAt(uint64_t offset, void* buffer, size_t n);

// Writes n bytes at the offset, into the member in which it starts.
int writeAt(uint64_t offset, const void* buffer, size_t n);

void closeFileSet();
