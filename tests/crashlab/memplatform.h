// A Platform whose files live in memory: the lab hands the tool a crashed
// file set without touching a disk, and copies it for each repair.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fileio/platform.h"

namespace crashlab {

using Bytes = std::vector<std::uint8_t>;

class MemoryPlatform final : public tabulon::Platform {
  public:
    std::map<std::string, Bytes> files;

    bool open(const char* name, int, tabulon::PlatformHandle* h, uint32_t* error) override {
        if (!files.count(name)) {
            *error = ENOENT;
            return false;
        }
        *h = next_++;
        handles_[*h] = name;
        return true;
    }
    bool create(const char*, tabulon::PlatformHandle*, uint32_t* error) override {
        *error = EROFS;
        return false;
    }
    bool append(tabulon::PlatformHandle, const void*, size_t, uint32_t* error) override {
        *error = EROFS;
        return false;
    }
    bool size(tabulon::PlatformHandle h, uint64_t* size, uint32_t* error) override {
        Bytes* f = file(h, error);
        if (f) *size = f->size();
        return f != nullptr;
    }
    bool readAt(tabulon::PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got,
                uint32_t* error) override {
        Bytes* f = file(h, error);
        if (!f) return false;
        *got = at >= f->size() ? 0 : size_t(std::min<uint64_t>(n, f->size() - at));
        if (*got) std::memcpy(b, f->data() + at, *got);
        return true;
    }
    bool writeAt(tabulon::PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put,
                 uint32_t* error) override {
        Bytes* f = file(h, error);
        if (!f) return false;
        if (f->size() < at + n) f->resize(size_t(at + n), 0);
        if (n) std::memcpy(f->data() + at, b, n);
        *put = n;
        return true;
    }
    bool gatherAt(tabulon::PlatformHandle h, uint64_t at, uint64_t stride, size_t count,
                  size_t width, uint8_t* out) override {
        Bytes* f = file(h, nullptr);
        if (!f) return false;
        for (size_t i = 0; i < count; ++i, at += stride, out += width) {
            if (at + width > f->size()) return false;
            std::memcpy(out, f->data() + at, width);
        }
        return true;
    }
    bool flush(tabulon::PlatformHandle, uint32_t*) override { return true; }
    void close(tabulon::PlatformHandle h) override { handles_.erase(h); }
    std::string errorText(uint32_t error) override { return std::strerror(int(error)) + std::string("\n"); }

  private:
    Bytes* file(tabulon::PlatformHandle h, uint32_t* error) {
        auto it = handles_.find(h);
        if (it == handles_.end()) {
            if (error) *error = EBADF;
            return nullptr;
        }
        return &files[it->second];
    }
    std::map<tabulon::PlatformHandle, std::string> handles_;
    tabulon::PlatformHandle next_ = 1;
};

}  // namespace crashlab
