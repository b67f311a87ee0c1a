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
#include <variant>
#include <vector>

#include "builder/recipe.h"
#include "check/commandline.h"
#include "check/console.h"
#include "check/options.h"
#include "check/run.h"
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

// The engine's stream: a tag per value, in order.
std::string tagOf(const Event& e) {
    static const char* const kActions[] = {"PatHeader", "PageId", "FreeSpace", "BestPage",
                                           "ResetToFree"};
    static const char* const kOutcomes[] = {"Waiting", "Written", "Failed", "NotAttempted"};
    static const char* const kNotices[] = {"Trace",
                                           "OpenFailed",
                                           "DeltaFound",
                                           "VersionWarning",
                                           "CompressionWarning",
                                           "UnexpectedPageSize",
                                           "WrongPair",
                                           "PreloadStart",
                                           "PreloadProgress",
                                           "PreloadDone",
                                           "PreloadNoMemory",
                                           "ScanStart",
                                           "PairProgress",
                                           "PageFound",
                                           "WriteFailure",
                                           "RunHeader",
                                           "OptionNotice",
                                           "Usage",
                                           "OpenFailure",
                                           "OldVersion",
                                           "PageCount",
                                           "ScanComplete",
                                           "Journal",
                                           "FlushFailure"};
    if (const auto* f = std::get_if<Finding>(&e)) return std::string("F:") + f->row().key;
    if (const auto* a = std::get_if<Action>(&e)) {
        return std::string("A:") + kActions[size_t(a->kind)] + "/" + kOutcomes[size_t(a->outcome)];
    }
    if (const auto* n = std::get_if<NoticeRecord>(&e)) {
        return std::string("N:") + kNotices[size_t(n->kind)];
    }
    if (const auto* p = std::get_if<PairEvent>(&e)) return "P:" + std::to_string(p->n);
    return "R";
}

// The problem counters as the findings' tallies give them (a page the
// best-page search finds moves its entry's finding to the action's tally).
ScanCounters tallied(const std::vector<Event>& events) {
    ScanCounters c;
    Tally last = Tally::None;
    auto add = [&c](Tally t, int by) {
        uint32_t* counter[] = {nullptr, &c.patProblems, &c.dataProblems, &c.indexProblems,
                               &c.otherProblems};
        if (counter[size_t(t)]) *counter[size_t(t)] += uint32_t(by);
    };
    for (const Event& e : events) {
        if (const auto* f = std::get_if<Finding>(&e)) {
            if (f->tally == Tally::None) continue;
            add(last = f->tally, 1);
            ++c.totalProblems;
            if (f->zeroPointer) ++c.zeroPointerProblems;
        } else if (const auto* a = std::get_if<Action>(&e)) {
            if (a->kind != ActionKind::BestPage) continue;
            add(last, -1);
            add(last = a->tally, 1);
        }
    }
    return c;
}

struct OrderCase {
    const char* name;
    const char* recipe;
    std::vector<const char*> options;
    // Tags that must come in this order (others may come between them).
    std::vector<std::string> order;
};

const OrderCase kOrderCases[] = {
    {"unknown page size before the header lines",
     // The FCR names 3072-byte pages; pair 1 where they place it, copy 1
     // without its signature.
     "family 0x0950 page 4096 logical 4\nfcr pagesize 3072\n"
     "poke 24576 0x01 0x00 0x00 0x50 0x50\npoke 30720 0x01 0x00 0x00 0x51 0x50\n",
     {"/R"},
     {"N:RunHeader", "N:ScanStart", "N:PairProgress", "N:UnexpectedPageSize",
      "N:UnexpectedPageSize", "F:pat-signature", "R"}},
    {"staged repairs after their findings",
     "family 0x0800 page 1024 logical 600\nentry 12 logical 14\nheader 77 zero\n",
     {"/F10", "/R"},
     {"N:PreloadDone", "F:points-elsewhere", "A:FreeSpace/Written", "N:PageFound",
      "A:BestPage/Written", "F:zero-header", "A:FreeSpace/Written", "A:ResetToFree/Written", "R"}},
    {"a header repair after both header findings",
     "family 0x0800 page 1024 logical 600\npat 1 copy 1 number 7\npat 1 copy 0 signature\n",
     {"/F4"},
     {"N:PageCount", "N:PairProgress", "F:pat-signature", "F:pat-pair-number",
      "A:PatHeader/Written", "N:ScanComplete", "R"}},
    {"a file before 6.x", "family 0x0500 logical 3\n", {}, {"N:RunHeader", "N:OldVersion"}},
    {"traces from every layer in their places",
     "family 0x0800 page 1024 logical 30\nentry 5 type 0\n",
     {"/D", "/Z", "/O"},
     {"N:RunHeader", "N:Trace", "N:ScanStart", "N:PreloadStart", "N:Trace", "N:PreloadDone",
      "N:PairProgress", "N:Trace", "N:PairProgress", "N:Trace", "F:unused-points-elsewhere",
      "N:ScanComplete", "R"}},
};

TEST(EventStream, ValuesComeInTheOrderOfTheConsoleTextAndRenderToIt) {
    std::random_device seed;
    const fs::path dir = fs::temp_directory_path() / ("tabulon-events-" + std::to_string(seed()));
    fs::create_directories(dir);
    const std::string main = (dir / "F.DAT").string();
    for (const OrderCase& c : kOrderCases) {
        SCOPED_TRACE(c.name);
        std::vector<const char*> argv = {"tabulon", main.c_str()};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        tbuild::buildFromRecipe(c.recipe, dir.string(), "F.DAT");
        BufferOutput console;
        console.keepOrder = true;
        ScanCounters counters;
        const int status =
            runTabulon(int(argv.size()), argv.data(), console, systemPlatform(), &counters, {});

        tbuild::buildFromRecipe(c.recipe, dir.string(), "F.DAT");
        EventLog log;
        const RunEnvironment env{systemPlatform(), log, ""};
        const CommandLine cl = parseCommandLine(int(argv.size()), argv.data());
        const RunResult result = runCheck(main, cl.options, env);
        EXPECT_EQ(result.status, status);

        std::vector<std::string> tags;
        for (const Event& e : log.events) tags.push_back(tagOf(e));
        size_t at = 0;
        for (const std::string& tag : tags) {
            if (at < c.order.size() && tag == c.order[at]) ++at;
        }
        std::string seen;
        for (const std::string& tag : tags) seen += tag + " ";
        EXPECT_EQ(at, c.order.size())
            << "missing " << c.order[std::min(at, c.order.size() - 1)] << " in " << seen;

        // The kept stream renders to the console text, byte for byte and in
        // the order of both streams.
        BufferOutput again;
        again.keepOrder = true;
        for (const std::string& notice : cl.notices) again.write(Stream::Err, notice);
        ConsoleRenderer renderer(again);
        log.replay(renderer);
        EXPECT_EQ(again.outText, console.outText);
        EXPECT_EQ(again.errText, console.errText);
        EXPECT_EQ(again.lines, console.lines);

        // The findings' tallies are the report's problem counters.
        const ScanCounters t = tallied(log.events);
        EXPECT_EQ(t.totalProblems, counters.totalProblems);
        EXPECT_EQ(t.patProblems, counters.patProblems);
        EXPECT_EQ(t.dataProblems, counters.dataProblems);
        EXPECT_EQ(t.indexProblems, counters.indexProblems);
        EXPECT_EQ(t.otherProblems, counters.otherProblems);
        EXPECT_EQ(t.zeroPointerProblems, counters.zeroPointerProblems);
    }
    fs::remove_all(dir);
}

}  // namespace
