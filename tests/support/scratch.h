// A fresh folder under the system's temporary folder for one test, removed
// with everything in it when the test is done.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class ScratchDir {
  public:
    explicit ScratchDir(const std::string& tag = "tabulon") {
        std::random_device seed;
        for (;;) {
            dir_ = std::filesystem::temp_directory_path() / (tag + "-" + std::to_string(seed()));
            if (std::filesystem::create_directory(dir_)) break;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The folder, and a file in it.
    const std::filesystem::path& path() const { return dir_; }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};
