#include "cli/run.h"

#include <cstdlib>

#include <string>
#include <vector>

#include "check/console.h"
#include "check/program.h"
#include "fileio/platform.h"

RunSettings settingsFromEnvironment() {
    RunSettings settings;
#ifdef _WIN32
    // The ANSI environment of the C runtime could not spell most names.
    std::string undo;
    if (tabulon::environmentValue("TABULON_UNDO", &undo)) settings.undoJournal = undo;
#else
    if (const char* undo = std::getenv("TABULON_UNDO")) settings.undoJournal = undo;
#endif
    return settings;
}

int runTabulon(int argc, const char* const* argv, tabulon::Output& out, tabulon::Platform& platform,
               tabulon::ScanCounters* countersOut) {
    return runTabulon(argc, argv, out, platform, countersOut, settingsFromEnvironment());
}

int runTabulon(int argc, const char* const* argv, tabulon::Output& out, tabulon::Platform& platform,
               tabulon::ScanCounters* countersOut, const RunSettings& settings) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    tabulon::ConsoleRenderer console(out);
    tabulon::ProgramEnvironment env{platform, console, settings.undoJournal,
                                    settings.releaseRepairOrder};
    const tabulon::ProgramResult result = tabulon::runTabulon(words, env);
    if (countersOut) *countersOut = result.run.counters;
    return result.status;
}
