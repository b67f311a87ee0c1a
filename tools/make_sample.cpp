// Writes a small Btrieve file set with a few deliberate PAT problems, for
// trying the tool by hand:
//
//   make_sample <dir>                       the bundled ORDERS.DAT set
//   make_sample <dir> <recipe> [<name>]     any recipe (see tests/builder/README.md)
//
// The bundled set is an 8.x file of three PAT pairs with 1024-byte pages,
// split into ORDERS.DAT and ORDERS.^01, with a delta file ORDERS.^^^.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "builder/recipe.h"

namespace {

// Logical pages 100, 250 and 400 are data pages in the generated type mix.
constexpr const char* kOrdersRecipe = R"(name ORDERS.DAT
family 0x0800 page 1024 logical 900

# The entry of logical page 100 points at the page of logical page 101;
# page 100 itself is intact, so a best-page search finds it.
entry 100 logical 101

# The page of logical page 250 has lost its header (page id and type zero).
header 250 zero

# Copy 1 of PAT pair 2 has a broken signature.
pat 2 copy 1 signature

# The page of logical page 400 has bit 15 of its usage count clear.
header 400 nousagebit

split 500000
delta
)";

int usage() {
    std::cerr << "usage: make_sample <dir> [<recipe file> [<main file name>]]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) return usage();
    const std::string dir = argv[1];
    std::string recipe = kOrdersRecipe;
    std::string name = "ORDERS.DAT";
    if (argc >= 3) {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) {
            std::cerr << "make_sample: cannot read " << argv[2] << "\n";
            return 2;
        }
        recipe.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        name = argc == 4 ? argv[3] : "TEST.DAT";
    }
    try {
        std::filesystem::create_directories(dir);
        tbuild::WrittenSet set = tbuild::buildFromRecipe(recipe, dir, name);
        for (const auto& m : set.members) {
            std::cout << m << "  " << std::filesystem::file_size(m) << " bytes\n";
        }
        if (!set.delta.empty()) std::cout << set.delta << "  (delta file)\n";
    } catch (const std::exception& e) {
        std::cerr << "make_sample: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
