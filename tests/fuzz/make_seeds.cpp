// Writes the seed corpus: one tiny healthy file per version family, as fuzz
// inputs (a u16 split selector, then the file set's bytes), and two split
// across the main file and extension file .^01.
#include <cstdio>
#include <filesystem>
#include <string>

#include "btrfile.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    for (const btr::NamedFile& f : btr::healthyFiles()) {
        btr::Bytes input = {0, 0};
        input.insert(input.end(), f.bytes.begin(), f.bytes.end());
        btr::writeFile(dir + "/" + f.name, input);
        if (f.name == "v0700" || f.name == "v0D00") {
            // Split after the first PAT pair: the pages lie in the extension.
            btr::Layout l;
            btr::readLayout(f.bytes, &l);
            uint64_t at = l.pairOffset(1) + 2 * uint64_t(l.patPageSize);
            input[0] = uint8_t(at / 64), input[1] = uint8_t(at / 64 >> 8);
            btr::writeFile(dir + "/" + f.name + "_split", input);
        }
    }
    return 0;
}
