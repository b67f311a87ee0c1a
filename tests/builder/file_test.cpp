// Healthy files, FCR fields, rendering and the damage injectors. The checks
// read the rendered bytes with their own decoding wherever they can, so that
// they test what lands on disk rather than the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "builder/btrfile.h"
#include "builder/bytes.h"
#include "builder/damage.h"

namespace tbuild {
namespace {

std::uint32_t rd32(const std::vector<std::uint8_t>& b, std::uint64_t at) {
    return le32(b.data() + at);
}
std::uint16_t rd16(const std::vector<std::uint8_t>& b, std::uint64_t at) {
    return le16(b.data() + at);
}

// Offsets whose bytes differ between two images (the longer tail included).
std::vector<std::uint64_t> changedOffsets(const std::vector<std::uint8_t>& a,
                                          const std::vector<std::uint8_t>& b) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        int x = i < a.size() ? a[i] : -1;
        int y = i < b.size() ? b[i] : -1;
        if (x != y) out.push_back(i);
    }
    return out;
}

struct Healthy {
    std::uint16_t stored;
    std::uint32_t pageSize;
    std::uint32_t logical;
    int patCurrent;
    bool scatter;
    std::uint32_t compressed = 0;
};

void PrintTo(const Healthy& h, std::ostream* os) {
    *os << std::hex << "0x" << h.stored << std::dec << "/" << h.pageSize << " L" << h.logical
        << " cur" << h.patCurrent << (h.scatter ? " scatter" : "");
}

class HealthyFile : public ::testing::TestWithParam<Healthy> {};

