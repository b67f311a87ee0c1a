// Helpers of the undo and fault tests: scratch folders, snapshots of the
// files of a folder, the repair cases of the golden suite, in-process runs of
// tabulon and tabulon-undo, and the consistency rules a run must keep.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "builder/recipe.h"
#include "cli/run.h"
#include "fault_platform.h"
#include "fileio/output.h"
#include "format/pageheader.h"
#include "support/scratch.h"
#include "undo/undo.h"

namespace undotest {

// Replaces every mention of a folder in a run's text by @DIR, so that runs
// in two folders compare.
inline void maskFolder(std::string* text, const std::string& folder) {
    for (size_t at; (at = text->find(folder)) != std::string::npos;) {
        text->replace(at, folder.size(), "@DIR");
    }
}

// A scratch folder of the undo tests.
class Scratch : public ScratchDir {
  public:
    Scratch() : ScratchDir("tabulon-undo") {}
};

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Snapshot = std::map<std::string, Bytes>;  // file name -> bytes

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The files of a folder, leaving out one name (the journal).
inline Snapshot snapshot(const std::string& dir, const std::string& except = "") {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != except && e.is_regular_file()) s[name] = readBytes(e.path().string());
    }
    return s;
}

// A repair case of the golden suite that is built from a recipe.
struct RepairCase {
    std::string name;
    std::string recipe;
    std::vector<std::string> args;  // @FILE, @NAME, @DIR unreplaced
};

inline std::vector<RepairCase> repairCases() {
    std::vector<RepairCase> cases;
    for (const auto& e : fs::directory_iterator(TABULON_GOLDEN_CASES)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("fix_", 0) != 0) continue;
        const fs::path recipe = e.path() / "recipe";
        if (!fs::exists(recipe) || fs::exists(e.path() / "realfile")) continue;
        RepairCase c{name, "", {}};
        Bytes r = readBytes(recipe.string());
        c.recipe.assign(r.begin(), r.end());
        if (c.recipe.find("realfile") != std::string::npos) continue;
        std::ifstream args((e.path() / "args").string());
        for (std::string line; std::getline(args, line);) c.args.push_back(line);
        cases.push_back(c);
    }
    std::sort(cases.begin(), cases.end(),
              [](const RepairCase& a, const RepairCase& b) { return a.name < b.name; });
    return cases;
}

// Writes the case's set into dir; returns the main file's name.
inline std::string buildCase(const RepairCase& c, const std::string& dir) {
    tbuild::BuiltRecipe built = tbuild::interpretRecipe(c.recipe);
    const std::string name = built.mainName ? *built.mainName : "TEST.DAT";
    tbuild::writeFileSet(built.file, dir + "/" + name, built.plan);
    return name;
}

// Output that notes, with each chunk, how many writes the platform had been
// asked for when it was printed.
class TimedOutput : public tabulon::Output {
  public:
    explicit TimedOutput(const faults::FaultPlatform& p) : platform_(p) {}
    void write(tabulon::Stream stream, std::string_view text) override {
        (stream == tabulon::Stream::Out ? out : err).append(text);
        chunks.push_back({platform_.calls[int(faults::Op::Write)], std::string(text)});
    }
    std::string out, err;
    std::vector<std::pair<uint64_t, std::string>> chunks;

  private:
    const faults::FaultPlatform& platform_;
};

struct TabulonRun {
    int status = 0;
    std::string out, err;
    std::vector<std::pair<uint64_t, std::string>> chunks;
    tabulon::ScanCounters counters;
};

