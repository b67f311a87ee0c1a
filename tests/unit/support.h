// Small helpers for the unit tests: a scratch directory, byte images of
// files, an FCR image per version family, and a file opened through the
// library with the lines it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "fileio/output.h"
#include "format/geometry.h"
#include "support/scratch.h"

namespace unit {

using ::ScratchDir;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory, removed again.

inline void put16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = uint8_t(v);
    b.at(at + 1) = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, uint16_t(v));
    put16(b, at + 2, uint16_t(v >> 16));
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline int usageOffsetOf(uint16_t version) {
    return version < 0x0800 ? 4 : version < 0x0950 ? 6 : 8;
}

// An FCR of the version family in two identical copies, at 0 and at
// patPageSize, in an image of `size` zero bytes. Signature 'F' 'C' with the
// version code at 74; the page size byte at 9 below 0x0800, at 43 from there.
inline Bytes fcrImage(uint16_t version, uint16_t pageSize, uint16_t patPageSize, size_t size) {
    Bytes b(size, 0);
    for (size_t copy = 0; copy < 2 && (copy + 1) * patPageSize <= size; ++copy) {
        size_t base = copy * patPageSize;
        b[base] = 'F';
        b[base + 1] = 'C';
        put16(b, base + 74, version);
        b[base + (version < 0x0800 ? 9 : 43)] = uint8_t(pageSize / 256);
    }
    return b;
}

// Header bytes and usage word of one page, in the layout of the family.
inline void putPageHeader(Bytes& b, uint64_t at, uint16_t version, uint32_t id, uint16_t type,
                          uint16_t usage) {
    if (version < 0x0800) {
        uint32_t w = (uint32_t(type & 0xFF) << 24) | (id & 0xFFFFFF);
        put32(b, at, (w << 16) | (w >> 16));
        put16(b, at + 4, usage);
        return;
    }
    put32(b, at, id);
    put16(b, at + 4, type);
    put16(b, at + (version < 0x0950 ? 6 : version == 0x0950 ? 8 : 16), usage);
}

// The geometry fields the PAT tables and the page addressing read, as the
// FCR of an uncompressed file of the family would give them.
inline tabulon::FileGeometry geometryOf(uint16_t version, uint16_t pageSize,
                                        uint16_t patPageSize = 0) {
    tabulon::FileGeometry g;
    g.versionCode = version;
    g.pageSize = g.compressedPageSize = pageSize;
    g.patPageSize = patPageSize;
    return g;
}

// A file opened through the library; `out` holds every line the open and
// the later calls printed. Closed when it goes away.
struct Opened {
    Opened(const std::string& path, int mode, bool verbose = false)
        : status(file.open(path, mode, verbose)),
          members(status.ok() ? file.fileSet().memberCount() : 0) {}
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

    // Forgets the lines printed so far.
    void clearOutput() {
        out.outText.clear();
        out.errText.clear();
    }
    const tabulon::FileGeometry& geometry() const { return file.geometry(); }

    tabulon::BufferOutput out;
    tabulon::BtrieveFile file{out, tabulon::systemPlatform()};
    tabulon::Status status;  // what the open returned
    int members = 0;         // the members opened, 0 when the open failed
};

}  // namespace unit
