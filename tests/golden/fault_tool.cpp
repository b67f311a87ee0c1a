// The tabulon program with one read or write fault: the run sequence of the
// tool over a platform binding that fails, with an I/O error, every read of
// the file named by TABULON_FAULT_READ=NAME:OFFSET that would return the byte
// at OFFSET of that file (NAME is the file's name without its folder), and
// every write named by TABULON_FAULT_WRITE=NAME:OFFSET that would write that
// byte (nothing of such a write reaches the file). Gathered reads that cover
// the byte fail as a whole, as a bad sector fails a large read. For golden
// cases of damaged media that a file's bytes cannot show. With
// TABULON_FAULT_OPEN=NAME:CODE every open of the file NAME fails with the
// system error CODE (13 for a file the user may not read, 16 for one another
// process holds), the file left as it is: sets that cannot be opened whole.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "cli/run.h"
#include "fileio/output.h"
#include "support/forwarding_platform.h"

using namespace tabulon;

namespace {

// A file and the offset of its bad byte.
struct Place {
    std::string name;
    uint64_t offset = UINT64_MAX;
};

class Faults : public ForwardingPlatform {
  public:
    Faults(Place read, Place write, Place refused)
        : read_(std::move(read)), write_(std::move(write)), refused_(std::move(refused)) {}

    bool open(const char* name, int mode, PlatformHandle* h, uint32_t* error) override {
        std::string base = name;
        const size_t slash = base.find_last_of("/\\");
        if (slash != std::string::npos) base.erase(0, slash + 1);
        if (!refused_.name.empty() && base == refused_.name) {
            *error = uint32_t(refused_.offset);
            return false;
        }
        if (!next_.open(name, mode, h, error)) return false;
        if (base == read_.name) faulty_[*h] = true;
        if (base == write_.name) unwritable_[*h] = true;
        return true;
    }
    bool writeAt(PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put,
                 uint32_t* error) override {
        if (unwritable_.count(h) != 0 && at <= write_.offset && write_.offset - at < n) {
            *put = 0;
            if (error) *error = EIO;
            return false;
        }
        return next_.writeAt(h, at, b, n, put, error);
    }
    bool readAt(PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got,
                uint32_t* error) override {
        if (hits(h, at, n)) {
            *got = 0;
            if (error) *error = EIO;
            return false;
        }
        return next_.readAt(h, at, b, n, got, error);
    }
    bool gatherAt(PlatformHandle h, uint64_t at, uint64_t stride, size_t count, size_t width,
                  uint8_t* out) override {
        if (count > 0 && hits(h, at, size_t((count - 1) * stride + width))) return false;
        return next_.gatherAt(h, at, stride, count, width, out);
    }
    void close(PlatformHandle h) override {
        faulty_.erase(h);
        unwritable_.erase(h);
        next_.close(h);
    }

  private:
    bool hits(PlatformHandle h, uint64_t at, size_t n) const {
        return faulty_.count(h) != 0 && at <= read_.offset && read_.offset - at < n;
    }

    Place read_, write_;
    // The file whose opens fail, and the system error (in `offset`).
    Place refused_;
    std::map<PlatformHandle, bool> faulty_, unwritable_;
};

// NAME:OFFSET from the variable; false when it is set but malformed.
bool placeFrom(const char* variable, Place* place) {
    const char* value = std::getenv(variable);
    if (!value) return true;
    const std::string s = value;
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos) {
        std::fprintf(stderr, "%s must be NAME:OFFSET\n", variable);
        return false;
    }
    place->name = s.substr(0, colon);
    place->offset = std::strtoull(s.c_str() + colon + 1, nullptr, 0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Place read, write, refused;
    if (!placeFrom("TABULON_FAULT_READ", &read) || !placeFrom("TABULON_FAULT_WRITE", &write) ||
        !placeFrom("TABULON_FAULT_OPEN", &refused)) {
        return 2;
    }
    Faults platform(read, write, refused);
    StdioOutput out;
    int status = runTabulon(argc, argv, out, platform);
    std::fflush(stdout);
    return status;
}
