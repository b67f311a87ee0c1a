// Random cases for the differential run: a file set written as a builder
// recipe and a command line of the tabulon program, both made from one seed,
// so that a case is replayed from its seed alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace differential {

// A small deterministic generator (splitmix64): the same seed gives the same
// numbers on every platform and standard library.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    // A number from 0 to n - 1 (0 when n is 0).
    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : std::uint32_t(next() % n); }
    // A number from lo to hi, both included.
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
    bool chance(int percent) { return int(below(100)) < percent; }
    template <typename T>
    T pick(const std::vector<T>& from) {
        return from[below(std::uint32_t(from.size()))];
    }

  private:
    std::uint64_t state_;
};

struct Case {
    std::uint64_t seed = 0;
    std::string mainName;           // the main file's name in the case folder
    std::string recipe;             // the file set, in the builder's recipe language
    std::vector<std::string> args;  // the command line after the program name
};

Case generateCase(std::uint64_t seed);

// The command line as one line, each argument quoted where a shell would need
// it.
std::string commandLine(const std::vector<std::string>& args);

}  // namespace differential
