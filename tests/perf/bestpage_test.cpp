// The indexed best-page search must choose what a walk over every cached
// header chooses: the highest usage value among the pages naming the logical
// page, the lowest physical page on ties, also after headers were rewritten.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/bestpage.h"
#include "access/btrfile.h"
#include "check/scan.h"
#include "fileio/output.h"
#include "format/geometry.h"
#include "format/le.h"
#include "format/pageheader.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kPages = 3000;

struct SearchCase {
    const char* name;
    uint16_t version;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

// Page ids drawn so that many pages share an id, some ids lie at or past the
// number of pages, and some pages name id 0 or the largest ids.
uint32_t pageIdFor(uint32_t n, uint32_t r, bool packed) {
    const uint32_t top = packed ? 0xFFFFFFu : 0xFFFFFFFFu;
    switch (r % 8) {
        case 0: return 0;
        case 1: return top - r % 3;
        case 2: return kPages + r % 50;  // just past the physical pages
        case 3: return (r >> 8) % top;   // anywhere
        default: return 1 + (n * 7 + r % 5) % 400;  // crowded small ids
    }
}

class IndexedSearch : public testing::TestWithParam<SearchCase> {
protected:
    void SetUp() override {
        const uint16_t v = GetParam().version;
        const bool packed = v < 0x0800;
        std::vector<uint8_t> bytes(size_t(kPages) * kPageSize, 0);
        for (int c = 0; c < 2; ++c) {
            uint8_t* fcr = bytes.data() + size_t(c) * (packed ? kPageSize : 2 * kPageSize);
            fcr[0] = 'F';
            fcr[1] = 'C';
            fcr[packed ? 9 : 43] = uint8_t(kPageSize / 256);
            putLe16(fcr + 74, v);
        }
        const int headerSize = packed ? 4 : v < 0x0950 ? 6 : v == 0x0950 ? 8 : 16;
        uint32_t x = 99;
        for (uint32_t n = 4; n < kPages; ++n) {
            x = x * 1664525u + 1013904223u;
            uint8_t* page = bytes.data() + size_t(n) * kPageSize;
            const uint32_t id = pageIdFor(n, x >> 4, packed);
            const uint16_t type = uint16_t((x >> 12) % 3 == 0 ? 0x44 : (x >> 12) % 3 == 1 ? 0x56 : 0x80);
            if (packed) {
                putLe32(page, swapHalves(uint32_t(type & 0xFF) << 24 | id));
            } else {
                putLe32(page, id);
                putLe16(page + 4, type);
            }
            // Few distinct usage values, so that ties are common; bit 15 varies.
            putLe16(page + headerSize, uint16_t(((x >> 20) % 4) | ((x >> 3) & 0x8000)));
        }
        const fs::path dir = fs::temp_directory_path();
        path_ = (dir / ("tabulon_best_" + std::to_string(::getpid()) + ".dat")).string();
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ASSERT_TRUE(file_.open(path_, ExclusiveRead, false).ok());
        scanner_ = std::make_unique<Scanner>(file_, ScanOptions{});
        ASSERT_TRUE(scanner_->cache().preload(false));
        probes_.clear();
        PageHeader h;
        for (uint32_t n = 4; scanner_->cache().lookup(n, h); ++n) {
            probes_.push_back(decodePageHeader(file_.geometry(), h).pageId);
            probes_.push_back(decodePageHeader(file_.geometry(), h).pageId + 1);
        }
        for (uint32_t p : {0u, 1u, kPages - 1, kPages, kPages + 49, 0xFFFFFEu, 0xFFFFFFu, 0x1000000u,
                           0xFFFFFFFEu, 0xFFFFFFFFu}) {
            probes_.push_back(p);
        }
    }
    void TearDown() override {
        scanner_.reset();
        file_.close();
        if (!path_.empty()) fs::remove(path_);
    }
    void expectSameChoices() {
        for (uint32_t p : probes_) {
            uint32_t physical = 1, linearPhysical = 1;
            uint16_t type = 1, linearType = 1;
            const bool found = findBest(*scanner_, p, physical, type);
            const bool linearFound = findBestByWalk(*scanner_, p, linearPhysical, linearType);
            ASSERT_EQ(found, linearFound) << "page id " << p;
            EXPECT_EQ(physical, linearPhysical) << "page id " << p;
            EXPECT_EQ(type, linearType) << "page id " << p;
        }
    }
    NullOutput out_;  // the "Found" lines are not looked at here
    BtrieveFile file_{out_, systemPlatform()};
    std::unique_ptr<Scanner> scanner_;
    std::string path_;
    std::vector<uint32_t> probes_;
};

TEST_P(IndexedSearch, ChoosesAsTheWalkDoes) { expectSameChoices(); }

TEST_P(IndexedSearch, SeesRewrittenHeaders) {
    uint32_t physical = 0;
    uint16_t type = 0;
    findBest(*scanner_, 5, physical, type);  // builds the index
    // Give some pages the ids of others, and some a fresh id; usage counts stay.
    PageHeader h;
    for (uint32_t n = 10; n < kPages && scanner_->cache().lookup(n, h); n += 97) {
        encodePageHeader(file_.geometry(), h, n % 3 == 0 ? 7 : n % 3 == 1 ? kPages + 3 : 0xABCDEu, 0x44);
        scanner_->search().noteRewrittenHeader(n, h);
    }
    probes_.push_back(0xABCDEu);
    expectSameChoices();
}

TEST_P(IndexedSearch, SeesManyRewrittenHeaders) {
    uint32_t physical = 0;
    uint16_t type = 0;
    findBest(*scanner_, 5, physical, type);
    // More rewritten pages than are kept aside: the index is rebuilt.
    PageHeader h;
    for (uint32_t n = 4; n < kPages && scanner_->cache().lookup(n, h); n += 2) {
        encodePageHeader(file_.geometry(), h, n % 11, 0x44);
        scanner_->search().noteRewrittenHeader(n, h);
    }
    expectSameChoices();
}

const SearchCase kSearchCases[] = {
    {"v700_packed_ids", 0x0700},
    {"v800", 0x0800},
    {"v950", 0x0950},
    {"v1300", 0x0D00},
};

INSTANTIATE_TEST_SUITE_P(Versions, IndexedSearch, testing::ValuesIn(kSearchCases),
                         [](const testing::TestParamInfo<SearchCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
