// Damaged FCRs and PAT pages: whatever the fields hold, a run ends by itself
// in a short time, without a signal or a sanitizer report, with the report or
// the open-failure lines, and a repair run writes nothing but PAT pages and
// the page headers it names.
#include <gtest/gtest.h>

#include <functional>

#include "btrfile.h"

namespace {

using namespace btr;

void put16(Bytes& f, size_t at, uint16_t v) {
    if (at + 2 <= f.size()) f[at] = uint8_t(v), f[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& f, size_t at, uint32_t v) { put16(f, at, uint16_t(v)), put16(f, at + 2, uint16_t(v >> 16)); }

// A field of the FCR, set in both copies.
void setFcr(Bytes& f, const Layout& l, const std::function<void(Bytes&, size_t)>& set) {
    set(f, 0);
    if (l.version >= 0x0600) set(f, l.patPageSize);
}

// Runs the tool on the file, checking only (unless told not to) and then
// repairing everything.
void expectSaneRuns(const Bytes& file, const std::string& what, bool checkOnlyToo = true) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string name = dir.file("FILE.DAT");
    for (int fix = checkOnlyToo ? 0 : 1; fix < 2; ++fix) {
        writeFile(name, file);
        std::vector<std::string> args = {name, "/R"};
        if (fix) args.push_back("/F-1");
        RunResult r = runTool(args, 30);
        ASSERT_EQ(runFault(r), "") << (fix ? "/F-1" : "check");
        if (r.status == 0) {
            EXPECT_TRUE(r.out.find("Problems Found (Total)") != std::string::npos ||
                        r.out.find("There is no PAT to check!") != std::string::npos);
        } else {
            EXPECT_NE(r.err.find("Unable to open files."), std::string::npos);
        }
        if (fix) {
            EXPECT_EQ(changesOutsideRepairs({file}, {readFile(name)}, r.out), "");
        }
    }
}

struct Damage {
    std::string name;
    std::function<void(Bytes&, const Layout&)> apply;
};

void runDamages(const std::vector<Damage>& damages, bool checkOnlyToo = true) {
    for (const NamedFile& base : healthyFiles()) {
        Layout l;
        ASSERT_TRUE(readLayout(base.bytes, &l));
        for (const Damage& d : damages) {
            Bytes f = base.bytes;
            d.apply(f, l);
            expectSaneRuns(f, base.name + ": " + d.name, checkOnlyToo);
        }
    }
}

TEST(DamagedFcr, FieldsAtTheirExtremes) {
    std::vector<Damage> damages;
    for (uint32_t count : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
        damages.push_back({"page count " + std::to_string(count), [count](Bytes& f, const Layout& l) {
                               setFcr(f, l, [&](Bytes& b, size_t at) { put32(b, at + 38, count); });
                           }});
    }
    for (uint32_t last : {0u, 2u, 0xFFFFu, 0xFFFFFFFFu}) {
        damages.push_back({"last pair " + std::to_string(last), [last](Bytes& f, const Layout& l) {
                               setFcr(f, l, [&](Bytes& b, size_t at) { put32(b, at + 76, last); });
                           }});
    }
    damages.push_back({"usage counts all ones", [](Bytes& f, const Layout& l) {
                           setFcr(f, l, [&](Bytes& b, size_t at) { put32(b, at + l.usageOffset, ~0u); });
                       }});
    damages.push_back({"owner-encrypted, mask all ones", [](Bytes& f, const Layout& l) {
                           setFcr(f, l, [&](Bytes& b, size_t at) {
                               for (size_t i = 46; i < 55; ++i) b[at + i] = 0xFF;
                               b[at + 55] |= 0x02;
                           });
                       }});
    damages.push_back({"main file cut inside FCR copy 1", [](Bytes& f, const Layout& l) {
                           f.resize(std::max<size_t>(512, l.patPageSize + l.patPageSize / 2));
                       }});
    damages.push_back({"main file cut inside PAT copy 1", [](Bytes& f, const Layout& l) {
                           f.resize(std::min<size_t>(f.size(), l.pairOffset(1) + l.patPageSize + 100));
                       }});
    runDamages(damages);
}

// Files laid out for one family, read with the version code of another.
TEST(DamagedFcr, EveryVersionCodeBoundaryOnEveryLayout) {
    std::vector<Damage> damages;
    for (uint16_t v : {0x05FF, 0x0600, 0x06FF, 0x0700, 0x07FF, 0x0800, 0x094F, 0x0950, 0x0951, 0x0CFF,
                       0x0D00, 0x0D2F, 0x0D30, 0x8000, 0x8001, 0xFFFF}) {
        char name[32];
        std::snprintf(name, sizeof name, "version %.4x", unsigned(v));
        damages.push_back({name, [v](Bytes& f, const Layout&) {
                               bool plain = f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0;
                               put16(f, plain ? 6 : 74, v);
                           }});
    }
    runDamages(damages);
}

// One file for each row of the page size tables.
TEST(DamagedFcr, EveryPageSizeByte) {
    for (const NamedFile& base : healthyFiles()) {
        if (base.name != "v0600" && base.name != "v0700" && base.name != "v0800" && base.name != "v0950" &&
            base.name != "v0D00") {
            continue;
        }
        const size_t at = base.shape.version < 0x0800 ? 9 : 43;
        for (int byte = 0x01; byte <= 0xFF; ++byte) {
            Bytes f = base.bytes;
            f[at] = uint8_t(byte);
            expectSaneRuns(f, base.name + ": page size byte " + std::to_string(byte), false);
        }
    }
}

TEST(DamagedFcr, CompressedPageSizeZeroOrBeyondThePageSize) {
    for (uint16_t v : {0x0950, 0x0951, 0x0D00, 0x0D30}) {
        for (uint16_t size : {0, 1, 511, 512, 513, 1024, 2048, 4096, 0x8000, 0xFFFF}) {
            Bytes f = makeHealthyFile({v, 1024});
            Layout l;
            ASSERT_TRUE(readLayout(f, &l));
            setFcr(f, l, [&](Bytes& b, size_t at) {
                put16(b, at + (v == 0x0950 ? 400 : 156), 0x2000);
                put16(b, at + 80, size);
            });
            expectSaneRuns(f, "version " + std::to_string(v) + ", compressed page size " + std::to_string(size));
        }
    }
}

TEST(DamagedPat, PagesFullOfOnesOrZeros) {
    std::vector<Damage> damages;
    for (uint8_t fill : {0x00, 0xFF}) {
        const std::string what = fill ? "0xFF" : "zeros";
        damages.push_back({"both PAT copies " + what, [fill](Bytes& f, const Layout& l) {
                               if (l.version < 0x0600) return;
                               std::fill_n(f.begin() + long(l.pairOffset(1)), 2 * l.patPageSize, fill);
                           }});
        damages.push_back({"current PAT copy " + what, [fill](Bytes& f, const Layout& l) {
                               if (l.version < 0x0600) return;
                               std::fill_n(f.begin() + long(l.pairOffset(1) + l.patPageSize), l.patPageSize, fill);
                           }});
        damages.push_back({"everything after the FCR " + what, [fill](Bytes& f, const Layout& l) {
                               std::fill(f.begin() + long(std::min<size_t>(f.size(), 2 * l.patPageSize)), f.end(), fill);
                           }});
    }
    runDamages(damages);
}

}  // namespace
