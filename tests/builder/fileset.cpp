#include "builder/fileset.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace tbuild {

namespace fs = std::filesystem;

namespace {

std::string cutAtLastDot(const std::string& path) {
    auto dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(0, dot);
}

[[noreturn]] void ioFail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path);
}

void writeFile(const std::string& path, std::uint64_t size, std::uint8_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) ioFail("cannot create", path);
    for (std::uint64_t i = 0; i < size; ++i) {
        out.put(static_cast<char>(static_cast<std::uint8_t>(seed + i * 7)));
    }
    if (!out) ioFail("cannot write", path);
}

}  // namespace

std::string extensionName(const std::string& mainPath, unsigned k) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".^%.2x", k);
    return cutAtLastDot(mainPath) + suffix;
}

std::string deltaName(const std::string& mainPath) {
    return cutAtLastDot(mainPath) + ".^^^";
}

FileSetSink::FileSetSink(std::string mainPath, std::vector<std::uint64_t> cuts)
    : mainPath_(std::move(mainPath)), cuts_(std::move(cuts)) {
    if (cuts_.size() > 127) throw std::runtime_error("a file set has at most 127 extension files");
    for (std::size_t i = 1; i < cuts_.size(); ++i) {
        if (cuts_[i] < cuts_[i - 1]) throw std::runtime_error("split offsets must not decrease");
    }
    openMember();
}

FileSetSink::~FileSetSink() {
    if (!finished_) {
        try {
            finish();
        } catch (...) {
            // Destructors must not throw; an unfinished set is left as it is.
        }
    }
}

void FileSetSink::openMember() {
    std::string path =
        member_ == 0 ? mainPath_ : extensionName(mainPath_, static_cast<unsigned>(member_));
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) ioFail("cannot create", path);
    paths_.push_back(path);
    lengths_.push_back(0);
}

void FileSetSink::nextMember() {
    out_.close();
    ++member_;
    openMember();
}

std::uint64_t FileSetSink::roomInMember() const {
    if (member_ < cuts_.size()) return cuts_[member_] - pos_;
    return std::numeric_limits<std::uint64_t>::max();
}

void FileSetSink::write(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        std::uint64_t room = roomInMember();
        if (room == 0) {
            nextMember();
            continue;
        }
        auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(room, n));
        out_.seekp(static_cast<std::streamoff>(lengths_.back()));
        out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(chunk));
        if (!out_) ioFail("cannot write", paths_.back());
        lengths_.back() += chunk;
        pos_ += chunk;
        data += chunk;
        n -= chunk;
    }
}

void FileSetSink::skip(std::uint64_t n) {
    while (n > 0) {
        std::uint64_t room = roomInMember();
        if (room == 0) {
            nextMember();
            continue;
        }
        std::uint64_t chunk = std::min(room, n);
        lengths_.back() += chunk;  // the gap is left for finish() to size
        pos_ += chunk;
        n -= chunk;
    }
}

std::vector<std::string> FileSetSink::finish() {
    finished_ = true;
    // Members that the bytes did not reach still exist, empty.
    while (member_ < cuts_.size()) nextMember();
    out_.close();
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        std::error_code ec;
        fs::resize_file(paths_[i], lengths_[i], ec);
        if (ec) ioFail("cannot size", paths_[i]);
    }
    return paths_;
}

WrittenSet writeFileSet(const BtrFile& file, const std::string& mainPath, const SetPlan& plan) {
    WrittenSet set;
    {
        FileSetSink sink(mainPath, plan.cuts);
        file.stream(sink);
        set.members = sink.finish();
    }
    std::error_code ec;
    for (unsigned k = static_cast<unsigned>(set.members.size()); k <= 128; ++k) {
        fs::remove(extensionName(mainPath, k), ec);
    }
    fs::remove(deltaName(mainPath), ec);
    if (plan.delta) {
        set.delta = deltaName(mainPath);
        writeFile(set.delta, plan.deltaSize, 0x44);
    }
    for (const auto& [k, size] : plan.strays) writeFile(extensionName(mainPath, k), size, 0x11);
    return set;
}

}  // namespace tbuild
