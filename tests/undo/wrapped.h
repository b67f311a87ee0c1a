// Switches of the link-time wraps of mmap and fsync in the wrapped undo
// tests (-Wl,--wrap=mmap,--wrap=fsync): the system's binding runs as it is,
// with these calls failing when a test says so.
#pragma once

#include <atomic>

namespace wrapped {
extern std::atomic<bool> failMmap;         // every mmap fails (ENOMEM)
extern std::atomic<bool> failFolderFsync;  // fsync of a folder fails (EIO)
extern std::atomic<unsigned> mmapFailures;
}  // namespace wrapped
