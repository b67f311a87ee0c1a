// Small healthy files of every family, written as recipes: the files that
// the reliability tests damage and that the fuzz seeds start from.
//
// A sample holds two FCR copies and PAT pair 1, copy 1 current in both, and
// five pages after the pair: logical pages 1 to 4 (a data page, an index
// page, a variable page, a second data page) and an older copy of logical
// page 2, with a lower usage count, that no entry names. From 0x0D30 on the
// entry of page 4 carries the type 'D' 'E', which is read as a data page.
// The FCR page count is 3 below 8.x (the check reads the slots through
// pageCount + 1) and 6 from 8.x on (the slots after page 4 are free-space
// pointers). A file before 6.x is the FCR page and one zero page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/btrfile.h"

namespace tbuild {

struct SampleShape {
    std::uint16_t version = 0x0800;  // folded version code
    std::uint32_t pageSize = 512;
    // 'F' 'C' at 0 and the version code stored negated at 74; otherwise a
    // zero first word and the code as it is at 6.
    bool signature = false;
    // Page compression with a compressed page size equal to the page size
    // (0x0950 on; ignored before).
    bool compressed = false;
};

std::string sampleRecipe(const SampleShape& shape);
BtrFile makeSample(const SampleShape& shape);

struct NamedSample {
    std::string name;  // also the fuzz seed's file name
    SampleShape shape;
    std::string recipe;
};

// One or more per family, some with larger pages, signed or compressed, and
// one file before 6.x.
std::vector<NamedSample> healthySamples();

}  // namespace tbuild
