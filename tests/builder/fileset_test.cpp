// Member naming and writing a file set across extension files.
#include "builder/fileset.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace tbuild {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = fs::temp_directory_path() /
                ("tbuild-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

TEST(MemberNames, CutAtTheLastDot) {
    EXPECT_EQ(extensionName("DATA/ORDERS.DAT", 1), "DATA/ORDERS.^01");
    EXPECT_EQ(extensionName("DATA/ORDERS.DAT", 10), "DATA/ORDERS.^0a");
    EXPECT_EQ(extensionName("DATA/ORDERS.DAT", 127), "DATA/ORDERS.^7f");
    EXPECT_EQ(extensionName("DATA", 1), "DATA.^01");
    EXPECT_EQ(extensionName("V1.0/DATA", 1), "V1.^01");
    EXPECT_EQ(deltaName("DATA/ORDERS.DAT"), "DATA/ORDERS.^^^");
    EXPECT_EQ(deltaName("DATA"), "DATA.^^^");
}

BtrFile sampleFile() {
    FileParams s;
    s.storedVersion = 0x0800;
    s.pageSize = 1024;
    s.logicalPages = 400;
    return makeHealthy(s);
}

TEST(WriteSet, MembersConcatenateToTheImage) {
    TempDir dir;
    BtrFile f = sampleFile();
    std::string main = dir.file("ORDERS.DAT");
    // A stale member from an earlier, longer set must go.
    std::ofstream(dir.file("ORDERS.^04")) << "old";
    SetPlan plan;
    plan.cuts = {5000, 5000, 12345};
    plan.delta = true;
    plan.deltaSize = 100;
    plan.strays = {{6, 33}};
    WrittenSet set = writeFileSet(f, main, plan);
    ASSERT_EQ(set.members.size(), 4u);
    EXPECT_EQ(set.members[1], dir.file("ORDERS.^01"));
    EXPECT_EQ(set.members[3], dir.file("ORDERS.^03"));
    EXPECT_EQ(fs::file_size(set.members[0]), 5000u);
    EXPECT_EQ(fs::file_size(set.members[1]), 0u);
    EXPECT_EQ(fs::file_size(set.members[2]), 12345u - 5000u);
    std::vector<std::uint8_t> all;
    for (const auto& m : set.members) {
        auto part = slurp(m);
        all.insert(all.end(), part.begin(), part.end());
    }
    EXPECT_EQ(all, f.bytes());
    EXPECT_FALSE(fs::exists(dir.file("ORDERS.^04")));
    EXPECT_EQ(set.delta, dir.file("ORDERS.^^^"));
    EXPECT_EQ(fs::file_size(set.delta), 100u);
    EXPECT_EQ(fs::file_size(dir.file("ORDERS.^06")), 33u);
}

TEST(WriteSet, CutsPastTheEndMakeEmptyMembers) {
    TempDir dir;
    BtrFile f = sampleFile();
    SetPlan plan;
    plan.cuts = {f.size(), f.size() + 100};
    WrittenSet set = writeFileSet(f, dir.file("A.DAT"), plan);
    ASSERT_EQ(set.members.size(), 3u);
    EXPECT_EQ(fs::file_size(set.members[0]), f.size());
    EXPECT_EQ(fs::file_size(set.members[1]), 0u);
    EXPECT_EQ(fs::file_size(set.members[2]), 0u);
    EXPECT_FALSE(fs::exists(dir.file("A.^^^")));
}

TEST(WriteSet, LongZeroTailIsSizedExactly) {
    TempDir dir;
    BtrFile f = sampleFile();
    std::uint64_t size = f.size() + (std::uint64_t{48} << 20) + 77;
    f.setSize(size);
    SetPlan plan;
    plan.cuts = {f.size() - 3000};
    WrittenSet set = writeFileSet(f, dir.file("BIG.DAT"), plan);
    EXPECT_EQ(fs::file_size(set.members[0]) + fs::file_size(set.members[1]), size);
    EXPECT_EQ(fs::file_size(set.members[1]), 3000u);
}

TEST(WriteSet, RejectsDecreasingCuts) {
    TempDir dir;
    SetPlan plan;
    plan.cuts = {2000, 1000};
    EXPECT_THROW(writeFileSet(sampleFile(), dir.file("X.DAT"), plan), std::runtime_error);
}

}  // namespace
}  // namespace tbuild
