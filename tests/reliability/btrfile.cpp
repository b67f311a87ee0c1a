#include "btrfile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace btr {
namespace {

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) { return uint32_t(get16(p)) | uint32_t(get16(p + 2)) << 16; }
void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(uint8_t* p, uint32_t v) { put16(p, uint16_t(v)), put16(p + 2, uint16_t(v >> 16)); }
uint32_t exchange(uint32_t w) { return w << 16 | w >> 16; }

uint32_t entriesFor(uint16_t v, uint32_t pageSize, uint32_t patPageSize) {
    if (v < 0x0800) return patPageSize / 4 - 2;
    static const uint32_t sizes800[] = {512, 1024, 1536, 2048, 2560, 3072, 3584, 4096, 8192};
    static const uint32_t counts800[] = {312, 316, 476, 636, 796, 956, 1116, 1276, 1278};
    static const uint32_t sizes950[] = {1024, 2048, 4096, 8192, 16384};
    static const uint32_t counts950[] = {476, 478, 956, 1596, 1598};
    if (v < 0x0950) {
        for (int i = 0; i < 9; ++i) if (sizes800[i] == pageSize) return counts800[i];
    } else {
        for (int i = 0; i < 5; ++i) if (sizes950[i] == pageSize) return counts950[i];
    }
    return 0;
}

uint32_t multiplierFor(uint32_t pageSize) {
    switch (pageSize) {
        case 1024: case 2048: return 480;
        case 4096: return 960;
        case 8192: case 16384: return 1600;
        default: return 0;
    }
}

// One FCR copy: version, page size, usage count, page count and last pair.
void fillFcr(uint8_t* c, const FileShape& s, int copy, uint32_t pageCount) {
    const uint16_t v = s.version;
    const int usageAt = v < 0x0800 ? 4 : v < 0x0950 ? 6 : 8;
    uint32_t usage = 1 + uint32_t(copy);
    if (s.signature) {
        c[0] = 'F', c[1] = 'C';
        put16(c + 74, v > 0x8000 ? v : uint16_t(0x10000 - v));
    } else {
        put16(c + 6, v);
        // Below 0x0950 the usage count shares bytes 6-7 with the version code.
        if (usageAt == 4) usage = uint32_t(v) << 16 | usage;
        if (usageAt == 6) usage = usage << 16 | v;
    }
    if (v >= 0x0600) put32(c + usageAt, usage);
    c[v < 0x0800 ? 9 : 43] = uint8_t(s.pageSize / 256);
    put32(c + 38, v <= 0x0950 ? exchange(pageCount) : pageCount);
    if (v < 0x0700) put16(c + 76, 1); else put32(c + 76, 1);
    if (s.compressed && v >= 0x0950) {
        put16(c + (v == 0x0950 ? 400 : 156), 0x2000);
        put16(c + 80, s.pageSize);
    }
}

void putPatHeader(uint8_t* page, const Layout& l, uint32_t n, uint32_t usage) {
    const uint16_t v = l.version;
    if (v < 0x0700) {
        page[0] = page[1] = 'P';
        put16(page + 2, uint16_t(n));
    } else if (v < 0x0800) {
        page[0] = uint8_t(n >> 16), page[1] = 'P';
        put16(page + 2, uint16_t(n));
    } else {
        put16(page, uint16_t(n)), page[2] = uint8_t(n >> 16);
        page[3] = page[4] = 'P';
    }
    put32(page + l.usageOffset, usage);
}

void putSlot(uint8_t* page, const Layout& l, uint32_t j, uint32_t physical, uint16_t type) {
    uint8_t* slot = page + l.firstSlot + l.slotSize * j;
    if (l.version < 0x0800) {
        put32(slot, exchange((physical & 0xFFFFFF) | uint32_t(type & 0xFF) << 24));
    } else {
        put32(slot, physical), put16(slot + 4, type);
    }
}

}  // namespace

uint64_t Layout::pairOffset(uint32_t n) const {
    if (n == 0) return 0;
    uint64_t o = 2 * uint64_t(patPageSize);
    if (version >= 0x0800) o += 2 * uint64_t(patPageSize);
    if (version < 0x0700 && n >= 31) o += 4096;
    return o + stride * (n - 1);
}

uint64_t Layout::pageOffset(uint32_t p) const {
    uint64_t o = uint64_t(unit) * p;
    if (version >= 0x0180 && version <= 0x06FF && o >= threshold) o += 4096;
    return o;
}

uint64_t Layout::patBytesUsed() const {
    return std::min<uint64_t>(firstSlot + uint64_t(entries) * slotSize, patPageSize);
}