// Reads every PAT pair and page header from the bytes and checks that each
// logical page is reachable and named by its page, that PAT headers are
// sound, that unused slots hold the unused value and that no two logical
// pages share a page or overlap a PAT page.
TEST_P(HealthyFile, EveryEntryNamesItsPage) {
    const Healthy& h = GetParam();
    FileParams params;
    params.storedVersion = h.stored;
    params.pageSize = h.pageSize;
    params.logicalPages = h.logical;
    params.patCurrent = h.patCurrent;
    params.scatter = h.scatter;
    params.compressedPageSize = h.compressed;
    BtrFile f = makeHealthy(params);
    const Layout& l = f.layout();
    const std::vector<std::uint8_t> b = f.bytes();
    ASSERT_EQ(b.size(), f.size());

    const std::uint16_t v = foldVersion(h.stored);
    const std::uint32_t pp = l.patPageSize;
    const std::uint32_t e = l.entriesPerPage;
    const std::uint32_t pairs = std::max(1u, (h.logical + e - 1) / e);
    EXPECT_EQ(v < 0x0700 ? rd16(b, 76) : rd32(b, 76), pairs);
    EXPECT_EQ(f.pairCount(), pairs);

    std::vector<std::pair<std::uint64_t, std::uint64_t>> patRanges;
    for (std::uint32_t n = 1; n <= pairs; ++n) {
        std::uint64_t at = pairOffset(l, n);
        patRanges.emplace_back(at, at + 2ull * pp);
        for (int c = 0; c < 2; ++c) {
            std::uint64_t pg = at + static_cast<std::uint64_t>(c) * pp;
            if (v < 0x0700) {
                EXPECT_EQ(b[pg], 'P');
                EXPECT_EQ(b[pg + 1], 'P');
                EXPECT_EQ(rd16(b, pg + 2), n & 0xFFFF);
            } else if (v < 0x0800) {
                EXPECT_EQ(b[pg + 1], 'P');
                EXPECT_EQ(rd16(b, pg + 2) + b[pg] * 65536u, n);
            } else {
                EXPECT_EQ(b[pg + 3], 'P');
                EXPECT_EQ(b[pg + 4], 'P');
                EXPECT_EQ(rd16(b, pg) + b[pg + 2] * 65536u, n);
            }
        }
        std::uint32_t u0 = rd32(b, at + l.usageOffset);
        std::uint32_t u1 = rd32(b, at + pp + l.usageOffset);
        EXPECT_EQ(u1 >= u0 ? 1 : 0, h.patCurrent) << "pair " << n;
    }

    std::set<std::uint64_t> used;
    for (std::uint32_t n = 1; n <= pairs; ++n) {
        std::uint64_t cur = pairOffset(l, n) + (h.patCurrent == 1 ? pp : 0);
        for (std::uint32_t k = 0; k < l.slotsOnDisk(); ++k) {
            std::uint32_t logical = (n - 1) * e + k + 1;
            std::uint64_t s = cur + l.firstSlot + k * l.slotSize;
            std::uint32_t phys;
            std::uint16_t type;
            if (v < 0x0800) {
                phys = b[s] * 65536u + rd16(b, s + 2);
                type = b[s + 1];
            } else {
                phys = rd32(b, s);
                type = rd16(b, s + 4);
            }
            if (logical > h.logical) {
                EXPECT_EQ(phys, v < 0x0800 ? 0u : 0xFFFFFFFEu) << "slot " << k;
                EXPECT_EQ(type, 0);
                continue;
            }
            std::uint64_t at = static_cast<std::uint64_t>(phys) * l.pageUnit;
            if (v < 0x0700 && at >= l.largeOffsetThreshold) at += 4096;
            ASSERT_LT(at + l.headerSize + 2, b.size() + 1) << "logical " << logical;
            EXPECT_TRUE(used.insert(at).second) << "page used twice " << phys;
            for (auto [lo, hi] : patRanges) {
                EXPECT_FALSE(at < hi && at + l.pageUnit > lo) << "page " << phys << " hits a PAT";
            }
            EXPECT_GE(at, pairOffset(l, 1));
            std::uint32_t id;
            std::uint16_t htype;
            if (v < 0x0800) {
                id = b[at] * 65536u + rd16(b, at + 2);
                htype = b[at + 1];
            } else {
                id = rd32(b, at);
                htype = rd16(b, at + 4);
            }
            EXPECT_EQ(id, logical);
            EXPECT_EQ(htype, type);
            std::uint16_t usage = rd16(b, at + l.headerSize);
            if (type == 0x44) {
                EXPECT_NE(usage & 0x8000, 0) << "logical " << logical;
            }
        }
    }
    EXPECT_EQ(used.size(), h.logical);
}

INSTANTIATE_TEST_SUITE_P(
    Families, HealthyFile,
    ::testing::Values(Healthy{0x0600, 512, 3900, 0, false},  // crosses pair 31 and the gap
                      Healthy{0x0600, 1024, 600, 1, true}, Healthy{0xFA00, 4096, 50, 0, false},
                      Healthy{0x0610, 2048, 100, 1, false}, Healthy{0x0620, 1024, 300, 0, false},
                      Healthy{0x0700, 1024, 7900, 0, false},  // 32 pairs, no gap
                      Healthy{0x0800, 512, 700, 0, true}, Healthy{0xF800, 1024, 600, 1, false},
                      Healthy{0x0900, 4096, 1300, 0, false}, Healthy{0x0800, 8192, 10, 1, false},
                      Healthy{0x0950, 1024, 1000, 0, false},  // pairs hold more slots than pages
                      Healthy{0x0950, 2048, 500, 1, true}, Healthy{0xF6B0, 4096, 1000, 0, false},
                      Healthy{0x0950, 8192, 40, 0, false, 4096},
                      Healthy{0x0951, 4096, 30, 1, false}, Healthy{0x0D00, 1024, 200, 0, false},
                      Healthy{0x0D30, 16384, 20, 0, false}, Healthy{0x8000, 2048, 100, 1, false},
                      Healthy{0x0800, 1024, 0, 0, false}));