inline TabulonRun runTabulonOn(const std::vector<std::string>& rawArgs, const std::string& dir,
                               const std::string& mainName, faults::FaultPlatform& platform,
                               const std::string& journal = "",
                               tabulon::Platform* runOn = nullptr) {
    std::vector<std::string> args{"tabulon"};
    for (std::string a : rawArgs) {
        for (auto [from, to] : {std::pair<std::string, std::string>{"@FILE", dir + "/" + mainName},
                                {"@NAME", mainName},
                                {"@DIR", dir}}) {
            for (size_t at; (at = a.find(from)) != std::string::npos;)
                a.replace(at, from.size(), to);
        }
        args.push_back(a);
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    TimedOutput out(platform);
    TabulonRun r;
    RunSettings settings;
    settings.undoJournal = journal;
    r.status = runTabulon(int(argv.size()), argv.data(), out, runOn ? *runOn : platform,
                          &r.counters, settings);
    r.out = out.out;
    r.err = out.err;
    r.chunks = out.chunks;
    return r;
}

struct UndoRun {
    int status = 0;
    std::string out, err;
};

inline UndoRun runUndoOn(std::vector<std::string> args,
                         tabulon::Platform& platform = tabulon::systemPlatform()) {
    args.insert(args.begin(), "tabulon-undo");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    tabulon::BufferOutput out;
    UndoRun r;
    r.status = runUndo(int(argv.size()), argv.data(), out, platform);
    r.out = out.outText;
    r.err = out.errText;
    return r;
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

// The counters of the report agree with the repair lines of the run.
inline std::string countersAgreeWithLines(const TabulonRun& r) {
    const tabulon::ScanCounters& c = r.counters;
    const size_t repaired = countOf(r.out, "-->Repaired");
    const size_t lost = countOf(r.out, "Data is lost!");
    // Pointer repairs are counted by the class of the page type they name.
    size_t data = 0, index = 0, variable = 0;
    const std::string mark = "-->Repaired By Changing Page Pointer to (";
    for (size_t at = 0; (at = r.out.find(mark, at)) != std::string::npos; at += mark.size()) {
        const uint16_t t = uint16_t(std::stoul(r.out.substr(at + mark.size(), 4), nullptr, 16));
        if (t == tabulon::pagetype::data)
            ++data;
        else if (tabulon::isIndexType(t))
            ++index;
        else if (t == tabulon::pagetype::variable)
            ++variable;
    }
    std::string why;
    if (c.totalFixed != repaired + c.patHeadersFixed) {
        why += "total fixed " + std::to_string(c.totalFixed) + " but " + std::to_string(repaired) +
               " repair lines and " + std::to_string(c.patHeadersFixed) + " PAT header fixes; ";
    }
    if (c.dataPointersFixed != data || c.indexPointersFixed != index ||
        c.variablePointersFixed != variable) {
        why += "pointer counters disagree with the lines; ";
    }
    if (c.pagesResetToFree != lost) why += "pages reset disagree with the lines; ";
    return why;
}

// No repair line follows the failed write before the next write is tried.
// A page id is written at once, not staged with the pair: its line may wait
// behind a staged pair whose write then fails, and reports its own write.
inline std::string noRepairLineAfter(const TabulonRun& r, uint64_t failedWrite) {
    for (const auto& [writes, text] : r.chunks) {
        std::string shown = text;
        for (size_t at; (at = shown.find("-->Repaired By Writing Corrected Page ID")) !=
                        std::string::npos;) {
            shown.erase(at, shown.find('\n', at) - at);
        }
        if (writes == failedWrite && shown.find("-->Repaired") != std::string::npos) {
            return "repair line after failed write " + std::to_string(failedWrite) + ": " + text;
        }
    }
    return "";
}

// The set as `before` with the recorded writes into its files laid over.
inline Snapshot applyWrites(Snapshot before, const std::vector<faults::Written>& writes,
                            const std::string& dir) {
    for (const faults::Written& w : writes) {
        const std::string name = fs::path(w.name).filename().string();
        if (fs::path(w.name).parent_path() != fs::path(dir) || !before.count(name)) continue;
        Bytes& b = before[name];
        if (b.size() < w.offset + w.bytes.size()) b.resize(w.offset + w.bytes.size());
        std::copy(w.bytes.begin(), w.bytes.end(), b.begin() + long(w.offset));
    }
    return before;
}

}  // namespace undotest
