// The gathered preload must build the same header table as one readPageHeader
// per page: the same pages loaded, the same stop, the same usage counts and
// the same progress and final lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "access/cache.h"
#include "fileio/output.h"
#include "format/geometry.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

struct FileRecipe {
    uint16_t version;
    uint32_t pageSize;
    uint32_t pages;             // whole pages written; more bytes may follow
    uint32_t extraBytes = 0;    // bytes after the last whole page
    bool encrypted = false;
    std::vector<uint64_t> cuts;  // file-set offsets where the next member begins
};

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Builds the bytes of the whole set: an FCR that the open accepts, and pages
// whose first bytes differ from page to page so that any misplaced header or
// usage word shows.
std::vector<uint8_t> setBytes(const FileRecipe& r) {
    std::vector<uint8_t> bytes(uint64_t(r.pages) * r.pageSize + r.extraBytes);
    uint32_t x = 0x12345678u ^ r.version;
    for (size_t i = 0; i < bytes.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = uint8_t(x >> 24);
    }
    const uint32_t fcrCopySize = r.version < 0x0800 ? r.pageSize : 2 * r.pageSize;
    for (uint32_t c = 0; c < 2; ++c) {
        uint8_t* fcr = bytes.data() + size_t(c) * fcrCopySize;
        std::memset(fcr, 0, fcrCopySize);
        fcr[0] = 'F';
        fcr[1] = 'C';
        if (r.version < 0x0800) {
            fcr[9] = uint8_t(r.pageSize / 256);
        } else {
            fcr[43] = uint8_t(r.pageSize / 256);
        }
        if (r.encrypted) {
            fcr[55] = 0x02;
            const uint8_t mask[9] = {0xA5, 0x3C, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
            std::memcpy(fcr + 46, mask, sizeof mask);
        }
        put16(fcr + 74, r.version);
    }
    return bytes;
}

std::string memberPath(const std::string& main, size_t k) {
    if (k == 0) return main;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".^%.2x", unsigned(k));
    return main.substr(0, main.rfind('.')) + suffix;
}

// Writes the set as its members, cut at the recipe's offsets.
std::string writeSet(const FileRecipe& r, const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("tabulon_preload_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string main = (dir / (name + ".dat")).string();
    const std::vector<uint8_t> bytes = setBytes(r);
    std::vector<uint64_t> bounds = r.cuts;
    bounds.insert(bounds.begin(), 0);
    bounds.push_back(bytes.size());
    for (size_t k = 0; k + 1 < bounds.size(); ++k) {
        std::ofstream out(memberPath(main, k), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data() + bounds[k]),
                  std::streamsize(bounds[k + 1] - bounds[k]));
    }
    return main;
}

// Removes the members, and the directory once no set is left in it.
void removeSet(const std::string& main, size_t members) {
    for (size_t k = 0; k < members; ++k) fs::remove(memberPath(main, k));
    std::error_code notEmpty;
    fs::remove(fs::path(main).parent_path(), notEmpty);
}

struct Outcome {
    bool built = false;
    uint32_t entries = 0;
    uint32_t loadedEnd = 0;
    std::vector<uint8_t> headers;  // every entry's lookup result and record
    std::string out, err;
};

// Preloads a new header cache of the file and takes down what it built and
// printed.
Outcome preloadWith(BtrieveFile& file, BufferOutput& out, PreloadReads reads, size_t gatherBytes,
                    bool progress) {
    Outcome o;
    out.outText.clear();
    out.errText.clear();
    HeaderCache cache(file);
    o.built = cache.preload(progress, reads, gatherBytes);
    o.err = out.errText;
    o.out = out.outText;
    o.entries = cache.entryCount();
    o.loadedEnd = cache.loadedEnd();
    for (uint32_t p = 0; p < cache.entryCount() + 2; ++p) {
        PageHeader h;
        std::memset(&h, 0xEE, sizeof h);
        o.headers.push_back(cache.lookup(p, h) ? 1 : 0);
        o.headers.insert(o.headers.end(), h.headerBytes, h.headerBytes + sizeof h.headerBytes);
        o.headers.push_back(uint8_t(h.usageCount));
        o.headers.push_back(uint8_t(h.usageCount >> 8));
    }
    return o;
}

struct PreloadCase {
    const char* name;
    FileRecipe recipe;
    uint32_t expectedLoadedEnd;  // where the per-page preload stops
};

void PrintTo(const PreloadCase& c, std::ostream* os) { *os << c.name; }

class GatheredPreload : public testing::TestWithParam<PreloadCase> {
protected:
    void SetUp() override {
        main_ = writeSet(GetParam().recipe, GetParam().name);
        ASSERT_TRUE(file_.open(main_, ExclusiveRead, false).ok());
    }
    void TearDown() override {
        file_.close();
        removeSet(main_, GetParam().recipe.cuts.size() + 1);
    }
    Outcome preload(PreloadReads reads, size_t gatherBytes) {
        return preloadWith(file_, out_, reads, gatherBytes, true);
    }
    std::string main_;
    BufferOutput out_;
    BtrieveFile file_{out_, systemPlatform()};
};

