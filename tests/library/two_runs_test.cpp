// The library keeps no state of its own: two runs on two file sets in one
// process, one after the other or side by side in two threads, each print and
// write exactly what a single run prints and writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builder/recipe.h"
#include "check/options.h"
#include "cli/run.h"
#include "fileio/output.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;

// Two damaged files of different families, large enough that two threads
// overlap; one is page-compressed and split, so that both the cached and the
// uncached paths run.
const char* const kRecipes[] = {
    "family 0x0800 page 1024 logical 6000 scatter 7\n"
    "entry 12 logical 14\nentry 900 logical 902\nheader 40 zero\n"
    "candidate 40 usage 0x8003\npat 2 copy 1 signature\nentry 3000 beyond 2\n"
    "split 400000\ndelta\n",
    "family 0x0950 page 4096 compressed 2048 logical 4000\n"
    "entry 7 logical 9\nentry 2500 phys 5\nheader 1000 zero\npat 3 copy 0 number 9\n"
    "split every 3000000\n",
};

const char* const kCommandLines[][4] = {
    {"tabulon", "@FILE", "/R", nullptr},
    {"tabulon", "@FILE", "/F-1", "/O"},
};

struct RunResult {
    int status = 0;
    std::string out, err;
    std::vector<std::string> bytes;  // each member file after the run
};

class TwoRuns : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device seed;
        root = fs::temp_directory_path() / ("tabulon-tworuns-" + std::to_string(seed()));
        fs::create_directories(root);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Writes recipe r's set into a folder of its own; returns the main path.
    std::string build(int r, const std::string& folder) {
        fs::create_directories(root / folder);
        const std::string main = (root / folder / "DATA.DAT").string();
        members[main] =
            tbuild::buildFromRecipe(kRecipes[r], (root / folder).string(), "DATA.DAT").members;
        return main;
    }

    RunResult run(const std::string& main, int commandLine) {
        std::vector<const char*> argv;
        for (const char* arg : kCommandLines[commandLine]) {
            if (!arg) break;
            argv.push_back(std::string(arg) == "@FILE" ? main.c_str() : arg);
        }
        BufferOutput out;
        RunResult r;
        r.status = runTabulon(int(argv.size()), argv.data(), out, tabulon::systemPlatform());
        // The same run in another folder prints another path.
        const std::string folder = fs::path(main).parent_path().string();
        r.out = replaceAll(out.outText, folder, "@DIR");
        r.err = replaceAll(out.errText, folder, "@DIR");
        for (const std::string& m : members[main]) {
            std::ifstream in(m, std::ios::binary);
            r.bytes.emplace_back(std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>());
        }
        return r;
    }

    static std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
            s.replace(at, from.size(), to);
        }
        return s;
    }

    static void expectSame(const RunResult& a, const RunResult& b, const std::string& what) {
        EXPECT_EQ(a.status, b.status) << what;
        EXPECT_EQ(a.out, b.out) << what;
        EXPECT_EQ(a.err, b.err) << what;
        EXPECT_TRUE(a.bytes == b.bytes) << what << ": the files differ after the run";
    }

    fs::path root;
    std::map<std::string, std::vector<std::string>> members;
};

TEST_F(TwoRuns, OneAfterTheOtherAndSideBySideMatchSingleRuns) {
    for (int commandLine = 0; commandLine < 2; ++commandLine) {
        // The reference: each set alone, in a process that ran nothing else
        // on it before.
        RunResult single[2];
        for (int r = 0; r < 2; ++r)
            single[r] = run(build(r, "single" + std::to_string(r)), commandLine);
        ASSERT_NE(single[0].out, single[1].out);
        ASSERT_NE(single[0].out.find("Problems Found (Total)"), std::string::npos);

        // One after the other, alternating sets.
        for (int r : {1, 0}) {
            const std::string tag = "sequence" + std::to_string(r);
            expectSame(run(build(r, tag), commandLine), single[r], tag);
        }

        // Side by side, in two threads.
        const std::string mains[2] = {build(0, "thread0"), build(1, "thread1")};
        RunResult side[2];
        std::thread first([&] { side[0] = run(mains[0], commandLine); });
        std::thread second([&] { side[1] = run(mains[1], commandLine); });
        first.join();
        second.join();
        for (int r = 0; r < 2; ++r) expectSame(side[r], single[r], "thread " + std::to_string(r));
        fs::remove_all(root);
        fs::create_directories(root);
    }
}

}  // namespace
