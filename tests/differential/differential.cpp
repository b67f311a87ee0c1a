// The differential run: random file sets and command lines, each run by the
// last release's tabulon (a process) and by this build's (in this process,
// through runTabulon, or a process given with --current) on copies of the
// same files; standard output, standard error, the exit status and every
// file's bytes afterwards must be the same. See README.md beside this file.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "builder/recipe.h"
#include "cli/run.h"
#include "differential/compare.h"
#include "differential/generator.h"
#include "support/harness.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define DIFFERENTIAL_DEATH_CALLBACK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/common_interface_defs.h>
#define DIFFERENTIAL_DEATH_CALLBACK 1
#endif
#endif

namespace fs = std::filesystem;
using differential::Case;
using differential::Outcome;
using differential::Snapshot;

namespace {

// The behaviour that changed on purpose since the release, in one place. The
// generator makes none of these situations, for the reason given: the golden
// cases named pin the new behaviour instead.
struct IntendedDifference {
    const char* name;
    const char* change;
    const char* handling;
};

const IntendedDifference kIntended[] = {
    {"failed-writes",
     "a repair whose write fails is reported on a line of its own and the run ends with "
     "status -3",
     "kept out of the generator: its files are writable regular files on a working disk "
     "(golden fault cases fix_bit*_write_fails)"},
    {"incomplete-sets",
     "with a fix mask, an extension file that exists but cannot be opened ends the run like a "
     "main file that cannot be opened (status -3, nothing written)",
     "kept out of the generator: every member it writes can be opened (golden fault cases "
     "open_ext01_denied_fix and their kin)"},
    {"fifos",
     "a member that is a FIFO, socket or device is refused when opened (status code 95) instead "
     "of blocking the run",
     "kept out of the generator: it writes regular files only (golden cases open_fifo_*)"},
    {"relabelled-page-gives-way",
     "with fix bits 1 and 8 on a zero header, the page bit 1 relabelled is taken for the entry "
     "only when no other page names its logical page (the release took the highest usage word, "
     "the relabelled page's left-over one included, and could leave the entry on an empty page "
     "while its version stayed out of reach)",
     "this build runs each case in the release's order and must agree with the release; the "
     "cases the new order changes are counted (golden cases fix_relabelled_page_gives_way_*)"},
    {"undo-journal",
     "TABULON_UNDO makes a journal of format 2, names it on the last line and removes one of no "
     "block",
     "kept out: neither run sees TABULON_UNDO (golden undo cases pin it)"},
};

struct Options {
    std::string reference;  // the release's tabulon program
    std::string current;    // another build's program; empty: this build, in this process
    std::uint64_t first = 1;
    std::uint64_t cases = 2000;
    std::string keep;   // keep failing cases (all cases with --seed) in this folder
    int details = 5;    // failing cases printed in full
    bool show = false;  // print the case of --seed and stop
    bool listIntended = false;
};

void usage() {
    std::cerr
        << "usage: differential --reference PROGRAM [--cases N] [--first SEED] [--seed SEED]\n"
           "                    [--keep FOLDER] [--details N] [--current PROGRAM] [--show]\n"
           "                    [--intended]\n";
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    bool one = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if (a == "--reference" && hasValue) {
            o.reference = value();
        } else if (a == "--current" && hasValue) {
            o.current = value();
        } else if (a == "--cases" && hasValue) {
            o.cases = std::stoull(value());
        } else if (a == "--first" && hasValue) {
            o.first = std::stoull(value());
        } else if (a == "--seed" && hasValue) {
            o.first = std::stoull(value());
            one = true;
        } else if (a == "--keep" && hasValue) {
            o.keep = value();
        } else if (a == "--details" && hasValue) {
            o.details = std::stoi(value());
        } else if (a == "--show") {
            o.show = true;
        } else if (a == "--intended") {
            o.listIntended = true;
        } else {
            usage();
            return std::nullopt;
        }
    }
    if (one) o.cases = 1;
    return o;
}

// The seed of the case in hand, for a sanitizer's report that ends the
// process in the middle of the current build's run.
std::uint64_t g_runningSeed = 0;

#ifdef DIFFERENTIAL_DEATH_CALLBACK
void onSanitizerDeath() {
    std::fprintf(stderr, "differential: the current build died in case --seed %llu\n",
                 static_cast<unsigned long long>(g_runningSeed));
}
#endif

std::int8_t asSignedByte(int status) {
    return static_cast<std::int8_t>(status & 0xFF);
}

Outcome runProcess(const std::string& program, const Case& c, const std::string& folder) {
    const harness::RunResult r = harness::runProgram(program, c.args, folder, 60);
    Outcome o;
    o.status = asSignedByte(r.status);
    o.out = r.out;
    o.err = r.err;
    if (r.timedOut) o.err += "\n[differential: killed after 60 s]\n";
    if (r.signal) o.err += "\n[differential: ended by signal " + std::to_string(r.signal) + "]\n";
    return o;
}

// This build's run sequence in this process, in the case folder, with the
// streams kept apart and no undo journal.
Outcome runInProcess(const Case& c, const std::string& folder, bool releaseOrder) {
    std::vector<const char*> argv = {"tabulon"};
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    const fs::path back = fs::current_path();
    fs::current_path(folder);
    tabulon::BufferOutput out;
    int status = 0;
    try {
        RunSettings settings;
        settings.releaseRepairOrder = releaseOrder;
        status = runTabulon(int(argv.size()), argv.data(), out, tabulon::systemPlatform(), nullptr,
                            settings);
    } catch (const std::exception& e) {
        out.errText += std::string("\n[differential: exception ") + e.what() + "]\n";
    }
    fs::current_path(back);
    Outcome o;
    o.status = asSignedByte(status);
    o.out = out.outText;
    o.err = out.errText;
    return o;
}