TEST(Fcr, SignatureStyleFields) {
    FileParams s;
    s.storedVersion = 0xF800;
    s.pageSize = 1024;
    s.logicalPages = 600;
    s.fcrCurrent = 1;
    BtrFile f = makeHealthy(s);
    auto b = f.bytes();
    for (std::uint64_t copy : {0u, 2048u}) {
        EXPECT_EQ(b[copy + 0], 'F');
        EXPECT_EQ(b[copy + 1], 'C');
        EXPECT_EQ(rd16(b, copy + 74), 0xF800);
        EXPECT_EQ(b[copy + 43], 4);
        EXPECT_EQ(rd32(b, copy + 38), exchangeHalves(601));
        EXPECT_EQ(rd32(b, copy + 76), 2u);
    }
    EXPECT_EQ(rd32(b, 6), 1u);
    EXPECT_EQ(rd32(b, 2048 + 6), 2u);
    EXPECT_EQ(f.currentFcr(), 1);
}

TEST(Fcr, SixXFieldsAndShortLastPair) {
    FileParams s;
    s.storedVersion = 0xFA00;
    s.pageSize = 1024;
    s.logicalPages = 300;
    BtrFile f = makeHealthy(s);
    auto b = f.bytes();
    EXPECT_EQ(rd16(b, 74), 0xFA00);
    EXPECT_EQ(b[9], 4);
    EXPECT_EQ(rd16(b, 76), 2);
    EXPECT_EQ(rd16(b, 78), 0);
    EXPECT_EQ(rd32(b, 38), exchangeHalves(299));
    EXPECT_EQ(rd32(b, 4), 2u);
    EXPECT_EQ(rd32(b, 1024 + 4), 1u);
}

TEST(Fcr, PreSixXZeroStyle) {
    FileParams s;
    s.storedVersion = 0x0400;
    s.pageSize = 512;
    s.logicalPages = 5;
    BtrFile f = makeHealthy(s);
    auto b = f.bytes();
    EXPECT_EQ(b.size(), 6u * 512u);
    EXPECT_EQ(rd32(b, 0), 0u);
    EXPECT_EQ(rd16(b, 6), 0x0400);
    EXPECT_EQ(b[9], 2);
    EXPECT_EQ(f.pairCount(), 0u);
}

TEST(Fcr, ZeroStyleVersionOverlapsUsageCount) {
    FileParams s;
    s.storedVersion = 0x0600;
    s.fcrStyle = FcrStyle::Zero;
    s.pageSize = 1024;
    s.logicalPages = 3;
    auto b = makeHealthy(s).bytes();
    EXPECT_EQ(rd32(b, 0), 0u);
    EXPECT_EQ(rd16(b, 6), 0x0600);
    EXPECT_EQ(rd16(b, 4), 2);  // low half of the usage count survives
}

TEST(Fcr, PageCountHalvesExchangedThrough950) {
    struct Case {
        std::uint16_t version;
        std::uint32_t count;
        std::array<std::uint8_t, 4> bytes;
    };
    for (const Case& c : {Case{0x0700, 65536, {1, 0, 0, 0}}, Case{0x0950, 65536, {1, 0, 0, 0}},
                          Case{0x0D00, 65536, {0, 0, 1, 0}}, Case{0x0D00, 1, {1, 0, 0, 0}},
                          Case{0x0800, 0x00012345, {1, 0, 0x45, 0x23}}}) {
        BtrFile f(makeLayout(c.version, 4096));
        f.setPageCount(c.count);
        for (int copy = 0; copy < 2; ++copy) {
            EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), f.fcr(copy).begin() + 38))
                << std::hex << c.version << " " << c.count;
        }
    }
}

