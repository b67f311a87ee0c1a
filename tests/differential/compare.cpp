#include "differential/compare.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/textdiff.h"

namespace fs = std::filesystem;

namespace differential {

Snapshot snapshot(const std::string& folder) {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (!e.is_regular_file()) continue;
        // One read of the whole file: a byte-wise stream iterator costs most
        // of a case in an unoptimized build.
        std::string bytes(std::size_t(e.file_size()), '\0');
        std::ifstream in(e.path(), std::ios::binary);
        in.read(bytes.data(), std::streamsize(bytes.size()));
        if (in.gcount() != std::streamsize(bytes.size())) {
            throw std::runtime_error("cannot read " + e.path().string());
        }
        s[e.path().filename().string()] = std::move(bytes);
    }
    return s;
}

void restore(const std::string& folder, const Snapshot& files) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& [name, bytes] : files) {
        std::ofstream out(fs::path(folder) / name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + name + " in " + folder);
    }
}

std::string describeDifferences(const Outcome& release, const Outcome& current) {
    std::ostringstream out;
    if (release.status != current.status) {
        out << "exit status: release " << release.status << ", current " << current.status << "\n";
    }
    out << textdiff::unifiedDiff("stdout", release.out, current.out, "release", "current");
    out << textdiff::unifiedDiff("stderr", release.err, current.err, "release", "current");
    if (release.files != current.files) {
        // The current run's files against the release's, byte by byte.
        out << "files (release -> current):\n"
            << textdiff::listChanges(release.files, current.files);
    }
    return out.str();
}

}  // namespace differential
