// A Platform for tests that hands every call to another binding (the
// system's by default); a test derives from it and overrides only the calls
// it watches or fails.
#pragma once

#include <string>

#include "fileio/platform.h"

class ForwardingPlatform : public tabulon::Platform {
  public:
    explicit ForwardingPlatform(tabulon::Platform& next = tabulon::systemPlatform())
        : next_(next) {}

    bool open(const char* name, int mode, tabulon::PlatformHandle* h, uint32_t* error) override {
        return next_.open(name, mode, h, error);
    }
    bool create(const char* name, tabulon::PlatformHandle* h, uint32_t* error) override {
        return next_.create(name, h, error);
    }
    bool append(tabulon::PlatformHandle h, const void* b, size_t n, uint32_t* error) override {
        return next_.append(h, b, n, error);
    }
    bool size(tabulon::PlatformHandle h, uint64_t* size, uint32_t* error) override {
        return next_.size(h, size, error);
    }
    bool readAt(tabulon::PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got,
                uint32_t* error) override {
        return next_.readAt(h, at, b, n, got, error);
    }
    bool writeAt(tabulon::PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put,
                 uint32_t* error) override {
        return next_.writeAt(h, at, b, n, put, error);
    }
    bool gatherAt(tabulon::PlatformHandle h, uint64_t at, uint64_t stride, size_t count,
                  size_t width, uint8_t* out) override {
        return next_.gatherAt(h, at, stride, count, width, out);
    }
    bool flush(tabulon::PlatformHandle h, uint32_t* error) override {
        return next_.flush(h, error);
    }
    void close(tabulon::PlatformHandle h) override { next_.close(h); }
    bool fileId(tabulon::PlatformHandle h, tabulon::FileId* id) override {
        return next_.fileId(h, id);
    }
    std::string errorText(uint32_t e) override { return next_.errorText(e); }

  protected:
    tabulon::Platform& next_;
};
