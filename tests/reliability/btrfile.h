// Tiny Btrieve files for the reliability tests and the fuzz seeds, a reading
// of their layout that does not share code with the tool, and a runner for
// the tool as a child process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace btr {

using Bytes = std::vector<uint8_t>;

// How a healthy file is made.
struct FileShape {
    uint16_t version = 0x0800;  // folded version code
    uint16_t pageSize = 512;
    bool signature = false;    // 'F' 'C' at 0 and the negated code at 74
    bool compressed = false;   // page compression flag (0x0950 and later)
};

// A healthy file of a few pages: two FCR copies, PAT pair 1 and its pages
// (a data page, an index page, a variable page, a second data page and a
// stale older copy of logical page 2 that no entry names).
Bytes makeHealthyFile(const FileShape& shape);

// Named healthy files, one or more per version family, and one pre-6.x file.
struct NamedFile {
    std::string name;
    FileShape shape;
    Bytes bytes;
};
std::vector<NamedFile> healthyFiles();

// The file's layout as the FCR describes it.
struct Layout {
    uint16_t version = 0;
    uint32_t pageSize = 0, patPageSize = 0, headerSize = 4, usageOffset = 4;
    uint32_t unit = 0;  // bytes per physical page slot
    uint32_t entries = 0, firstSlot = 8, slotSize = 4;
    uint64_t stride = 0;
    uint64_t threshold = 0xFFFFFFFF;  // 6.x pages from here lie 4096 bytes on
    uint32_t lastPair = 0;
    int currentFcr = 0;

    uint64_t pairOffset(uint32_t n) const;
    uint64_t pageOffset(uint32_t p) const;
    // Bytes of a PAT page that hold its header and its entry slots.
    uint64_t patBytesUsed() const;
};
// From the bytes of the file set; the first mainSize bytes are the main file.
bool readLayout(const Bytes& file, Layout* layout, size_t mainSize = SIZE_MAX);

// Header bytes of a page that records logical page id with a type.
void putPageHeader(uint8_t* page, const Layout& l, uint32_t id, uint16_t type, uint16_t usage);

// Scratch directory, removed with its files at destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void writeFile(const std::string& name, const Bytes& bytes);
Bytes readFile(const std::string& name);

// Runs the tool as a child process, killing it after timeoutSeconds.
struct RunResult {
    int status = -1;  // exit status 0 to 255, or -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    double seconds = 0;
    std::string out, err;
};
RunResult runTool(const std::vector<std::string>& args, double timeoutSeconds = 60);

// Whether a finished run ended as the tool may end: by its own exit status,
// without a signal, a time-out or a sanitizer report. Empty when so.
std::string runFault(const RunResult& r);

// Compares the file set after a repair run with its bytes from before. Fails
// (returns a description) when a byte changed anywhere but in the header and
// slots of a PAT page, or in the header of a page that a repair line of the
// run's output names. members holds the bytes of each member file, in order.
std::string changesOutsideRepairs(const std::vector<Bytes>& before,
                                  const std::vector<Bytes>& after, const std::string& output);

}  // namespace btr