void writeText(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

// The case as a folder that can become a golden case: its recipe and
// arguments, the release's streams, status and changes as the expectation,
// and the current build's beside them.
void keepCase(const fs::path& folder, const Case& c, const Snapshot& before, const Outcome& rel,
              const Outcome& cur, const std::string& differences) {
    fs::create_directories(folder);
    writeText(folder / "recipe", c.recipe);
    std::string args;
    for (const std::string& a : c.args) args += a + "\n";
    writeText(folder / "args", args);
    for (const auto& [prefix, o] : {std::pair{"expect", &rel}, std::pair{"current", &cur}}) {
        const std::string p = prefix;
        writeText(folder / (p + ".stdout"), o->out);
        writeText(folder / (p + ".stderr"), o->err);
        writeText(folder / (p + ".status"), std::to_string(o->status) + "\n");
        const std::string changes = textdiff::listChanges(before, o->files);
        if (!changes.empty()) writeText(folder / (p + ".diff"), changes);
    }
    if (!differences.empty()) writeText(folder / "differences", differences);
}

struct Tally {
    std::uint64_t run = 0, differing = 0;
    std::uint64_t reordered = 0;  // cases the relabelled-page order changes (intended)
    std::vector<std::uint64_t> seeds;
};

void printCase(const Case& c) {
    std::cout << "seed " << c.seed << "\ncommand line: " << differential::commandLine(c.args)
              << "\nrecipe:\n";
    std::cout << c.recipe;
}

}  // namespace

namespace {

// Builds the case's set in `folder`, runs both programs on copies of it and
// compares; prints and keeps the case as asked. Returns whether they agree.
bool runCase(const Options& o, const Case& c, const std::string& folder, int printed,
             Tally& t) {
    Snapshot before;
    try {
        differential::restore(folder, {});
        tbuild::buildFromRecipe(c.recipe, folder, c.mainName);
        before = differential::snapshot(folder);
    } catch (const std::exception& e) {
        printCase(c);
        std::cout << "the builder refused the generated recipe: " << e.what() << "\n\n";
        return false;
    }
    Outcome rel = runProcess(o.reference, c, folder);
    rel.files = differential::snapshot(folder);
    differential::restore(folder, before);
    g_runningSeed = c.seed;
    // In this process the build runs in the release's repair order, which it
    // must match; then in its own, and a case that order changes is counted.
    Outcome cur = o.current.empty() ? runInProcess(c, folder, true)
                                    : runProcess(o.current, c, folder);
    cur.files = differential::snapshot(folder);
    if (o.current.empty()) {
        differential::restore(folder, before);
        Outcome own = runInProcess(c, folder, false);
        own.files = differential::snapshot(folder);
        if (!differential::describeDifferences(cur, own).empty()) ++t.reordered;
    }
    const std::string differences = differential::describeDifferences(rel, cur);
    const bool agree = differences.empty();
    if (!agree && printed < o.details) {
        std::cout << "==== case differs: replay with --seed " << c.seed << "\n";
        printCase(c);
        std::cout << differences << "\n";
    }
    const bool keep = !o.keep.empty() && (!agree || o.cases == 1);
    if (keep) {
        const fs::path where = fs::path(o.keep) / ("seed-" + std::to_string(c.seed));
        keepCase(where, c, before, rel, cur, differences);
        std::cout << "kept in " << where.string() << "\n";
    }
    return agree;
}

int runAll(const Options& o) {
    std::error_code ec;
    if (!fs::is_regular_file(o.reference, ec) || access(o.reference.c_str(), X_OK) != 0) {
        std::cout << "differential: no reference program at '" << o.reference
                  << "': the release's tabulon is built from the repository's history, which "
                     "must hold the release commit (a full clone, not a shallow one)\n";
        return 1;
    }
    harness::TempDir work;
    const std::string folder = work.file("case");
    Tally t;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t seed = o.first; seed < o.first + o.cases; ++seed) {
        const Case c = differential::generateCase(seed);
        ++t.run;
        if (runCase(o, c, folder, int(t.differing), t)) continue;
        ++t.differing;
        t.seeds.push_back(seed);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "differential: " << t.run << " cases from seed " << o.first << ", " << t.differing
              << " differ from the release, " << seconds << " s; " << t.reordered
              << " changed on purpose by the relabelled-page order\n";
    if (!t.seeds.empty()) {
        std::cout << "differing seeds:";
        for (std::size_t i = 0; i < t.seeds.size() && i < 200; ++i) std::cout << " " << t.seeds[i];
        std::cout << (t.seeds.size() > 200 ? " ...\n" : "\n");
        std::cout << "replay one: differential --reference " << o.reference
                  << " --seed N [--keep FOLDER]\n";
    }
    return t.differing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> o = parseOptions(argc, argv);
    if (!o) return 2;
    if (o->listIntended) {
        for (const auto& d : kIntended) {
            std::cout << d.name << "\n  changed: " << d.change << "\n  handled: " << d.handling
                      << "\n";
        }
        return 0;
    }
    if (o->show) {
        printCase(differential::generateCase(o->first));
        return 0;
    }
    // Neither run makes an undo journal (see kIntended).
    unsetenv("TABULON_UNDO");
    // The cases write and read some megabytes every hundred: in a folder in
    // memory where the system has one and no other is asked for.
    std::error_code ec;
    if (!std::getenv("TMPDIR") && fs::is_directory("/dev/shm", ec) &&
        access("/dev/shm", W_OK) == 0) {
        setenv("TMPDIR", "/dev/shm", 1);
    }
#ifdef DIFFERENTIAL_DEATH_CALLBACK
    __sanitizer_set_death_callback(onSanitizerDeath);
#endif
    return runAll(*o);
}
