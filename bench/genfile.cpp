// Writes a large Btrieve file of the 8.x (0x0800) or 9.5 (0x0950) family with
// 4096-byte pages for the benchmarks: two FCR copies, the PAT pairs at their
// stride, and data pages whose headers carry their logical page number, type
// 'D' and a usage count with bit 15 set. With --damage, about that percentage
// of the PAT entries point at another logical page's data page of the same
// pair; the right page stays in the file, so the best-page search finds it.
//
// The file is written front to back, one PAT pair and its data pages at a
// time, so a file of several GiB needs only a few MiB of memory.
//
//   genfile OUT SIZE [--version 0800|0950] [--damage PERCENT] [--seed N] [--pat-only]
//           [--compressed 4096|2048] [--cut-page P]
//
// --compressed (0x0950 only) sets the page-compression flag and stores every
// page in a slot of that many bytes: pages are addressed in that unit, and a
// PAT page covers several slots. --cut-page P splits the set after the first
// two bytes of physical page P: the rest goes to extension file .^01, so that
// page P's header is cut by the end of the main file.
//
// --pat-only rewrites just the PAT pairs of a file that genfile wrote with the
// same arguments: it undoes a repair without writing the whole file again.
//
// SIZE is in bytes and may end in K, M or G (powers of 1024). The file is cut
// down to whole pages; its last PAT pair may have fewer data pages than the
// others, and the entries past the last data page hold the free-space pointer.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kPatPageSize = 2 * kPageSize;
constexpr uint32_t kFreeSpace = 0xFFFFFFFE;
constexpr uint16_t kDataType = 0x44;

struct Family {
    uint16_t version;
    uint32_t entriesPerPat;  // entry slots in one PAT page
    uint32_t stridePages;    // physical pages from one pair to the next (of 4096 bytes)
    uint32_t firstSlot;      // byte offset of slot 0 in a PAT page
    uint32_t slotSize;
    uint32_t usageOffset;  // u32 usage count of an FCR copy and a PAT page
    uint32_t headerSize;   // page header; the u16 usage count follows it
};

// 8.x: 1276 data pages and the four pages of the two PAT copies.
constexpr Family k800{0x0800, 1276, 1276 + 4, 20, 6, 6, 6};
constexpr Family k950{0x0950, 956, 960, 16, 8, 8, 8};

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool parseSize(const char* text, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text) return false;
    uint64_t unit = 1;
    if (*end == 'K' || *end == 'k') unit = 1ull << 10;
    if (*end == 'M' || *end == 'm') unit = 1ull << 20;
    if (*end == 'G' || *end == 'g') unit = 1ull << 30;
    if (unit != 1) ++end;
    if (*end != '\0') return false;
    *out = uint64_t(v) * unit;
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: genfile OUT SIZE [--version 0800|0950] [--damage PERCENT] [--seed N] "
                 "[--pat-only] [--compressed 4096|2048] [--cut-page P]\n");
    return 2;
}

// Writes at file-set offsets into the main file and, past the cut, into
// extension file .^01.
class Writer {
  public:
    Writer(std::FILE* main, std::FILE* extension, uint64_t cut)
        : main_(main), extension_(extension), cut_(cut) {}
    bool put(uint64_t at, const uint8_t* bytes, size_t n) {
        if (at < cut_) {
            const size_t first = size_t(std::min<uint64_t>(n, cut_ - at));
            if (!putIn(main_, at, bytes, first)) return false;
            at += first;
            bytes += first;
            n -= first;
            if (n == 0) return true;
        }
        return putIn(extension_, at - cut_, bytes, n);
    }

  private:
    bool putIn(std::FILE* f, uint64_t at, const uint8_t* bytes, size_t n) {
        if (!f) return false;
        if (fseeko(f, off_t(at), SEEK_SET) != 0) return false;
        return std::fwrite(bytes, 1, n, f) == n;
    }
    std::FILE* main_;
    std::FILE* extension_;
    uint64_t cut_;
};

