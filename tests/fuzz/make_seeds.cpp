// Writes the seed corpus: one tiny healthy file per version family, as fuzz
// inputs (a u16 split selector, then the file set's bytes), and two split
// across the main file and extension file .^01.
#include <cstdio>
#include <filesystem>
#include <string>

#include "builder/recipe.h"
#include "builder/samples.h"
#include "support/harness.h"

namespace {

// The input of a built recipe: a split, if any, must be a single one on a
// multiple of 64 bytes.
bool writeSeed(const std::string& name, const std::string& recipe) {
    const tbuild::BuiltRecipe built = tbuild::interpretRecipe(recipe);
    uint64_t selector = 0;
    if (!built.plan.cuts.empty()) {
        const uint64_t at = built.plan.cuts[0];
        if (built.plan.cuts.size() > 1 || at % 64 != 0 || at / 64 == 0 || at / 64 > 0xFFFF) {
            std::fprintf(stderr, "%s: a seed takes one split on a multiple of 64 bytes\n", name.c_str());
            return false;
        }
        selector = at / 64;
    }
    harness::Bytes input = {uint8_t(selector), uint8_t(selector >> 8)};
    const harness::Bytes body = built.file.bytes();
    input.insert(input.end(), body.begin(), body.end());
    harness::writeFile(name, input);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    bool written = true;
    for (const tbuild::NamedSample& s : tbuild::healthySamples()) {
        written = writeSeed(dir + "/" + s.name, s.recipe) && written;
        if (s.name == "v0700" || s.name == "v0D00") {
            // Split after the first PAT pair: the pages lie in the extension.
            written = writeSeed(dir + "/" + s.name + "_split", s.recipe + "split logical:1\n") && written;
        }
    }
    return written ? 0 : 1;
}