TEST(Fcr, EncryptionMasksUsageFrom950Only) {
    std::array<std::uint8_t, 9> mask{0x12, 0x34, 3, 4, 5, 6, 7, 8, 9};
    for (std::uint16_t v : {std::uint16_t{0x0800}, std::uint16_t{0x0950}, std::uint16_t{0x0D00}}) {
        FileParams s;
        s.storedVersion = v;
        s.pageSize = 4096;
        s.logicalPages = 4;
        s.mix = TypeMix::AllData;
        s.encrypted = true;
        s.mask = mask;
        BtrFile f = makeHealthy(s);
        auto b = f.bytes();
        EXPECT_EQ(b[55] & 0x02, 0x02);
        EXPECT_TRUE(std::equal(mask.begin(), mask.end(), b.begin() + 46));
        std::uint32_t phys = f.home(1);
        std::uint64_t at = pageOffset(f.layout(), phys) + f.layout().headerSize;
        std::uint16_t plain = generatedUsage(0x44, 1);
        EXPECT_EQ(rd16(b, at), v >= 0x0950 ? (plain ^ 0x3412) : plain) << std::hex << v;
    }
}

TEST(Fcr, CompressionFlagPlace) {
    BtrFile f950(makeLayout(0x0950, 4096));
    f950.setCompressionFlag(2048);
    EXPECT_EQ(le16(f950.fcr(0).data() + 400), 0x2000);
    EXPECT_EQ(le16(f950.fcr(0).data() + 156), 0);
    EXPECT_EQ(le16(f950.fcr(1).data() + 80), 2048);
    BtrFile fd(makeLayout(0x0D00, 4096));
    fd.setCompressionFlag(1024);
    EXPECT_EQ(le16(fd.fcr(0).data() + 156), 0x2000);
    EXPECT_EQ(le16(fd.fcr(0).data() + 400), 0);
}

TEST(Fcr, DefaultPageCount) {
    EXPECT_EQ(defaultPageCount(0x0800, 600), 601u);
    EXPECT_EQ(defaultPageCount(0x0D30, 1), 2u);
    EXPECT_EQ(defaultPageCount(0x0700, 600), 599u);
    EXPECT_EQ(defaultPageCount(0x0600, 0), 0u);
}

TEST(Generator, RefusesSlotsBeyondThePatPage) {
    FileParams s;
    s.storedVersion = 0x0D00;
    s.pageSize = 1024;
    s.logicalPages = 300;  // slot 299 lies past the 2048 bytes of the PAT page
    EXPECT_THROW(makeHealthy(s), std::runtime_error);
    s.logicalPages = 254;
    EXPECT_NO_THROW(makeHealthy(s));
}

TEST(Generator, TypeMixCoversEveryClass) {
    Layout l = makeLayout(0x0800, 1024);
    std::set<std::uint16_t> seen;
    for (std::uint32_t logical = 1; logical <= 40; ++logical) {
        seen.insert(generatedType(l, TypeMix::Mixed, logical));
    }
    EXPECT_TRUE(seen.count(0x44));
    EXPECT_TRUE(seen.count(0x56));
    EXPECT_TRUE(seen.count(0x41));
    EXPECT_TRUE(
        std::any_of(seen.begin(), seen.end(), [](std::uint16_t t) { return isIndexType(t); }));
    EXPECT_EQ(generatedType(makeLayout(0x0600, 1024), TypeMix::Mixed, 3) & 0xFF80, 0x80);
}

class MemorySink : public ByteSink {
  public:
    void write(const std::uint8_t* d, std::size_t n) override { out.insert(out.end(), d, d + n); }
    void skip(std::uint64_t n) override {
        out.resize(out.size() + static_cast<std::size_t>(n), 0);
        ++skips;
    }
    std::vector<std::uint8_t> out;
    int skips = 0;
};

TEST(Render, StreamingMatchesWholeImage) {
    FileParams s;
    s.storedVersion = 0x0600;
    s.pageSize = 512;
    s.logicalPages = 3900;
    BtrFile f = makeHealthy(s);
    f.poke(4095, 0xAB);
    f.poke(4096, 0xCD);
    f.setSize(f.size() + 10000);  // a zero tail
    auto whole = f.bytes();
    for (std::size_t window : {std::size_t{4096}, std::size_t{1000}, std::size_t{1} << 20}) {
        MemorySink sink;
        f.stream(sink, window);
        EXPECT_EQ(sink.out, whole) << window;
    }
    MemorySink sink;
    f.stream(sink, 4096);
    EXPECT_GT(sink.skips, 0);
}