bool readLayout(const Bytes& file, Layout* out, size_t mainSize) {
    mainSize = std::min(mainSize, file.size());
    if (mainSize < 512) return false;
    Layout l;
    // Copy 0 is read from the main file alone.
    Bytes c0(file.begin(), file.begin() + long(std::min<size_t>(mainSize, 16384)));
    c0.resize(32768);
    const uint16_t stored = get32(c0.data()) == 0 ? get16(&c0[6]) : get16(&c0[74]);
    const uint16_t v = l.version = stored > 0x8000 ? uint16_t(0x10000 - stored) : stored;
    l.pageSize = uint16_t((v < 0x0800 ? c0[9] : c0[43]) * 256);
    const uint16_t twice = uint16_t(2 * l.pageSize);
    if (v < 0x0800) {
        l.patPageSize = l.pageSize;
    } else if (v < 0x0950) {
        l.patPageSize = l.pageSize == 8192 ? 8192 : std::max<uint32_t>(twice, 2048);
        l.usageOffset = l.headerSize = 6;
        l.firstSlot = 20, l.slotSize = 6;
    } else {
        l.patPageSize = l.pageSize >= 16384 ? 16384 : v == 0x0950 ? std::max<uint32_t>(twice, 4096) : twice;
        l.usageOffset = 8;
        l.headerSize = v == 0x0950 ? 8 : 16;
        l.firstSlot = 16, l.slotSize = 8;
    }
    Bytes c1(32768);
    const uint8_t* cur = c0.data();
    if (v >= 0x0600) {
        if (l.pageSize < 512 || l.patPageSize > 32768 || file.size() < 2 * size_t(l.patPageSize)) return false;
        std::copy_n(file.begin() + l.patPageSize, l.patPageSize, c1.begin());
        if (get32(&c0[l.usageOffset]) < get32(&c1[l.usageOffset])) cur = c1.data(), l.currentFcr = 1;
    }
    l.unit = l.pageSize;
    if (v >= 0x0950 && (get16(cur + (v == 0x0950 ? 400 : 156)) & 0x2000)) l.unit = get16(cur + 80);
    l.entries = entriesFor(v, l.pageSize, l.patPageSize);
    l.stride = v < 0x0950 ? uint64_t(l.entries) * l.pageSize + 2 * l.patPageSize
                          : uint64_t(multiplierFor(l.pageSize)) * l.unit;
    if (v >= 0x0600 && v <= 0x06FF && l.pageSize <= 4096 && l.pageSize % 512 == 0) {
        l.threshold = uint64_t(l.pageSize) * (15 * l.pageSize / 2 + 2);
    }
    l.lastPair = v < 0x0700 ? get16(cur + 76) : get32(cur + 76);
    *out = l;
    return true;
}

void putPageHeader(uint8_t* page, const Layout& l, uint32_t id, uint16_t type, uint16_t usage) {
    if (l.version < 0x0800) {
        put32(page, exchange((id & 0xFFFFFF) | uint32_t(type & 0xFF) << 24));
    } else {
        put32(page, id), put16(page + 4, type);
    }
    put16(page + l.headerSize, usage);
}

Bytes makeHealthyFile(const FileShape& s) {
    const uint16_t v = s.version;
    // Logical pages 1 to 4 and the pages' types; page count per family: below
    // 0x0800 every slot up to pageCount + 1 is checked, later families leave
    // free-space slots after the last page.
    const uint16_t types[4] = {0x44, 0x80, 0x56, 0x44};
    const uint32_t pageCount = v < 0x0800 ? 3 : 6;

    Bytes probe(65536);
    fillFcr(probe.data(), s, 0, pageCount);
    Layout l;
    readLayout(probe, &l);
    if (v < 0x0600) {
        Bytes file(2 * size_t(l.pageSize));
        fillFcr(file.data(), s, 0, pageCount);
        return file;
    }
    const uint64_t patEnd = l.pairOffset(1) + 2 * uint64_t(l.patPageSize);
    const uint32_t first = uint32_t((patEnd + l.unit - 1) / l.unit);
    Bytes file(l.pageOffset(first + 5));
    fillFcr(file.data(), s, 0, pageCount);
    fillFcr(file.data() + l.patPageSize, s, 1, pageCount);

    for (uint32_t i = 0; i < 4; ++i) {
        uint16_t usage = types[i] == 0x44 ? uint16_t(0x8000 | (i + 1)) : uint16_t(i + 2);
        putPageHeader(&file[l.pageOffset(first + i)], l, i + 1, types[i], usage);
    }
    // An older copy of logical page 2, with a lower usage count.
    putPageHeader(&file[l.pageOffset(first + 4)], l, 2, types[1], 1);

    for (int copy = 0; copy < 2; ++copy) {
        uint8_t* page = &file[l.pairOffset(1) + uint64_t(copy) * l.patPageSize];
        putPatHeader(page, l, 1, 1 + uint32_t(copy));
        for (uint32_t j = 0; j < l.entries && l.firstSlot + l.slotSize * (j + 1) <= l.patPageSize; ++j) {
            if (j < 4) {
                uint16_t t = types[j];
                if (j == 3 && v >= 0x0D30) t = 0x4544;  // 'D' 'E', read as a data page
                putSlot(page, l, j, first + j, t);
            } else if (v >= 0x0800) {
                putSlot(page, l, j, 0xFFFFFFFE, 0);
            }
        }
    }
    return file;
}

