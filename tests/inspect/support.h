// Running the inspector and the check in-process on the same files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "check/options.h"
#include "cli/run.h"
#include "fileio/output.h"
#include "inspect/inspect.h"
#include "support/scratch.h"

namespace itest {

using ::ScratchDir;

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Result {
    int status = 0;
    std::string out, err;
    Json json() const { return Json::parse(out); }
};

inline Result inspect(std::vector<std::string> args) {
    args.insert(args.begin(), "tabulon-inspect");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    tabulon::BufferOutput out;
    Result r;
    r.status = runInspect(int(argv.size()), argv.data(), out, tabulon::systemPlatform());
    r.out = out.outText;
    r.err = out.errText;
    return r;
}

struct Check {
    int status = 0;
    bool preSix = false;
    tabulon::ScanCounters counters;
};

// tabulon FILE /R, without a fix mask.
inline Check check(const std::string& path) {
    const char* argv[] = {"tabulon", path.c_str(), "/R"};
    tabulon::BufferOutput out;
    Check c;
    c.status = runTabulon(3, argv, out, tabulon::systemPlatform(), &c.counters);
    c.preSix = out.outText.find("Pre-6.x") != std::string::npos;
    return c;
}

// The counters of a JSON result ({examined, problemCounts}) against the check's.
inline void expectSameCounters(const Json& j, const tabulon::ScanCounters& c,
                               const std::string& what) {
    SCOPED_TRACE(what);
    const Json& e = j.at("examined");
    const Json& p = j.at("problemCounts");
    EXPECT_EQ(e.at("pat").get<uint32_t>(), c.patPagesExamined);
    EXPECT_EQ(e.at("data").get<uint32_t>(), c.dataPagesExamined);
    EXPECT_EQ(e.at("index").get<uint32_t>(), c.indexPagesExamined);
    EXPECT_EQ(e.at("other").get<uint32_t>(), c.otherPagesExamined);
    EXPECT_EQ(e.at("total").get<uint32_t>(), c.totalPagesExamined);
    EXPECT_EQ(p.at("pat").get<uint32_t>(), c.patProblems);
    EXPECT_EQ(p.at("data").get<uint32_t>(), c.dataProblems);
    EXPECT_EQ(p.at("index").get<uint32_t>(), c.indexProblems);
    EXPECT_EQ(p.at("other").get<uint32_t>(), c.otherProblems);
    EXPECT_EQ(p.at("zeroPointers").get<uint32_t>(), c.zeroPointerProblems);
    EXPECT_EQ(p.at("total").get<uint32_t>(), c.totalProblems);
}

}  // namespace itest
