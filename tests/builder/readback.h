// Reading a file set's layout back from its bytes, as its FCR describes it:
// what a test needs to find the PAT pages and the page headers of a file it
// did not build, or of one whose FCR a test has damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "builder/layout.h"

namespace tbuild {

struct FcrReading {
    // Geometry from the version code and page size of FCR copy 0 and the
    // compression fields of the current copy. A compressed page size of 0
    // gives a page unit and a pair stride of 0: every page offset is then 0
    // and only pair 1 has a place.
    Layout layout;
    std::uint32_t lastPair = 0;  // of the current copy
    int currentFcr = 0;          // copy 1 when its usage count is higher
};

// set holds the bytes of the file set, the first mainSize of them the main
// file. Copy 0 is read from the main file alone (its first 16384 bytes),
// copy 1 from the set. Empty when the main file is shorter than 512 bytes
// or, from 6.x on, when the page size is below 512, a PAT page would exceed
// 32768 bytes, or the set does not hold both FCR copies.
std::optional<FcrReading> readLayout(const std::vector<std::uint8_t>& set,
                                     std::size_t mainSize = SIZE_MAX);

}  // namespace tbuild
