// Damaged FCRs and PAT pages: whatever the fields hold, a run ends by itself
// in a short time, without a signal or a sanitizer report, with the report or
// the open-failure lines, and a repair run writes nothing but PAT pages and
// the page headers it names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "builder/bytes.h"
#include "builder/recipe.h"
#include "builder/samples.h"
#include "support/harness.h"
#include "support/sweep.h"

namespace {

using namespace harness;
using namespace tbuild;

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

// The FCR copies a field change goes to: both from 6.x on; before, copy 0
// alone, as such a file has no copy 1 (its second page lies there).
std::string fcrCopies(const BtrFile& f) {
    return f.layout().hasPat() ? " copy both\n" : " copy 0\n";
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

// A sample's recipe with damage lines after it, and its bytes.
void expectSaneRuns(const std::string& recipe, const std::string& what, bool checkOnlyToo = true) {
    expectSaneRuns(interpretRecipe(recipe).file.bytes(), what + "\n" + recipe, checkOnlyToo);
}

struct Damage {
    std::string name;
    // The recipe lines that damage a healthy sample.
    std::function<std::string(const BtrFile&)> lines;
};

void runDamages(const std::vector<Damage>& damages, bool checkOnlyToo = true) {
    for (const NamedSample& base : healthySamples()) {
        const BtrFile healthy = makeSample(base.shape);
        for (const Damage& d : damages) {
            expectSaneRuns(base.recipe + d.lines(healthy), base.name + ": " + d.name, checkOnlyToo);
        }
    }
}

TEST(DamagedFcr, FieldsAtTheirExtremes) {
    std::vector<Damage> damages;
    for (uint32_t count : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
        damages.push_back({"page count " + std::to_string(count), [count](const BtrFile& f) {
                               return "fcr u32 38 " + hex(count) + fcrCopies(f);
                           }});
    }
    for (uint32_t last : {0u, 2u, 0xFFFFu, 0xFFFFFFFFu}) {
        damages.push_back({"last pair " + std::to_string(last), [last](const BtrFile& f) {
                               return "fcr u32 76 " + hex(last) + fcrCopies(f);
                           }});
    }
    damages.push_back({"usage counts all ones", [](const BtrFile& f) {
                           return "fcr usage 0xFFFFFFFF" + fcrCopies(f);
                       }});
    // The flag and the mask alone: the page usage counts stay unmasked.
    damages.push_back({"owner-encrypted, mask all ones", [](const BtrFile& f) {
                           return "fcr u32 46 0xFFFFFFFF" + fcrCopies(f) + "fcr u32 50 0xFFFFFFFF" +
                                  fcrCopies(f) + "fcr byte 54 0xFF" + fcrCopies(f) + "fcr byte 55 0x02" +
                                  fcrCopies(f);
                       }});
    damages.push_back({"main file cut inside FCR copy 1", [](const BtrFile& f) {
                           const std::uint32_t pp = f.layout().patPageSize;
                           return "size " + std::to_string(std::max<std::uint64_t>(512, pp + pp / 2)) + "\n";
                       }});
    damages.push_back({"main file cut inside PAT copy 1", [](const BtrFile& f) {
                           const Layout& l = f.layout();
                           return "size " +
                                  std::to_string(std::min<std::uint64_t>(
                                      f.size(), pairOffset(l, 1) + l.patPageSize + 100)) +
                                  "\n";
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
        damages.push_back({name, [v](const BtrFile& f) {
                               // Where the sample's FCR style keeps the code.
                               const bool plain = le32(f.fcr(0).data()) == 0;
                               return std::string("fcr u16 ") + (plain ? "6 " : "74 ") + hex(v) + " copy 0\n";
                           }});
    }
    runDamages(damages);
}

// One file for each row of the page size tables: a seeded sample of them, all
// in reliability_page_size_bytes_long (see support/sweep.h).
TEST(DamagedFcr, EveryPageSizeByte) {
    std::vector<std::pair<const NamedSample*, int>> points;
    const std::vector<NamedSample> samples = healthySamples();
    for (const NamedSample& base : samples) {
        if (base.name != "v0600" && base.name != "v0700" && base.name != "v0800" && base.name != "v0950" &&
            base.name != "v0D00") {
            continue;
        }
        for (int byte = 0x01; byte <= 0xFF; ++byte) points.push_back({&base, byte});
    }
    const sweep::Sweep bytes = sweep::fromEnvironment();
    SCOPED_TRACE(bytes.note());
    for (size_t i : bytes.pick(points.size(), 250)) {
        const auto& [base, byte] = points[i];
        const std::string at = base->shape.version < 0x0800 ? "9" : "43";
        expectSaneRuns(base->recipe + "fcr byte " + at + " " + std::to_string(byte) + " copy 0\n",
                       base->name + ": page size byte " + std::to_string(byte), false);
    }
}

TEST(DamagedFcr, CompressedPageSizeZeroOrBeyondThePageSize) {
    for (uint16_t v : {0x0950, 0x0951, 0x0D00, 0x0D30}) {
        for (uint16_t size : {0, 1, 511, 512, 513, 1024, 2048, 4096, 0x8000, 0xFFFF}) {
            expectSaneRuns(sampleRecipe({v, 1024}) + "fcr compressed " + std::to_string(size) + "\n",
                           "version " + std::to_string(v) + ", compressed page size " + std::to_string(size));
        }
    }
}

TEST(DamagedPat, PagesFullOfOnesOrZeros) {
    std::vector<Damage> damages;
    for (uint8_t fill : {0x00, 0xFF}) {
        const std::string what = fill ? "0xFF" : "zeros";
        const std::string value = " " + hex(fill) + "\n";
        damages.push_back({"both PAT copies " + what, [value](const BtrFile& f) -> std::string {
                               if (!f.layout().hasPat()) return "";
                               return "fill pair:1 " + std::to_string(2 * f.layout().patPageSize) + value;
                           }});
        damages.push_back({"current PAT copy " + what, [value](const BtrFile& f) -> std::string {
                               if (!f.layout().hasPat()) return "";
                               return "fill pair:1:1 " + std::to_string(f.layout().patPageSize) + value;
                           }});
        damages.push_back({"everything after the FCR " + what, [value](const BtrFile& f) -> std::string {
                               const std::uint64_t from = 2ull * f.layout().patPageSize;
                               if (from >= f.size()) return "";
                               return "fill " + std::to_string(from) + " " + std::to_string(f.size() - from) +
                                      value;
                           }});
    }
    runDamages(damages);
}

}  // namespace
