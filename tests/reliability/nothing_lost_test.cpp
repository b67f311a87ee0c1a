// Nothing lost: a repair run changes no byte outside the PAT pages' headers
// and slots and the page headers that its repair lines name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "builder/readback.h"
#include "builder/recipe.h"
#include "builder/samples.h"
#include "support/harness.h"

namespace {

using namespace harness;
using namespace tbuild;

// The file set of one run: the main file and, when split, extension .^01.
struct FileSetOnDisk {
    TempDir dir;
    std::vector<std::string> names = {dir.file("DATA.DAT"), dir.file("DATA.^01")};

    void write(const std::vector<Bytes>& members) {
        for (size_t m = 0; m < members.size(); ++m) writeFile(names[m], members[m]);
    }
    std::vector<Bytes> read(size_t count) const {
        std::vector<Bytes> members;
        for (size_t m = 0; m < count; ++m) members.push_back(readFile(names[m]));
        return members;
    }
};

std::vector<Bytes> split(const Bytes& file, size_t at) {
    if (at == 0 || at >= file.size()) return {file};
    return {Bytes(file.begin(), file.begin() + long(at)), Bytes(file.begin() + long(at), file.end())};
}

// Repairs everything; fails the test when the run faults or loses a byte.
RunResult repairAndCompare(const std::vector<Bytes>& members, const std::string& what) {
    FileSetOnDisk set;
    set.write(members);
    RunResult r = runTool({set.names[0], "/F-1", "/R"}, 30);
    EXPECT_EQ(runFault(r), "") << what;
    EXPECT_EQ(changesOutsideRepairs(members, set.read(members.size()), r.out), "") << what << "\n" << r.out;
    return r;
}

TEST(NothingLost, CheckerCatchesChangesOutsideRepairs) {
    const BtrFile sample = makeSample({0x0800, 512});
    const Layout& l = sample.layout();
    const Bytes file = sample.bytes();
    ASSERT_EQ(sample.home(3), 26u);
    Bytes slotChanged = file, dataChanged = file, headerChanged = file;
    slotChanged[pairOffset(l, 1) + l.firstSlot + 1] ^= 1;
    dataChanged[pageOffset(l, 26) + 100] ^= 1;
    headerChanged[pageOffset(l, 26)] ^= 1;
    EXPECT_EQ(changesOutsideRepairs({file}, {slotChanged}, ""), "");
    EXPECT_NE(changesOutsideRepairs({file}, {dataChanged}, ""), "");
    EXPECT_NE(changesOutsideRepairs({file}, {headerChanged}, ""), "");
    EXPECT_EQ(changesOutsideRepairs({file}, {headerChanged},
                                    "-->Repaired By Writing Corrected Page ID to Physical Page 0000001a\n"),
              "");
    Bytes grown = file;
    grown.push_back(0);
    EXPECT_NE(changesOutsideRepairs({file}, {grown}, ""), "");
}

// The fuzz seeds are healthy: a full repair finds nothing and writes nothing,
// also with the pages in an extension file.
TEST(NothingLost, HealthyFilesStayByteForByte) {
    for (const NamedSample& f : healthySamples()) {
        const BtrFile sample = makeSample(f.shape);
        const Layout& l = sample.layout();
        const Bytes bytes = sample.bytes();
        for (size_t at : {size_t(0), size_t(pairOffset(l, 1) + 2 * l.patPageSize)}) {
            FileSetOnDisk set;
            std::vector<Bytes> members = split(bytes, at);
            set.write(members);
            RunResult r = runTool({set.names[0], "/F-1", "/R"}, 30);
            ASSERT_EQ(runFault(r), "") << f.name;
            EXPECT_EQ(set.read(members.size()), members) << f.name << " split at " << at;
            if (l.hasPat()) {
                EXPECT_NE(r.out.find("Problems Found (Total)      : 0\n"), std::string::npos) << f.name << r.out;
                EXPECT_NE(r.out.find("Pages Examined (Total)      : 4\n"), std::string::npos) << f.name << r.out;
            }
        }
    }
}

// 6.x files place pair 31 and all later pairs 4096 bytes further on; 7.x
// files do not. Header repairs of pairs 2 to 33 land where each family has
// them, and a second run finds every pair sound.
TEST(NothingLost, PairHeadersRepairedAcrossThePair31Gap) {
    for (uint16_t v : {0x0600, 0x0700}) {
        SCOPED_TRACE(v);
        const uint32_t last = 33;
        const std::string recipe = sampleRecipe({v, 512}) + "fcr lastpair " + std::to_string(last) +
                                   "\nsize pair:" + std::to_string(last) + ":1+512\n";
        const Bytes file = interpretRecipe(recipe).file.bytes();
        const std::optional<FcrReading> read = readLayout(file);
        ASSERT_TRUE(read);
        const Layout& l = read->layout;
        ASSERT_EQ(l.patPageSize, 512u);
        ASSERT_EQ(file.size(), pairOffset(l, last) + 2 * l.patPageSize);
        ASSERT_EQ(read->lastPair, last);
        ASSERT_EQ(pairOffset(l, 31) - pairOffset(l, 30), l.pairStride + (v < 0x0700 ? 4096 : 0));

        RunResult r = repairAndCompare({file}, "pairs 2 to 33 all zeros");
        EXPECT_NE(r.out.find("PAT Headers Fixed:          : 128\n"), std::string::npos) << r.out;
        FileSetOnDisk set;
        set.write({file});
        ASSERT_EQ(runTool({set.names[0], "/F4", "/R"}).status, 0);
        RunResult again = runTool({set.names[0], "/R"});
        EXPECT_NE(again.out.find("Problems Found (PAT Pages)  : 0\n"), std::string::npos) << again.out;
    }
}

// Random damage of the healthy files, with a fixed seed: bytes of PAT pages,
// page headers zeroed or changed, bytes anywhere after the FCR.
TEST(NothingLost, RandomDamageOfHealthyFiles) {
    std::mt19937 random(20240611);
    std::vector<std::pair<NamedSample, BtrFile>> files;
    for (const NamedSample& s : healthySamples()) files.emplace_back(s, makeSample(s.shape));
    int repairsWritingHeaders = 0;
    for (int round = 0; round < 400; ++round) {
        const auto& [f, sample] = files[random() % files.size()];
        const Layout& l = sample.layout();
        if (!l.hasPat()) continue;
        Bytes file = sample.bytes();
        const uint64_t pat = pairOffset(l, 1);
        const uint32_t firstPage = sample.home(1);
        auto pick = [&](uint64_t n) { return uint64_t(random() % n); };
        std::string what = f.name + ", round " + std::to_string(round) + ":";
        for (int hits = 1 + int(pick(5)); hits > 0; --hits) {
            switch (pick(4)) {
                case 0: {  // a byte of a PAT page's header or first slots
                    uint64_t at = pat + pick(2) * l.patPageSize + pick(l.firstSlot + 8 * l.slotSize);
                    file[at] = uint8_t(random());
                    what += " pat+" + std::to_string(at - pat);
                    break;
                }
                case 1: {  // a page header zeroed: fix bit 1 writes it anew
                    uint64_t at = pageOffset(l, firstPage + uint32_t(pick(5)));
                    std::fill_n(file.begin() + long(at), l.headerSize, 0);
                    what += " zero@" + std::to_string(at);
                    break;
                }
                case 2: {  // a byte of a page header or its usage count
                    uint64_t at = pageOffset(l, firstPage + uint32_t(pick(5))) + pick(l.headerSize + 2);
                    file[at] = uint8_t(random());
                    what += " header@" + std::to_string(at);
                    break;
                }
                default: {  // any byte after the FCR copies
                    uint64_t at = 2 * l.patPageSize + pick(file.size() - 2 * l.patPageSize);
                    file[at] = uint8_t(random());
                    what += " byte@" + std::to_string(at);
                    break;
                }
            }
        }
        // Every third file lies partly in an extension file.
        size_t at = round % 3 == 0 ? size_t(pat + 2 * l.patPageSize) : 0;
        RunResult r = repairAndCompare(split(file, at), what);
        if (r.out.find("-->Repaired By Writing Corrected Page ID") != std::string::npos) ++repairsWritingHeaders;
    }
    // The damage reaches the page-header repair, not just the PAT repairs.
    EXPECT_GT(repairsWritingHeaders, 20);
}

// Fuzz inputs (a u16 split selector, then the file set's bytes) from the
// directory that TABULON_REPAIR_CORPUS names; CTest names the seed corpus.
TEST(NothingLost, RepairCorpus) {
    const char* dir = std::getenv("TABULON_REPAIR_CORPUS");
    if (!dir || !*dir) GTEST_SKIP() << "TABULON_REPAIR_CORPUS names no directory";
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const Bytes input = readFile(entry.path().string());
        if (input.size() < 2) continue;
        const size_t selector = size_t(input[0]) | size_t(input[1]) << 8;
        const Bytes body(input.begin() + 2, input.end());
        std::vector<Bytes> members = {body};
        if (selector != 0) {
            const long at = long(std::min(selector * 64, body.size()));
            members = {Bytes(body.begin(), body.begin() + at), Bytes(body.begin() + at, body.end())};
        }
        repairAndCompare(members, entry.path().filename().string());
        ++inputs;
    }
    EXPECT_GT(inputs, 0);
}

}  // namespace
