// Writes the seed corpus of the journal fuzz target: the journal of a repair
// of its set with each fix bit and with all of them, one cut short inside its
// last record, and one without its closing record, each as it is (flags 0)
// and with --set (flags 2).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fileio/journal.h"
#include "format/le.h"
#include "journal_set.h"
#include "support/harness.h"

using namespace tabulon;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path out = fs::absolute(argv[1]);
    fs::create_directories(out);
    const fs::path work = out / "work";
    fs::create_directories(work);
    if (chdir(work.c_str()) != 0) return 1;

    auto seed = [&](const std::string& name, const harness::Bytes& journal) {
        for (uint8_t flags : {uint8_t(0), uint8_t(2)}) {
            harness::Bytes input = {flags};
            input.insert(input.end(), journal.begin(), journal.end());
            harness::writeFile((out / (name + "_" + std::to_string(flags))).string(), input);
        }
    };
    harness::Bytes full;
    for (const char* fix : {"/F1", "/F2", "/F4", "/F8", "/F-1"}) {
        fs::remove("J");
        if (journalfuzz::makeRepairedSet(fix, "J") != 0 || !fs::exists("J")) {
            std::fprintf(stderr, "%s: no journal\n", fix);
            return 1;
        }
        full = harness::readFile("J");
        seed(std::string("fix") + (fix + 2), full);
    }
    // Cut short inside the closing record, and without it.
    seed("cut_short", harness::Bytes(full.begin(), full.end() - 5));
    size_t at = 12, last = 12;
    while (at + 9 <= full.size()) {
        last = at;
        at += size_t(le32(full.data() + at + 1)) + 9;
    }
    seed("no_closing", harness::Bytes(full.begin(), full.begin() + long(last)));
    fs::remove_all(work);
    return 0;
}