std::vector<NamedFile> healthyFiles() {
    const std::vector<std::pair<std::string, FileShape>> shapes = {
        {"v0500", {0x0500, 512}},
        {"v0600", {0x0600, 512}},
        {"v0600_4096", {0x0600, 4096}},
        {"v0610_signed", {0x0610, 512, true}},
        {"v0620", {0x0620, 1024}},
        {"v0700", {0x0700, 1024}},
        {"v0800", {0x0800, 512}},
        {"v0800_2048", {0x0800, 2048}},
        {"v0900_signed", {0x0900, 1024, true}},
        {"v0950", {0x0950, 1024}},
        {"v0951", {0x0951, 1024}},
        {"v0D00", {0x0D00, 1024}},
        {"v0D00_2048", {0x0D00, 2048}},
        {"v0D00_compressed", {0x0D00, 1024, false, true}},
        {"v0D30", {0x0D30, 1024}},
    };
    std::vector<NamedFile> files;
    for (const auto& [name, shape] : shapes) files.push_back({name, shape, makeHealthyFile(shape)});
    return files;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tabulon-rel-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + name);
}

Bytes readFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

RunResult runTool(const std::vector<std::string>& args, double timeoutSeconds) {
    RunResult r;
    TempDir io;
    const std::string outName = io.file("out"), errName = io.file("err");
    std::vector<std::string> all = {TABULON_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the tool");

    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) break;
        std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        if (spent.count() > timeoutSeconds) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    Bytes out = readFile(outName), err = readFile(errName);
    r.out.assign(out.begin(), out.end());
    r.err.assign(err.begin(), err.end());
    return r;
}

std::string runFault(const RunResult& r) {
    if (r.timedOut) return "did not finish in time";
    if (r.signal) return "ended by signal " + std::to_string(r.signal);
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos) {
        return "sanitizer report:\n" + r.err.substr(0, 4000);
    }
    if (r.status != 0 && r.status != 253) return "exit status " + std::to_string(r.status);
    return "";
}

std::string changesOutsideRepairs(const std::vector<Bytes>& before, const std::vector<Bytes>& after,
                                  const std::string& output) {
    if (before.size() != after.size() || before.empty()) return "member count changed";
    Bytes set;
    for (const Bytes& m : before) set.insert(set.end(), m.begin(), m.end());
    std::vector<std::pair<uint64_t, uint64_t>> allowed;  // [from, to) file-set offsets
    Layout l;
    if (readLayout(set, &l, before[0].size()) && l.version >= 0x0600) {
        for (uint64_t n = 1; n <= l.lastPair; ++n) {
            uint64_t at = l.pairOffset(uint32_t(n));
            if (at >= set.size()) break;
            for (uint64_t c = 0; c < 2; ++c) {
                allowed.emplace_back(at + c * l.patPageSize, at + c * l.patPageSize + l.patBytesUsed());
            }
            if (l.stride == 0) break;
        }
        const std::string repaired = "-->Repaired By Writing Corrected Page ID to Physical Page ";
        for (size_t at = output.find(repaired); at != std::string::npos; at = output.find(repaired, at + 1)) {
            uint64_t page = std::stoull(output.substr(at + repaired.size(), 8), nullptr, 16);
            uint64_t offset = l.pageOffset(uint32_t(page));
            allowed.emplace_back(offset, offset + l.headerSize);
        }
    }
    auto isAllowed = [&](uint64_t o) {
        for (auto& [from, to] : allowed) if (o >= from && o < to) return true;
        return false;
    };
    std::string faults;
    uint64_t base = 0;
    for (size_t m = 0; m < before.size(); ++m) {
        const Bytes &b = before[m], &a = after[m];
        if (a.size() < b.size()) faults += "member " + std::to_string(m) + " shrank\n";
        for (size_t i = 0; i < a.size() && faults.size() < 2000; ++i) {
            if (i < b.size() && a[i] == b[i]) continue;
            if (isAllowed(base + i)) continue;
            char line[96];
            std::snprintf(line, sizeof line, "member %zu byte 0x%zx (set offset 0x%llx) changed\n", m, i,
                          (unsigned long long)(base + i));
            faults += line;
        }
        base += b.size();
    }
    return faults;
}

}  // namespace btr
