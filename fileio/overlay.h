// A copy-on-write layer over a platform binding: files are opened on the
// binding below for reading only, and every write lands in memory instead,
// where later reads of the same file see it. A run of the engine over it does
// everything a repair does, byte for byte, and no byte reaches the files; the
// layer keeps each write (file, offset, the bytes before and after) for a
// report of what the repair would change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fileio/platform.h"

namespace tabulon {

// One write made on the layer, in the order made.
struct OverlayWrite {
    std::string file;             // the name the file was opened by
    uint64_t offset = 0;          // inside that file
    std::vector<uint8_t> before;  // the bytes the write replaced (the file as the layer showed it)
    std::vector<uint8_t> after;   // the bytes written
};

// The bytes a layer's writes leave different from the files below, as the
// longest runs of neighbouring changed bytes, in the order of file name and
// offset: two layers whose writes leave the same files give equal values.
struct ChangedBytes {
    struct Range {
        uint32_t file = 0;  // in `files`
        uint64_t offset = 0;
        uint64_t length = 0;
        bool operator==(const Range&) const = default;
    };
    std::vector<std::string> files;  // the files with a changed byte, by name
    std::vector<Range> ranges;
    std::vector<uint8_t> bytes;  // the ranges' new bytes, one range after the other
    bool empty() const { return ranges.empty(); }
    bool operator==(const ChangedBytes&) const = default;
};

class OverlayPlatform final : public Platform {
  public:
    // Files are opened on `base` with `readMode` (ExclusiveRead or
    // Unprotected), whatever mode the caller asks for.
    OverlayPlatform(Platform& base, int readMode);
    ~OverlayPlatform() override;
    OverlayPlatform(const OverlayPlatform&) = delete;
    OverlayPlatform& operator=(const OverlayPlatform&) = delete;

    bool open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) override;
    // No file is created on the layer: refused with the code of a file that
    // may not be written.
    bool create(const char* name, PlatformHandle* handle, uint32_t* error) override;
    bool append(PlatformHandle handle, const void* buffer, size_t n, uint32_t* error) override;
    bool size(PlatformHandle handle, uint64_t* size, uint32_t* error = nullptr) override;
    bool readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n, size_t* transferred,
                uint32_t* error = nullptr) override;
    bool writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                 size_t* transferred, uint32_t* error = nullptr) override;
    bool gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride, size_t count,
                  size_t width, uint8_t* out) override;
    // A file the layer has not written is mapped by the binding below; a
    // written one is not mapped (its bytes are read through the layer). A
    // view shows the file below, so it must not outlast the next write.
    bool mapView(PlatformHandle handle, uint64_t offset, size_t length, FileView* view) override;
    void unmapView(FileView* view) override;
    bool readViews(void (*visit)(void*), void* context) override;
    // Nothing goes to a disk: always succeeds.
    bool flush(PlatformHandle handle, uint32_t* error) override;
    void close(PlatformHandle handle) override;
    // The identity of the file below.
    bool fileId(PlatformHandle handle, FileId* id) override;
    std::string errorText(uint32_t error) override;

    // Every write made, in order.
    const std::vector<OverlayWrite>& writes() const { return writes_; }

    // The bytes the writes leave changed. A byte's old value is what the
    // first write to it replaced and its new one what the last wrote; a byte
    // past the end of the file below counts as changed.
    ChangedBytes changedBytes() const;

    // Whether a write made any file longer than the file below.
    bool grown() const;

    // Reads up to n bytes of a file opened on the layer before (it may be
    // closed again by now): as the file holds them (`original`), or as the
    // layer shows them after its writes. *got tells how many came back.
    bool readFile(const std::string& name, uint64_t offset, void* buffer, size_t n, bool original,
                  size_t* got);

    // The size of a file opened on the layer before: as the file has it
    // (`original`), or with the layer's writes past its end.
    bool fileSize(const std::string& name, bool original, uint64_t* size) const;

  private:
    struct File {
        PlatformHandle base = kInvalidHandle;  // open until the layer goes
        uint64_t baseSize = 0;
        uint64_t size = 0;                                // with the writes past the end
        std::map<uint64_t, std::vector<uint8_t>> blocks;  // by block number
    };
    bool readLayer(File& f, uint64_t offset, uint8_t* buffer, size_t n, bool original, size_t* got,
                   uint32_t* error = nullptr);
    std::vector<uint8_t>& block(File& f, uint64_t number);

    Platform& base_;
    int readMode_;
    std::map<std::string, File> files_;
    std::map<PlatformHandle, std::string> handles_;  // the layer's handles
    PlatformHandle nextHandle_ = 1;
    std::vector<OverlayWrite> writes_;
};

}  // namespace tabulon
