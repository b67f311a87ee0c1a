// Gathering by reads, the path a platform takes when it cannot map a file,
// gives what the mapped path gives: field by field on one file, and as whole
// runs of every golden recipe case. Built twice: with a test platform that
// refuses to map, and (TABULON_WRAPPED_MMAP) over the system's own binding
// with mmap itself failing, so that the binding's fallback is the one run.
#include "support.h"

#ifdef TABULON_WRAPPED_MMAP
#include "wrapped.h"
#endif
using namespace tabulon;

namespace {

using namespace undotest;
using faults::FaultPlatform;

// Makes the platform's gathers go without a mapped view, or with one again.
void refuseMapping(FaultPlatform& p, bool refuse) {
#ifdef TABULON_WRAPPED_MMAP
    (void)p;
    wrapped::failMmap = refuse;
#else
    p.refuseMap = refuse;
#endif
}

// Whether gathering went without a view since the start of the test.
bool wentWithoutView(const FaultPlatform& p) {
#ifdef TABULON_WRAPPED_MMAP
    (void)p;
    return wrapped::mmapFailures > 0;
#else
    return p.calls[int(faults::Op::Read)] > 0;
#endif
}

TEST(GatherFallback, SameFieldsAsTheMappedView) {
    Scratch dir;
    Bytes file(3 * 1024 * 1024 + 17);
    std::mt19937 random(7);
    for (uint8_t& b : file) b = uint8_t(random());
    writeBytes(dir.path("f"), file);

    FaultPlatform unmapped;
    Platform& mapped = systemPlatform();
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    ASSERT_TRUE(mapped.open(dir.path("f").c_str(), ExclusiveRead, &h, &error));

    struct Shape {
        uint64_t offset, stride;
        size_t count, width;
    };
    const uint64_t size = file.size();
    const Shape shapes[] = {
        {0, 4096, 700, 8},             // runs across several read pieces
        {4090, 4096, 3, 10},           // fields that cross a 4096-byte boundary
        {17, 1, 1000, 1},              // adjacent bytes
        {size - 6, 4096, 1, 6},        // the last bytes of the file
        {size - 5, 4096, 1, 6},        // one byte past the end
        {0, uint64_t(1) << 21, 2, 4},  // a stride larger than a read piece
        {123, 0, 5, 3},                // the same place five times
        {0, 4096, 0, 8},               // nothing to gather
    };
    for (const Shape& s : shapes) {
        std::vector<uint8_t> a(s.count * s.width + 1, 0xAA), b(s.count * s.width + 1, 0xAA);
        const bool okMapped = mapped.gatherAt(h, s.offset, s.stride, s.count, s.width, a.data());
        refuseMapping(unmapped, true);
        const bool okRead = unmapped.gatherAt(h, s.offset, s.stride, s.count, s.width, b.data());
        refuseMapping(unmapped, false);
        EXPECT_EQ(okMapped, okRead) << s.offset << " " << s.stride << " " << s.count;
        if (okMapped && okRead) {
            EXPECT_EQ(a, b) << s.offset << " " << s.stride << " " << s.count;
            for (size_t i = 0; i < s.count; ++i) {
                const uint64_t at = s.offset + i * s.stride;
                ASSERT_TRUE(std::equal(a.begin() + long(i * s.width),
                                       a.begin() + long((i + 1) * s.width),
                                       file.begin() + long(at)));
            }
        }
    }
    EXPECT_TRUE(wentWithoutView(unmapped));
    mapped.close(h);
}

TEST(GatherFallback, RecipeCasesRunAlikeWithoutMapping) {
    size_t cases = 0;
    for (const auto& e : fs::directory_iterator(TABULON_GOLDEN_CASES)) {
        const fs::path recipePath = e.path() / "recipe";
        if (!fs::exists(recipePath) || fs::exists(e.path() / "realfile")) continue;
        RepairCase c{e.path().filename().string(), "", {}};
        Bytes r = readBytes(recipePath.string());
        c.recipe.assign(r.begin(), r.end());
        if (c.recipe.find("realfile") != std::string::npos) continue;
        std::ifstream args((e.path() / "args").string());
        for (std::string line; std::getline(args, line);) c.args.push_back(line);

        TabulonRun runs[2];
        Snapshot sets[2];
        for (int unmapped = 0; unmapped < 2; ++unmapped) {
            Scratch dir;
            std::string main;
            try {
                main = buildCase(c, dir.path());
            } catch (const std::exception&) {
                break;  // recipes that the runner itself checks for errors
            }
            FaultPlatform p;
            refuseMapping(p, unmapped == 1);
            runs[unmapped] = runTabulonOn(c.args, dir.path(), main, p);
            refuseMapping(p, false);
            sets[unmapped] = snapshot(dir.path());
            for (std::string* text : {&runs[unmapped].out, &runs[unmapped].err}) {
                maskFolder(text, dir.path().string());
            }
        }
        EXPECT_EQ(runs[0].status, runs[1].status) << c.name;
        EXPECT_EQ(runs[0].out, runs[1].out) << c.name;
        EXPECT_EQ(runs[0].err, runs[1].err) << c.name;
        EXPECT_TRUE(sets[0] == sets[1]) << c.name;
        ++cases;
    }
    EXPECT_GT(cases, 100u);
}

}  // namespace