// The extension file name: the path cut at its last '.', then ".^01".
std::string extensionOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    return (dot == std::string::npos ? path : path.substr(0, dot)) + ".^01";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const char* out = argv[1];
    uint64_t size = 0;
    if (!parseSize(argv[2], &size)) return usage();
    Family fam = k800;
    unsigned damage = 0;
    uint64_t seed = 1;
    bool patOnly = false;
    uint32_t unit = kPageSize;  // bytes per physical page slot
    uint64_t cutPage = 0;
    bool compressed = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--pat-only") {
            patOnly = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        std::string v = argv[++i];
        if (a == "--version") {
            if (v == "0800") {
                fam = k800;
            } else if (v == "0950") {
                fam = k950;
            } else {
                return usage();
            }
        } else if (a == "--damage") {
            damage = unsigned(std::strtoul(v.c_str(), nullptr, 10));
            if (damage > 100) return usage();
        } else if (a == "--seed") {
            seed = std::strtoull(v.c_str(), nullptr, 10);
        } else if (a == "--compressed") {
            unit = uint32_t(std::strtoul(v.c_str(), nullptr, 10));
            if (unit != 4096 && unit != 2048) return usage();
            compressed = true;
        } else if (a == "--cut-page") {
            cutPage = std::strtoull(v.c_str(), nullptr, 10);
        } else {
            return usage();
        }
    }

    if (compressed && fam.version != 0x0950) return usage();
    // Physical pages (slots of `unit` bytes) before pair 1: the two FCR copies
    // and two more PAT-page-sized areas; the two PAT pages of a pair.
    const uint32_t kLeadPages = 4 * kPatPageSize / unit;
    const uint32_t kPatPagesPerPair = 2 * kPatPageSize / unit;
    // From 0x0950 the stride counts slots; below, 4096-byte pages.
    const uint32_t stridePages = fam.stridePages;
    const uint64_t totalPages = size / unit;
    if (totalPages < kLeadPages + kPatPagesPerPair + 1) {
        std::fprintf(stderr, "genfile: %s is too small for one PAT pair and a data page\n",
                     argv[2]);
        return 2;
    }
    const uint32_t dataPerPair = std::min(stridePages - kPatPagesPerPair, fam.entriesPerPat);
    const uint64_t afterLead = totalPages - kLeadPages;
    uint64_t pairs = afterLead / stridePages;
    uint64_t tail = afterLead % stridePages;  // pages of a last, shorter pair
    if (tail > kPatPagesPerPair) {
        ++pairs;
    } else {
        tail = 0;  // too short for a pair with a data page: leave it out
    }
    const uint64_t dataPages =
        (pairs - (tail ? 1 : 0)) * dataPerPair + (tail ? tail - kPatPagesPerPair : 0);
    // Logical pages are numbered by PAT slot: slot k of pair n describes
    // logical page (n - 1) x entries + k + 1, whether or not it is in use. The
    // FCR records the highest one in use.
    const uint64_t lastData = tail ? tail - kPatPagesPerPair : dataPerPair;
    const uint64_t highestLogical = (pairs - 1) * fam.entriesPerPat + lastData;
    if (dataPages > 0xFFFFFFF0ull) {
        std::fprintf(stderr, "genfile: too many pages\n");
        return 2;
    }

    std::FILE* f = std::fopen(out, patOnly ? "r+b" : "wb");
    if (!f) {
        std::perror(out);
        return 1;
    }
    std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
    std::FILE* ext = nullptr;
    const std::string extName = extensionOf(out);
    uint64_t cut = UINT64_MAX;
    if (cutPage > 0) {
        cut = cutPage * unit + 2;
        ext = std::fopen(extName.c_str(), patOnly ? "r+b" : "wb");
        if (!ext) {
            std::perror(extName.c_str());
            return 1;
        }
        std::setvbuf(ext, nullptr, _IOFBF, 1 << 20);
    } else if (!patOnly) {
        std::remove(extName.c_str());
    }
    Writer w(f, ext, cut);

    // FCR copies and the pages before pair 1.
    std::vector<uint8_t> lead(size_t(kLeadPages) * unit, 0);
    for (int c = 0; c < 2; ++c) {
        uint8_t* fcr = lead.data() + size_t(c) * kPatPageSize;
        fcr[0] = 'F';
        fcr[1] = 'C';
        put32(fcr + fam.usageOffset, 1);
        uint32_t count = uint32_t(highestLogical);
        put32(fcr + 38, (count << 16) | (count >> 16));  // halves exchanged
        fcr[43] = uint8_t(kPageSize / 256);
        put16(fcr + 74, fam.version);
        put32(fcr + 76, uint32_t(pairs));
        if (compressed) {
            put16(fcr + 400, 0x2000);
            put16(fcr + 80, uint16_t(unit));
        }
    }
    bool ok = patOnly || w.put(0, lead.data(), lead.size());

    std::vector<uint8_t> pair(size_t(stridePages) * unit);
    uint64_t logicalBase = 0;  // logical pages of earlier pairs
    uint64_t damaged = 0;
    std::set<uint32_t> claimed;  // page ids that PAT pages appear to carry
    for (uint64_t n = 1; ok && n <= pairs; ++n) {
        const bool last = n == pairs;
        const uint32_t data = last && tail ? uint32_t(tail - kPatPagesPerPair) : dataPerPair;
        const size_t bytes = size_t(kPatPagesPerPair + data) * unit;
        pair.assign(bytes, 0);
        // First physical page of this pair's data pages.
        const uint64_t firstData = kLeadPages + (n - 1) * stridePages + kPatPagesPerPair;

        // Where each entry of this pair points, as an index into its data pages.
        std::vector<uint32_t> target(data);
        for (uint32_t k = 0; k < data; ++k) {
            target[k] = k;
            if (data > 1 && damage > 0 &&
                splitmix(seed ^ (logicalBase + k) * 0x2545F4914F6CDD1Dull) % 100 < damage) {
                // Another page of this pair, chosen so that it is never k itself.
                target[k] =
                    uint32_t((k + 1 + splitmix(seed + logicalBase + k) % (data - 1)) % data);
            }
        }
        uint8_t* pat0 = pair.data();
        auto fillPat = [&] {
            std::memset(pat0, 0, kPatPageSize);
            put16(pat0, uint16_t(n & 0xFFFF));
            pat0[2] = uint8_t(n >> 16);
            pat0[3] = 'P';
            pat0[4] = 'P';
            put32(pat0 + fam.usageOffset, 1);
            for (uint32_t k = 0; k < fam.entriesPerPat; ++k) {
                uint8_t* slot = pat0 + fam.firstSlot + size_t(k) * fam.slotSize;
                if (k >= data) {
                    put32(slot, kFreeSpace);
                    continue;
                }
                put32(slot, uint32_t(firstData + target[k]));
                put16(slot + 4, kDataType);
            }
        };
        // The later slots of a PAT page lie where a page header would be, and
        // their entry bytes may read as a header naming some logical page. An
        // entry for that page stays sound: the search could pick the PAT page
        // instead.
        for (;;) {
            fillPat();
            std::vector<uint32_t> added;
            for (uint32_t at = unit; at < kPatPageSize; at += unit) {
                const uint32_t id = le32(pat0 + at);
                if (claimed.insert(id).second) added.push_back(id);
            }
            bool changed = false;
            for (uint32_t k = 0; k < data; ++k) {
                if (target[k] != k && claimed.count(uint32_t(logicalBase + k + 1))) {
                    target[k] = k;
                    changed = true;
                }
            }
            if (!changed) break;
            for (uint32_t id : added) claimed.erase(id);
        }
        for (uint32_t k = 0; k < data; ++k) damaged += target[k] != k;
        std::memcpy(pair.data() + kPatPageSize, pat0, kPatPageSize);
        const uint64_t pairAt = (kLeadPages + (n - 1) * uint64_t(stridePages)) * unit;
        if (patOnly) {
            ok = w.put(pairAt, pair.data(), 2 * kPatPageSize);
            logicalBase += fam.entriesPerPat;
            continue;
        }

        for (uint32_t k = 0; k < data; ++k) {
            uint8_t* page = pair.data() + size_t(kPatPagesPerPair + k) * unit;
            const uint32_t logical = uint32_t(logicalBase + k + 1);
            put32(page, logical);
            put16(page + 4, kDataType);
            put16(page + fam.headerSize, uint16_t(0x8000 | (1 + logical % 200)));
            // Some record bytes, so that the page is not all zeros.
            for (uint32_t b = 64; b < unit; b += 64) put32(page + b, logical * 2654435761u + b);
        }
        ok = w.put(pairAt, pair.data(), pair.size());
        logicalBase += fam.entriesPerPat;
    }
    if (std::fclose(f) != 0) ok = false;
    if (ext && std::fclose(ext) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "genfile: writing %s failed\n", out);
        return 1;
    }
    std::printf("%s: %llu pages, %llu PAT pairs, %llu data pages, %llu entries damaged\n", out,
                (unsigned long long)totalPages, (unsigned long long)pairs,
                (unsigned long long)dataPages, (unsigned long long)damaged);
    return 0;
}
