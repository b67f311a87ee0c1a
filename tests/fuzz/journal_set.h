// The file set the journal fuzz target undoes against, and the repairs whose
// journals seed it: every fix bit has something to mend in it.
#pragma once

#include <string>

#include "builder/fileset.h"
#include "builder/recipe.h"
#include "cli/run.h"
#include "fileio/output.h"

namespace journalfuzz {

// PAT header fields, a zero page header, a misdirected and an invalid entry.
constexpr const char* kRecipe =
    "family 0x0800 page 512 logical 10\n"
    "pat 1 copy 1 signature\npat 1 copy 0 number 5\nheader 3 zero\n"
    "entry 6 logical 8\nentry 9 beyond 1\n";
constexpr const char* kMain = "FILE.DAT";

// Writes the damaged set into the current folder and repairs it with the
// fix argument (/F-1, /F4...), keeping a journal when one is named; returns
// the run's status.
inline int makeRepairedSet(const std::string& fix, const std::string& journal) {
    const tbuild::BuiltRecipe built = tbuild::interpretRecipe(kRecipe);
    tbuild::writeFileSet(built.file, kMain, built.plan);
    const char* argv[] = {"tabulon", kMain, fix.c_str(), "/R"};
    tabulon::NullOutput out;
    RunSettings settings;
    settings.undoJournal = journal;
    return runTabulon(4, argv, out, tabulon::systemPlatform(), nullptr, settings);
}

}  // namespace journalfuzz
