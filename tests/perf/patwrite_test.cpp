// PatPair::setEntry writes back only the changed slot when the rest of the pair is
// already on disk; the file must end up exactly as when both copies are
// written, which /D still does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "access/patpair.h"
#include "fileio/output.h"
#include "format/geometry.h"
#include "format/le.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kPatPageSize = 8192;
constexpr uint64_t kPair1 = 4 * kPatPageSize;

struct WriteCase {
    const char* name;
    uint16_t version;
    uint64_t cut;            // where member 1 begins; 0 for a single member
    bool repairHeaderFirst;  // a PAT header field is rewritten before the entries
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> setBytes(uint16_t version) {
    std::vector<uint8_t> bytes(kPair1 + 2 * kPatPageSize + 40 * kPageSize);
    uint32_t x = 5;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    const int usage = version < 0x0950 ? 6 : 8;
    for (int c = 0; c < 2; ++c) {
        uint8_t* fcr = bytes.data() + c * kPatPageSize;
        std::memset(fcr, 0, kPatPageSize);
        fcr[0] = 'F';
        fcr[1] = 'C';
        fcr[43] = uint8_t(kPageSize / 256);
        putLe16(fcr + 74, version);
        putLe32(fcr + 38, swapHalves(2000));
        putLe32(fcr + 76, 1);
        uint8_t* pat = bytes.data() + kPair1 + c * kPatPageSize;
        putLe16(pat, 1);
        pat[2] = 0;
        pat[3] = 'P';
        pat[4] = 'P';
        pat[5] = 0;
        if (version == 0x0950) pat[6] = pat[7] = 0;
        putLe32(pat + usage, 7);
    }
    return bytes;
}

// Notes the size of every write that reaches the file set.
struct WriteSizes : WriteObserver {
    bool beforeWrite(uint64_t, size_t) override { return true; }
    void afterWrite(uint64_t, const uint8_t*, size_t n, bool ok) override {
        EXPECT_TRUE(ok);
        sizes.push_back(n);
    }
    std::vector<size_t> sizes;
};

std::vector<std::vector<uint8_t>> repairedMembers(const WriteCase& wc, bool verbose,
                                                  std::vector<size_t>* writes) {
    const fs::path dir = fs::temp_directory_path();
    const std::string base = (dir / ("tabulon_patwrite_" + std::to_string(::getpid()))).string();
    const std::string names[2] = {base + ".dat", base + ".^01"};
    const std::vector<uint8_t> bytes = setBytes(wc.version);
    const uint64_t cut = wc.cut ? wc.cut : bytes.size();
    std::ofstream(names[0], std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(cut));
    if (wc.cut) {
        std::ofstream(names[1], std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data() + cut), std::streamsize(bytes.size() - cut));
    }

    {
        NullOutput out;  // the /D trace lines are not looked at here
        BtrieveFile file(out, systemPlatform());
        EXPECT_TRUE(file.open(names[0], Repair, verbose).ok());
        WriteSizes seen;
        file.fileSet().addObserver(&seen);
        PatPair pair(file);
        EXPECT_TRUE(pair.load(1));
        if (wc.repairHeaderFirst) {
            pair.copy(0)[3] = 'P';
            pair.copy(1)[0] = 1;
            EXPECT_TRUE(pair.write(1));
        }
        for (uint32_t logical : {1u, 2u, 17u, 2u, 600u, 956u}) {
            EXPECT_TRUE(pair.setEntry(logical, 0x1000 + logical, uint16_t(0x44 + logical % 3)))
                << logical;
        }
        file.fileSet().removeObserver(&seen);
        EXPECT_TRUE(file.close().ok());
        *writes = seen.sizes;
    }

    std::vector<std::vector<uint8_t>> members;
    for (const std::string& name : names) {
        std::ifstream in(name, std::ios::binary);
        if (!in) continue;
        members.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        fs::remove(name);
    }
    return members;
}

class SlotWriteBack : public testing::TestWithParam<WriteCase> {};

TEST_P(SlotWriteBack, LeavesTheFileAsAFullWriteBack) {
    std::vector<size_t> fullWrites, slotWrites;
    const auto full = repairedMembers(GetParam(), true, &fullWrites);
    const auto slots = repairedMembers(GetParam(), false, &slotWrites);
    ASSERT_EQ(full.size(), slots.size());
    for (size_t m = 0; m < full.size(); ++m) {
        EXPECT_EQ(full[m].size(), slots[m].size()) << "member " << m;
        EXPECT_TRUE(full[m] == slots[m]) << "member " << m;
    }
    // Under /D each entry writes both copies; otherwise each writes its slot
    // alone, after a header repair has written the whole pair once.
    const size_t slotSize = GetParam().version == 0x0950 ? 8 : 6;
    std::vector<size_t> expectFull, expectSlots;
    if (GetParam().repairHeaderFirst) expectFull = expectSlots = {kPatPageSize, kPatPageSize};
    for (int entry = 0; entry < 6; ++entry) {
        expectFull.insert(expectFull.end(), {kPatPageSize, kPatPageSize});
        expectSlots.push_back(slotSize);
    }
    EXPECT_EQ(fullWrites, expectFull);
    EXPECT_EQ(slotWrites, expectSlots);
    // The entries landed in the current copy (copy 1, the usage counts being equal).
    std::vector<uint8_t> set;
    for (const auto& m : slots) set.insert(set.end(), m.begin(), m.end());
    const bool v950 = GetParam().version == 0x0950;
    const uint64_t slot = kPair1 + kPatPageSize + (v950 ? 16 + 8 * 16 : 20 + 6 * 16);
    ASSERT_GT(set.size(), slot + 6);
    EXPECT_EQ(le32(set.data() + slot), 0x1000u + 17);
    EXPECT_EQ(le16(set.data() + slot + 4), 0x44 + 17 % 3);
}

const WriteCase kWriteCases[] = {
    {"v800_one_member", 0x0800, 0, false},
    {"v800_after_header_repair", 0x0800, 0, true},
    {"v950_one_member", 0x0950, 0, false},
    // A pair cut by a member's end cannot be loaded, so it is never written.
    {"v800_pair_in_second_member", 0x0800, kPair1 - 5000, false},
    {"v950_pair_starts_second_member", 0x0950, kPair1, true},
    {"v800_pair_ends_first_member", 0x0800, kPair1 + 2 * kPatPageSize, false},
};

INSTANTIATE_TEST_SUITE_P(Pairs, SlotWriteBack, testing::ValuesIn(kWriteCases),
                         [](const testing::TestParamInfo<WriteCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