TEST(Render, PokesWinAndSizeCuts) {
    FileParams s;
    s.storedVersion = 0x0800;
    s.pageSize = 1024;
    s.logicalPages = 20;
    BtrFile f = makeHealthy(s);
    std::uint64_t pat = pairOffset(f.layout(), 1);
    f.poke(pat + 3, 'X');
    auto b = f.bytes();
    EXPECT_EQ(b[pat + 3], 'X');
    f.setSize(pat + 10);
    EXPECT_EQ(f.bytes().size(), pat + 10);
    EXPECT_EQ(f.physicalPages(), static_cast<std::uint32_t>((pat + 10 + 1023) / 1024));
}

// ------------------------------------------------------------ damage

BtrFile sample(std::uint16_t version, int patCurrent = 0) {
    FileParams s;
    s.storedVersion = version;
    s.pageSize = 1024;
    s.logicalPages = 40;
    s.patCurrent = patCurrent;
    return makeHealthy(s);
}

std::uint64_t slotAt(const BtrFile& f, std::uint32_t logical, int copy) {
    const Layout& l = f.layout();
    return pairOffset(l, pairOfLogical(l, logical)) +
           static_cast<std::uint64_t>(copy) * l.patPageSize +
           slotOffset(l, slotOfLogical(l, logical));
}

TEST(Damage, MisdirectTouchesOnlyTheCurrentEntry) {
    for (int current : {0, 1}) {
        BtrFile f = sample(0x0800, current);
        auto before = f.bytes();
        misdirectEntry(f, 5, 6);
        auto after = f.bytes();
        std::uint64_t s = slotAt(f, 5, current);
        std::vector<std::uint64_t> expect;
        for (std::uint64_t i = 0; i < 4; ++i) {
            if (before[s + i] != after[s + i]) expect.push_back(s + i);
        }
        EXPECT_EQ(changedOffsets(before, after), expect);
        EXPECT_EQ(rd32(after, s), f.home(6));
        EXPECT_EQ(f.entryOf(5), (PageId{f.home(6), f.page(f.home(5))->type}));
    }
}

TEST(Damage, SixXEntryKeepsPackedType) {
    BtrFile f = sample(0x0700);
    pointEntryAt(f, 2, 0x012345);
    auto b = f.bytes();
    std::uint64_t s = slotAt(f, 2, 0);
    EXPECT_EQ(b[s], 0x01);
    EXPECT_EQ(b[s + 1], f.page(f.home(2))->type);
    EXPECT_EQ(rd16(b, s + 2), 0x2345);
}

TEST(Damage, ZeroHeaderKeepsUsage) {
    BtrFile f = sample(0x0950);
    auto before = f.bytes();
    zeroPageHeader(f, 7);
    auto after = f.bytes();
    std::uint64_t at = pageOffset(f.layout(), f.home(7));
    for (std::uint64_t off : changedOffsets(before, after)) {
        EXPECT_GE(off, at);
        EXPECT_LT(off, at + 6);
    }
    EXPECT_EQ(rd32(after, at), 0u);
    EXPECT_EQ(rd16(after, at + 4), 0);
    EXPECT_EQ(rd16(after, at + 8), rd16(before, at + 8));
}

TEST(Damage, UsageBitClearsOneBit) {
    BtrFile f = sample(0x0600);
    std::uint32_t logical = 1;  // a data page in the mixed layout
    ASSERT_EQ(f.page(f.home(logical))->type, 0x44);
    auto before = f.bytes();
    clearUsageBit(f, logical);
    auto after = f.bytes();
    std::uint64_t at = pageOffset(f.layout(), f.home(logical)) + 5;
    EXPECT_EQ(changedOffsets(before, after), std::vector<std::uint64_t>{at});
    EXPECT_EQ(after[at], before[at] & 0x7F);
}