TEST_P(GatheredPreload, LoadsWhatPerPageReadsLoad) {
    const Outcome plain = preload(PreloadReads::PerPage, 0);
    ASSERT_TRUE(plain.built);
    EXPECT_EQ(plain.loadedEnd, GetParam().expectedLoadedEnd);
    // Spans of one page, a few pages, an odd byte count and the default.
    for (size_t span : {size_t(1), size_t(3 * 512 + 1), size_t(65536), kPreloadGatherBytes}) {
        SCOPED_TRACE("gather span " + std::to_string(span));
        const Outcome fast = preload(PreloadReads::Gathered, span);
        EXPECT_EQ(fast.built, plain.built);
        EXPECT_EQ(fast.entries, plain.entries);
        EXPECT_EQ(fast.loadedEnd, plain.loadedEnd);
        EXPECT_EQ(fast.headers, plain.headers);
        EXPECT_EQ(fast.out, plain.out);
        EXPECT_EQ(fast.err, plain.err);
    }
}

// A member's pages count in whole sectors of that member, so a set cut inside
// a page may have one table entry less than it has pages.
// Page 0x0800 headers are 6 bytes with the usage word at 6 and 7, so a member
// cut 8 bytes into page k keeps page k whole; cut 6 bytes in, the usage word
// comes from the first bytes of the next member; cut 7 or 3 bytes in, page k
// cannot be read and loading stops there.
const PreloadCase kCases[] = {
    {"single_whole", {0x0800, 4096, 700, 0, false, {}}, 700},
    {"single_partial_last_page", {0x0800, 4096, 700, 3000, false, {}}, 700},
    {"partial_last_page_1024", {0x0800, 1024, 700, 700, false, {}}, 700},
    {"partial_last_header_cut", {0x0800, 512, 700, 5, false, {}}, 700},
    {"members_cut_inside_pages", {0x0800, 4096, 900, 0, false, {4096 * 100 + 2000, 4096 * 611 + 8}},
     899},
    {"usage_from_next_member", {0x0800, 4096, 900, 0, false, {4096 * 300 + 6}}, 899},
    {"usage_cut_by_member_end", {0x0800, 4096, 900, 0, false, {4096 * 300 + 7}}, 300},
    {"header_cut_by_member_end", {0x0800, 4096, 900, 0, false, {4096 * 300 + 3}}, 300},
    {"empty_member_between", {0x0800, 4096, 900, 0, false, {4096 * 200 + 100, 4096 * 200 + 100}},
     899},
    {"many_odd_members",
     {0x0950, 2048, 1500, 100, false, {50001, 123457, 123458, 800001, 1500000, 2000003}},
     1499},
    {"v600_past_threshold", {0x0600, 512, 4100, 0, false, {}}, 4092},
    {"v600_threshold_member_cut", {0x0600, 512, 4100, 0, false, {3842 * 512 + 4096 + 6}}, 4092},
    {"v700_no_shift", {0x0700, 1024, 800, 10, false, {}}, 800},
    {"encrypted_v950_usage", {0x0950, 4096, 600, 0, true, {4096 * 333 + 1000}}, 599},
    {"encrypted_v1300_usage", {0x0D00, 4096, 600, 0, true, {}}, 600},
    {"encrypted_v800_usage_as_stored", {0x0800, 4096, 600, 0, true, {}}, 600},
    {"small_set_no_progress", {0x0800, 4096, 500, 0, false, {}}, 500},
};

INSTANTIATE_TEST_SUITE_P(Sets, GatheredPreload, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<PreloadCase>& info) {
                             return std::string(info.param.name);
                         });

// The usage word of an owner-encrypted file with 8- or 16-byte headers is
// unmasked with the first two mask bytes; the header bytes are kept as stored.
TEST(GatheredPreloadValues, UnmasksUsageOfEncryptedFiles) {
    FileRecipe r{0x0950, 4096, 40, 0, true, {}};
    const std::vector<uint8_t> bytes = setBytes(r);
    const std::string main = writeSet(r, "unmask");
    {
        BufferOutput out;
        BtrieveFile file(out, systemPlatform());
        ASSERT_TRUE(file.open(main, ExclusiveRead, false).ok());
        const Outcome fast = preloadWith(file, out, PreloadReads::Gathered, kPreloadGatherBytes, false);
        ASSERT_TRUE(fast.built);
        HeaderCache cache(file);
        PageHeader h;
        ASSERT_TRUE(cache.preload(false, PreloadReads::Gathered) && cache.lookup(17, h));
        const uint8_t* page = bytes.data() + 17 * 4096;
        EXPECT_EQ(0, std::memcmp(h.headerBytes, page, 8));
        EXPECT_EQ(h.usageCount, uint16_t((page[8] | page[9] << 8) ^ 0x3CA5));
    }
    removeSet(main, 1);
}

}  // namespace
