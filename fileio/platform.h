// The only door to the operating system: open an existing file with an access
// and sharing mode, 64-bit positioning and size, reads and writes, flush,
// close, and the system's text for an error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using PlatformHandle = intptr_t;
constexpr PlatformHandle kInvalidHandle = -1;

// Access and sharing of an open. Values other than Repair and Unprotected
// behave as ExclusiveRead.
enum OpenMode : int {
    ExclusiveRead = 0,  // read; no other opener at all
    Repair = 1,         // read and write; others may read
    Unprotected = 2,    // read; others may read, write and delete
};

// Opens an existing file (never creates one). On failure returns false and
// sets *error to the system's error code.
bool platformOpen(const char* name, int mode, PlatformHandle* handle, uint32_t* error);

// Size of the file in bytes (the position of its end).
bool platformSize(PlatformHandle handle, uint64_t* size);

// Sets the position of the handle, counted from the start of the file.
bool platformSeek(PlatformHandle handle, uint64_t offset);

// Reads up to n bytes at the current position; *transferred tells how many
// came back. Returns false only when the read call itself failed.
bool platformRead(PlatformHandle handle, void* buffer, size_t n, size_t* transferred);

// Positioned read and write: no effect on any other caller's view of the file.
bool platformReadAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                    size_t* transferred);
bool platformWriteAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                     size_t* transferred);

// Copies `width` bytes from each of `count` places of the file, `stride` bytes
// apart and the first at `offset`, into `out` (count x width bytes, back to
// back). Meant for one small field of many fixed-size records: the file is
// read in large sequential pieces, not with one call per place. False when
// any of those bytes lies past the end of the file or cannot be read; `out`
// may then be partly filled.
bool platformGatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride, size_t count,
                      size_t width, uint8_t* out);

// Forces written data to the disk.
bool platformFlush(PlatformHandle handle);

void platformClose(PlatformHandle handle);

// The system's message text for an error code, ending with its own line break.
std::string platformErrorText(uint32_t error);
