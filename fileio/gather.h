// Gathering one small field from many evenly spaced places of a file by
// large sequential reads; shared by the platform bindings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/platform.h"

namespace tabulon {

// The end offset of the last field; false when it cannot be expressed as a
// file offset.
bool gatherEnd(uint64_t offset, uint64_t stride, size_t count, size_t width, uint64_t* end);

// Platform::gatherAt done with readAt calls of up to 1 MiB each.
bool gatherByReads(Platform& platform, PlatformHandle handle, uint64_t offset, uint64_t stride,
                   size_t count, size_t width, uint8_t* out);

}  // namespace tabulon
