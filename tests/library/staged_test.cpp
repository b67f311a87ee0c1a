// Repairs of one PAT pair are written back together. A repair line and its
// fixed counters appear only when the write that carries the repair
// succeeded; the report lines around them keep their order either way.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "builder/recipe.h"
#include "check/options.h"
#include "cli/run.h"
#include "fileio/output.h"
#include "support/forwarding_platform.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

// The system's binding, but every write fails with an I/O error.
class FailingWrites : public ForwardingPlatform {
  public:
    bool writeAt(PlatformHandle, uint64_t, const void*, size_t, size_t* put,
                 uint32_t* error) override {
        ++writes;
        *put = 0;
        if (error) *error = EIO;
        return false;
    }

    int writes = 0;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string withoutRepairLines(const std::string& text) {
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        if (line.rfind("-->", 0) != 0) kept += line;
        at = end;
    }
    return kept;
}

TEST(StagedRepairs, AFailedWriteBackDropsItsLinesAndCountsAndKeepsTheRest) {
    std::random_device seed;
    const fs::path dir = fs::temp_directory_path() / ("tabulon-staged-" + std::to_string(seed()));
    fs::create_directories(dir);
    const std::string recipe =
        "family 0x0800 page 1024 logical 600\n"
        "entry 12 logical 14\nentry 40 logical 41\nentry 300 logical 302\nentry 500 free\n"
        "header 77 zero\n";
    const std::string main = (dir / "F.DAT").string();
    tbuild::buildFromRecipe(recipe, dir.string(), "F.DAT");
    const std::string before = slurp(main);
    const char* argv[] = {"tabulon", main.c_str(), "/F10", "/R"};

    // Writes succeed: the reference.
    BufferOutput good;
    ScanCounters fixed;
    ASSERT_EQ(runTabulon(4, argv, good, systemPlatform(), &fixed), 0);
    ASSERT_GT(fixed.totalFixed, 0u);
    ASSERT_NE(good.outText.find("-->Repaired By Changing Page Pointer to"), std::string::npos);

    // Every write fails: the same report lines in the same order, no repair
    // line, nothing counted as fixed, not a byte changed; each failed write
    // is named on standard error and the run ends with -3.
    tbuild::buildFromRecipe(recipe, dir.string(), "F.DAT");
    FailingWrites failing;
    BufferOutput bad;
    ScanCounters none;
    ASSERT_EQ(runTabulon(4, argv, bad, failing, &none), -3);
    EXPECT_NE(bad.errText.find("Unable to write " + main + ", Status Code "), std::string::npos)
        << bad.errText;
    EXPECT_GT(failing.writes, 0);
    EXPECT_EQ(none.totalFixed + none.dataPointersFixed + none.pagesResetToFree, 0u);
    EXPECT_EQ(bad.outText.find("-->Repaired"), std::string::npos) << bad.outText;
    EXPECT_EQ(slurp(main), before);
    const std::string report = "Pages Examined";
    EXPECT_EQ(withoutRepairLines(bad.outText.substr(0, bad.outText.find(report))),
              withoutRepairLines(good.outText.substr(0, good.outText.find(report))));
    EXPECT_EQ(none.totalProblems, fixed.totalProblems);
    fs::remove_all(dir);
}

}  // namespace
