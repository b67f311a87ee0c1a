// Sweeps over every point of something (every fault point of a run, every
// cut of a journal, every value of a byte), sampled: the test command visits
// a few hundred points chosen by a seeded generator, and the long runs of
// `ctest -C long` visit them all.
//
//   TABULON_SWEEP=all        every point
//   TABULON_SWEEP_SEED=N     another sample than the fixed one
//
// A failure names the seed (put note() in a SCOPED_TRACE), so that
// TABULON_SWEEP_SEED=N repeats the sample that failed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace sweep {

constexpr std::uint32_t kDefaultSeed = 1;

struct Sweep {
    bool all = false;
    std::uint32_t seed = kDefaultSeed;

    // Indices of `total` points in order: all of them, or `budget` of them.
    std::vector<size_t> pick(size_t total, size_t budget) const {
        std::vector<size_t> points(total);
        std::iota(points.begin(), points.end(), size_t(0));
        if (all || total <= budget) return points;
        std::mt19937_64 random(seed * 0x9E3779B97F4A7C15ull + total);
        std::shuffle(points.begin(), points.end(), random);
        points.resize(budget);
        std::sort(points.begin(), points.end());
        return points;
    }

    std::string note() const {
        return all ? std::string("every point of the sweep (TABULON_SWEEP=all)")
                   : "sampled sweep, seed " + std::to_string(seed) +
                         " (TABULON_SWEEP_SEED=" + std::to_string(seed) +
                         " repeats it, TABULON_SWEEP=all runs every point)";
    }
};

inline Sweep fromEnvironment() {
    Sweep s;
    const char* mode = std::getenv("TABULON_SWEEP");
    s.all = mode != nullptr && std::strcmp(mode, "all") == 0;
    if (const char* seed = std::getenv("TABULON_SWEEP_SEED"); seed != nullptr && *seed != '\0') {
        s.seed = std::uint32_t(std::strtoul(seed, nullptr, 10));
    }
    return s;
}

}  // namespace sweep
