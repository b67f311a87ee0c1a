// The floor of a check: the least work that looks at every page of a file.
// Maps the file in windows of 4 MiB that start at multiples of 4 MiB, as the
// check's header reader does, and reads one byte of every 4096-byte page:
//
//   floor FILE...           touches every page and prints the sum of those bytes
//   floor --state FILE...   the same, and says how it found the page cache:
//                           the pages resident before each window was touched
//                           (mincore), how much of the file the system mapped
//                           in 2 MiB pieces (FilePmdMapped of /proc/self/smaps),
//                           and the run's minor and major faults
//   floor --evict FILE...   drops the files' pages from the page cache
//                           (posix_fadvise POSIX_FADV_DONTNEED), so that the
//                           next reader brings them back in a known way
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kWindow = uint64_t(4) << 20;
constexpr uint64_t kPage = 4096;

// FilePmdMapped of the mapping that starts at `at`, in KiB (0 when not found).
uint64_t pmdMappedKiB(const void* at) {
    std::ifstream smaps("/proc/self/smaps");
    char start[32];
    std::snprintf(start, sizeof start, "%lx-",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(at)));
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        // A mapping's first line starts with its address range; the lines of
        // its figures with a name and a colon.
        const std::string first = line.substr(0, line.find(' '));
        if (!first.empty() && first.back() != ':') {
            inside = first.rfind(start, 0) == 0;
        } else if (inside && first == "FilePmdMapped:") {
            std::istringstream figure(line.substr(first.size()));
            uint64_t kib = 0;
            figure >> kib;
            return kib;
        }
    }
    return 0;
}

bool evict(const char* name) {
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(name);
        return false;
    }
    fdatasync(fd);
    const int rc = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    if (rc != 0) std::fprintf(stderr, "floor: %s: posix_fadvise: %s\n", name, std::strerror(rc));
    return rc == 0;
}

// What --state tells of one file.
struct Seen {
    uint64_t pages = 0, resident = 0, pmdKiB = 0;
};

// Touches one byte of every page of a file, a window at a time.
bool touch(const char* name, bool state, uint64_t* sum, Seen* seen) {
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(name);
        return false;
    }
    const uint64_t size = uint64_t(st.st_size);
    seen->pages = (size + kPage - 1) / kPage;
    std::vector<unsigned char> cached(kWindow / kPage);
    for (uint64_t at = 0; at < size; at += kWindow) {
        const size_t n = size_t(size - at < kWindow ? size - at : kWindow);
        void* view = mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, off_t(at));
        if (view == MAP_FAILED) {
            std::perror("mmap");
            close(fd);
            return false;
        }
        if (state && mincore(view, n, cached.data()) == 0) {
            for (size_t i = 0; i < (n + kPage - 1) / kPage; ++i) seen->resident += cached[i] & 1;
        }
        const auto* bytes = static_cast<const volatile uint8_t*>(view);
        for (size_t i = 0; i < n; i += kPage) *sum += bytes[i];
        if (state) seen->pmdKiB += pmdMappedKiB(view);
        munmap(view, n);
    }
    close(fd);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool state = mode == "--state", drop = mode == "--evict";
    const int first = state || drop ? 2 : 1;
    if (argc <= first) {
        std::fprintf(stderr, "usage: floor [--state | --evict] FILE...\n");
        return 2;
    }
    uint64_t sum = 0;
    std::vector<Seen> seen(size_t(argc - first));
    for (int i = first; i < argc; ++i) {
        if (drop ? !evict(argv[i]) : !touch(argv[i], state, &sum, &seen[size_t(i - first)]))
            return 1;
    }
    if (drop) return 0;
    std::printf("%llu\n", static_cast<unsigned long long>(sum));
    if (!state) return 0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    for (int i = first; i < argc; ++i) {
        const Seen& s = seen[size_t(i - first)];
        std::printf(
            "page cache of %s: %llu of %llu pages resident before the touch (%.1f %%), "
            "%llu MiB mapped in 2 MiB pieces\n",
            argv[i], static_cast<unsigned long long>(s.resident),
            static_cast<unsigned long long>(s.pages),
            s.pages ? 100.0 * double(s.resident) / double(s.pages) : 0.0,
            static_cast<unsigned long long>(s.pmdKiB >> 10));
    }
    std::printf("floor: %ld minor and %ld major faults\n", usage.ru_minflt, usage.ru_majflt);
    return 0;
}
