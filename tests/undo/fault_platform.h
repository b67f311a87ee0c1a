// A Platform for tests that stacks on the system's binding and fails the
// N-th read, write or flush it is asked for (with an error, or by moving
// only part of the bytes), and can refuse to map files, so that gathering
// falls back to reading. It records every write that reached a file, so a
// test can tell which bytes of a set may have changed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fileio/gather.h"
#include "fileio/platform.h"

namespace faults {

enum class Op { Read, Write, Flush };  // Write: writeAt and append alike
enum class How { Error, Short };

struct Fault {
    Op op = Op::Write;
    uint64_t nth = 0;  // 1 for the first call of that kind; 0 for no fault
    How how = How::Error;
    uint32_t error = EIO;
};

// One write that moved bytes into a file.
struct Written {
    std::string name;
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

class FaultPlatform : public tabulon::Platform {
  public:
    explicit FaultPlatform(Fault fault = {}) : fault_(fault) {}

    bool refuseMap = false;
    uint64_t calls[3] = {0, 0, 0};  // by Op
    bool fired = false;
    std::string firedOn;           // the file of the failed call
    std::vector<Written> written;  // in order, appends included

    bool open(const char* name, int mode, tabulon::PlatformHandle* h, uint32_t* error) override {
        if (!sys_.open(name, mode, h, error)) return false;
        names_[*h] = name;
        ends_[*h] = 0;
        return true;
    }
    bool create(const char* name, tabulon::PlatformHandle* h, uint32_t* error) override {
        if (!sys_.create(name, h, error)) return false;
        names_[*h] = name;
        ends_[*h] = 0;
        return true;
    }
    bool append(tabulon::PlatformHandle h, const void* b, size_t n, uint32_t* error) override {
        const auto* bytes = static_cast<const uint8_t*>(b);
        if (hit(Op::Write, h)) {
            if (fault_.how == How::Short && n > 1) {
                uint32_t ignored = 0;
                if (sys_.append(h, b, n / 2, &ignored)) record(h, ends_[h], bytes, n / 2);
                ends_[h] += n / 2;
            }
            *error = fault_.error;
            return false;
        }
        if (!sys_.append(h, b, n, error)) return false;
        record(h, ends_[h], bytes, n);
        ends_[h] += n;
        return true;
    }
    bool size(tabulon::PlatformHandle h, uint64_t* size, uint32_t* error) override {
        return sys_.size(h, size, error);
    }
    bool readAt(tabulon::PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got,
                uint32_t* error) override {
        if (hit(Op::Read, h)) {
            *got = 0;
            if (fault_.how == How::Short && n > 1) return sys_.readAt(h, at, b, n / 2, got, error);
            if (error) *error = fault_.error;
            return false;
        }
        return sys_.readAt(h, at, b, n, got, error);
    }
    bool writeAt(tabulon::PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put,
                 uint32_t* error) override {
        const auto* bytes = static_cast<const uint8_t*>(b);
        size_t want = n;
        const bool fault = hit(Op::Write, h);
        if (fault) {
            *put = 0;
            if (error) *error = fault_.error;
            if (fault_.how == How::Error || n < 2) return false;
            want = n / 2;
        }
        bool ok = sys_.writeAt(h, at, b, want, put, error);
        if (*put > 0) record(h, at, bytes, *put);
        // A short write fails with the fault's code, as the system's binding does.
        if (fault && ok && error) *error = fault_.error;
        return ok && !fault;
    }
    bool gatherAt(tabulon::PlatformHandle h, uint64_t at, uint64_t stride, size_t count,
                  size_t width, uint8_t* out) override {
        if (!refuseMap) return sys_.gatherAt(h, at, stride, count, width, out);
        // What the binding does when a view cannot be made.
        if (count == 0 || width == 0) return true;
        uint64_t end = 0, size = 0;
        if (!tabulon::gatherEnd(at, stride, count, width, &end)) return false;
        if (!sys_.size(h, &size) || size < end) return false;
        return tabulon::gatherByReads(*this, h, at, stride, count, width, out);
    }
    bool flush(tabulon::PlatformHandle h, uint32_t* error) override {
        if (hit(Op::Flush, h)) {
            *error = fault_.error;
            return false;
        }
        return sys_.flush(h, error);
    }
    void close(tabulon::PlatformHandle h) override { sys_.close(h); }
    bool fileId(tabulon::PlatformHandle h, tabulon::FileId* id) override {
        return sys_.fileId(h, id);
    }
    std::string errorText(uint32_t e) override { return sys_.errorText(e); }

  private:
    bool hit(Op op, tabulon::PlatformHandle h) {
        uint64_t n = ++calls[int(op)];
        if (fault_.nth == 0 || op != fault_.op || n != fault_.nth) return false;
        fired = true;
        firedOn = names_[h];
        return true;
    }
    void record(tabulon::PlatformHandle h, uint64_t at, const uint8_t* b, size_t n) {
        written.push_back({names_[h], at, std::vector<uint8_t>(b, b + n)});
    }

    tabulon::Platform& sys_ = tabulon::systemPlatform();
    Fault fault_;
    std::map<tabulon::PlatformHandle, std::string> names_;
    std::map<tabulon::PlatformHandle, uint64_t> ends_;
};

}  // namespace faults
