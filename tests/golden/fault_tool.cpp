// The tabulon program with one read or open fault: the run sequence of the tool over
// a platform binding that fails, with an I/O error, every read of the file
// named by TABULON_FAULT_READ=NAME:OFFSET that would return the byte at
// OFFSET of that file (NAME is the file's name without its folder). Gathered
// reads that cover the byte fail as a whole, as a bad sector fails a large
// read. With TABULON_FAULT_OPEN=NAME:CODE every open of the file NAME fails
// with the system error CODE (13 for a file the user may not read, 16 for one
// another process holds), the file left as it is. For golden cases of damaged
// media and of sets that cannot be opened whole, which a file's bytes cannot
// show.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "cli/run.h"
#include "fileio/output.h"
#include "support/forwarding_platform.h"

namespace {

// NAME:NUMBER of a fault variable; false when it has no colon.
bool splitFault(const char* spec, std::string* name, uint64_t* number) {
    const std::string s = spec;
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    *name = s.substr(0, colon);
    *number = std::strtoull(s.c_str() + colon + 1, nullptr, 0);
    return true;
}

class ReadFault : public ForwardingPlatform {
  public:
    ReadFault(std::string name, uint64_t offset, std::string refused, uint32_t code)
        : name_(std::move(name)), offset_(offset), refused_(std::move(refused)), code_(code) {}

    bool open(const char* name, int mode, PlatformHandle* h, uint32_t* error) override {
        std::string base = name;
        const size_t slash = base.find_last_of("/\\");
        if (slash != std::string::npos) base.erase(0, slash + 1);
        if (!refused_.empty() && base == refused_) {
            *error = code_;
            return false;
        }
        if (!next_.open(name, mode, h, error)) return false;
        if (base == name_) faulty_[*h] = true;
        return true;
    }
    bool readAt(PlatformHandle h, uint64_t at, void* b, size_t n, size_t* got) override {
        if (hits(h, at, n)) {
            *got = 0;
            return false;
        }
        return next_.readAt(h, at, b, n, got);
    }
    bool gatherAt(PlatformHandle h, uint64_t at, uint64_t stride, size_t count, size_t width,
                  uint8_t* out) override {
        if (count > 0 && hits(h, at, size_t((count - 1) * stride + width))) return false;
        return next_.gatherAt(h, at, stride, count, width, out);
    }
    void close(PlatformHandle h) override {
        faulty_.erase(h);
        next_.close(h);
    }

  private:
    bool hits(PlatformHandle h, uint64_t at, size_t n) const {
        return faulty_.count(h) != 0 && at <= offset_ && offset_ - at < n;
    }

    std::string name_;
    uint64_t offset_;
    std::string refused_;
    uint32_t code_;
    std::map<PlatformHandle, bool> faulty_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string name, refused;
    uint64_t offset = UINT64_MAX, code = 0;
    const char* read = std::getenv("TABULON_FAULT_READ");
    if (read && !splitFault(read, &name, &offset)) {
        std::fprintf(stderr, "TABULON_FAULT_READ must be NAME:OFFSET\n");
        return 2;
    }
    const char* open = std::getenv("TABULON_FAULT_OPEN");
    if (open && !splitFault(open, &refused, &code)) {
        std::fprintf(stderr, "TABULON_FAULT_OPEN must be NAME:CODE\n");
        return 2;
    }
    ReadFault platform(name, offset, refused, uint32_t(code));
    StdioOutput out;
    int status = runTabulon(argc, argv, out, platform);
    std::fflush(stdout);
    return status;
}
