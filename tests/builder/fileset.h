// Writing a built file as a Btrieve file set: the main file, extension files
// that continue its bytes, and a delta file beside them.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "builder/btrfile.h"

namespace tbuild {

// Extension file k (1..127) of a main path: the path cut at its last '.'
// (the whole path when it has none) followed by ".^" and k as two lower-case
// hexadecimal digits.
std::string extensionName(const std::string& mainPath, unsigned k);
// The delta file: the path cut the same way followed by ".^^^".
std::string deltaName(const std::string& mainPath);

struct SetPlan {
    // File-set offsets at which extension files 1, 2, ... begin; must not
    // decrease (equal cuts make empty members). Empty: the main file only.
    std::vector<std::uint64_t> cuts;
    bool delta = false;
    std::uint64_t deltaSize = 512;
    // Extension files written beside the set but not part of its bytes:
    // (number, size). Number 128 names a ".^80" file.
    std::vector<std::pair<unsigned, std::uint64_t>> strays;
};

struct WrittenSet {
    std::vector<std::string> members;  // main file first
    std::string delta;                 // empty when none was written
};

// A byte sink that lays the bytes it receives across the members of a set;
// skipped ranges become holes where the file system allows.
class FileSetSink : public ByteSink {
  public:
    FileSetSink(std::string mainPath, std::vector<std::uint64_t> cuts);
    ~FileSetSink() override;
    FileSetSink(const FileSetSink&) = delete;
    FileSetSink& operator=(const FileSetSink&) = delete;

    void write(const std::uint8_t* data, std::size_t n) override;
    void skip(std::uint64_t n) override;
    // Closes the members and gives each its exact length; returns their paths.
    std::vector<std::string> finish();

  private:
    std::uint64_t roomInMember() const;
    void nextMember();
    void openMember();

    std::string mainPath_;
    std::vector<std::uint64_t> cuts_;
    std::vector<std::string> paths_;
    std::vector<std::uint64_t> lengths_;
    std::ofstream out_;
    std::size_t member_ = 0;
    std::uint64_t pos_ = 0;  // file-set offset of the next byte
    bool finished_ = false;
};

// Writes the file set and removes other members or a delta file of the same
// main path left from an earlier set. Throws std::runtime_error on I/O errors.
WrittenSet writeFileSet(const BtrFile& file, const std::string& mainPath, const SetPlan& plan);

}  // namespace tbuild