TEST(Damage, BeyondEndAndCandidates) {
    BtrFile f = sample(0x0800);
    std::uint32_t pages = f.physicalPages();
    EXPECT_EQ(pointEntryBeyondEnd(f, 3, 2), pages + 2);
    EXPECT_EQ(f.entryOf(3).id, pages + 2);
    std::uint32_t a = addCandidatePage(f, 3, 0x8005);
    std::uint32_t b = addCandidatePage(f, 3, 7, 0x56);
    EXPECT_EQ(a, pages);
    EXPECT_EQ(b, pages + 1);
    EXPECT_EQ(f.physicalPages(), pages + 2);
    auto bytes = f.bytes();
    EXPECT_EQ(rd32(bytes, pageOffset(f.layout(), b)), 3u);
    EXPECT_EQ(rd16(bytes, pageOffset(f.layout(), b) + 4), 0x56);
    EXPECT_EQ(rd16(bytes, pageOffset(f.layout(), a) + 6), 0x8005);
}

TEST(Damage, PatHeaderFieldsPerFamily) {
    struct Case {
        std::uint16_t version;
        std::vector<std::uint64_t> signature;  // bytes changed by the signature damage
        std::vector<std::uint64_t> number;     // bytes changed by storing 0x012345
    };
    for (const Case& c : {Case{0x0600, {0}, {2, 3}}, Case{0x0700, {1}, {0, 2, 3}},
                          Case{0x0800, {3}, {0, 1, 2}}, Case{0x0D30, {3}, {0, 1, 2}}}) {
        for (int copy : {0, 1}) {
            BtrFile f = sample(c.version);
            std::uint64_t base = pairOffset(f.layout(), 1) +
                                 static_cast<std::uint64_t>(copy) * f.layout().patPageSize;
            auto before = f.bytes();
            damagePatSignature(f, 1, copy);
            auto sig = f.bytes();
            std::vector<std::uint64_t> expect;
            for (auto o : c.signature) expect.push_back(base + o);
            EXPECT_EQ(changedOffsets(before, sig), expect) << std::hex << c.version;
            damagePatNumber(f, 1, copy, 0x012345);
            auto num = f.bytes();
            expect.clear();
            for (auto o : c.number) expect.push_back(base + o);
            EXPECT_EQ(changedOffsets(sig, num), expect) << std::hex << c.version;
        }
    }
}

TEST(Damage, PatIdsDifferOnlyOutsideCheckedFields) {
    BtrFile f = sample(0x0800);
    auto before = f.bytes();
    makePatIdsDiffer(f, 1);
    std::uint64_t at = pairOffset(f.layout(), 1) + f.layout().patPageSize + 5;
    EXPECT_EQ(changedOffsets(before, f.bytes()), std::vector<std::uint64_t>{at});
    BtrFile six = sample(0x0600);
    EXPECT_THROW(makePatIdsDiffer(six, 1), std::runtime_error);
}

TEST(Damage, EntryTypeAndBothCopies) {
    BtrFile f = sample(0x0950);
    auto before = f.bytes();
    setEntryType(f, 9, 0, CopySel::Both);
    auto after = f.bytes();
    auto changed = changedOffsets(before, after);
    std::vector<std::uint64_t> expect;
    for (int copy : {0, 1}) {
        std::uint64_t s = slotAt(f, 9, copy) + 4;
        for (std::uint64_t i = 0; i < 2; ++i) {
            if (before[s + i] != 0) expect.push_back(s + i);
        }
    }
    EXPECT_EQ(changed, expect);
    EXPECT_EQ(f.entryOf(9).type, 0);
}

}  // namespace
}  // namespace tbuild
