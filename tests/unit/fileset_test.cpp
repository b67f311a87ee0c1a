#include <algorithm>

#include "fileio/fileset.h"
#include "support.h"

using namespace tabulon;

namespace {

using unit::Bytes;

TEST(MemberName, DerivesExtensionAndDeltaNames) {
    struct Case {
        const char* path;
        int k;
        const char* name;
    };
    const Case cases[] = {
        {"DATA/ORDERS.DAT", 0, "DATA/ORDERS.DAT"},  {"DATA/ORDERS.DAT", 1, "DATA/ORDERS.^01"},
        {"DATA/ORDERS.DAT", 10, "DATA/ORDERS.^0a"}, {"DATA/ORDERS.DAT", 127, "DATA/ORDERS.^7f"},
        {"DATA/ORDERS.DAT", kDeltaMember, "DATA/ORDERS.^^^"},
        {"a.b.c", 2, "a.b.^02"},                    {"DATA", 1, "DATA.^01"},
        {"DATA", kDeltaMember, "DATA.^^^"},         {"V1.0/DATA", 1, "V1.^01"},
        {"V1.0/DATA", kDeltaMember, "V1.^^^"},
    };
    for (const Case& c : cases) {
        std::string name;
        ASSERT_TRUE(memberName(c.path, c.k, &name)) << c.path << ' ' << c.k;
        EXPECT_EQ(name, c.name);
    }
}

TEST(MemberName, RefusesNamesOver254Characters) {
    std::string name;
    const std::string noDot(254, 'x');
    EXPECT_TRUE(memberName(noDot, 0, &name));
    EXPECT_FALSE(memberName(noDot, 1, &name));  // 258 characters
    EXPECT_FALSE(memberName(noDot, kDeltaMember, &name));
    EXPECT_FALSE(memberName(noDot + "y", 0, &name));
    const std::string dotted = std::string(250, 'x') + ".dat";  // 254 characters
    EXPECT_TRUE(memberName(dotted, 127, &name));
    EXPECT_EQ(name.size(), 254u);
}

// A file set of members with the given sizes, opened as it is: no FCR is
// read, so the bytes do not matter.
class OffsetMapping : public ::testing::Test {
protected:
    void setMembers(const std::vector<uint64_t>& sizes) {
        for (size_t k = 0; k < sizes.size(); ++k) {
            std::string name;
            ASSERT_TRUE(memberName(path(), int(k), &name));
            unit::writeFile(name, Bytes(sizes[k], 0x11));
        }
        ASSERT_TRUE(set.open(path(), ExclusiveRead, out, false).ok());
        ASSERT_EQ(set.memberCount(), sizes.size());
        EXPECT_EQ(out.errText, "");
    }
    void expectMaps(uint64_t offset, uint16_t member, uint64_t rest) {
        uint16_t m = 0xFFFF;
        uint64_t r = 0;
        set.mapOffset(offset, &m, &r);
        EXPECT_EQ(m, member) << "offset " << offset;
        if (member < set.memberCount()) {
            EXPECT_EQ(r, rest) << "offset " << offset;
        }
    }
    std::string path() const { return dir.path("m.dat"); }

    unit::ScratchDir dir;
    BufferOutput out;
    FileSet set{systemPlatform()};
};

TEST_F(OffsetMapping, OffsetsFallIntoTheMemberThatHoldsThem) {
    setMembers({1000, 3000});
    expectMaps(0, 0, 0);
    expectMaps(999, 0, 999);
    expectMaps(1000, 1, 0);
    expectMaps(3999, 1, 2999);
    expectMaps(4000, 2, 0);  // the end of the set: member == memberCount
    expectMaps(UINT64_MAX, 2, 0);
}

TEST_F(OffsetMapping, EmptyMemberIsPassedOver) {
    setMembers({1000, 0, 500});
    expectMaps(1000, 2, 0);
    expectMaps(1499, 2, 499);
    expectMaps(1500, 3, 0);
}

TEST_F(OffsetMapping, FullSetOf128MembersEndsAtMemberCount) {
    // A file named like a 129th member is never opened.
    unit::writeFile(dir.path("m.^80"), Bytes(10));
    setMembers(std::vector<uint64_t>(kMaxMembers, 10));
    EXPECT_EQ(set.memberCount(), kMaxMembers);
    expectMaps(1279, 127, 9);
    expectMaps(1280, 128, 0);  // no slot past the 128th is consulted
}

// A 5.x main file of 1000 bytes needs no second FCR copy, so it opens with
// any extension files beside it.
TEST(FileSetReads, OpenJoinsExtensionsAndReadsStayInOneMember) {
    unit::ScratchDir dir;
    const std::string main = dir.path("orders.dat");
    unit::writeFile(main, unit::fcrImage(0x0500, 512, 512, 1000));
    Bytes ext1(1000), ext2(600);
    for (size_t i = 0; i < ext1.size(); ++i) ext1[i] = uint8_t(i);
    unit::writeFile(dir.path("orders.^01"), ext1);
    unit::writeFile(dir.path("orders.^02"), ext2);
    unit::writeFile(dir.path("orders.^04"), ext2);  // after the gap at .^03: not a member
    unit::writeFile(dir.path("orders.^^^"), Bytes(10));

    unit::Opened o(main, ExclusiveRead);
    ASSERT_EQ(o.members, 3);
    FileSet& set = o.file.fileSet();
    // The open prints nothing; the tool's notice comes from the set.
    EXPECT_EQ(o.out.errText, "");
    EXPECT_TRUE(o.status.ok());
    EXPECT_EQ(openReport(set, o.status, false), "Delta File Found and Opened!\r\n");
    EXPECT_EQ(set.totalSectors(), 1u + 1u + 1u);  // each member divided on its own
    EXPECT_EQ(set.memberSize(1), 1000u);
    EXPECT_EQ(set.deltaSize(), 10u);

    uint8_t buf[20];
    EXPECT_TRUE(set.readAt(1000, buf, 20));
    EXPECT_EQ(buf[5], 5);
    EXPECT_FALSE(set.readAt(990, buf, 20));  // not completed from the next member
    EXPECT_TRUE(set.readAt(2599, buf, 1));
    EXPECT_FALSE(set.readAt(2600, buf, 1));

    // A read of some bytes takes what the member holds from the offset on.
    struct Case {
        uint64_t offset;
        size_t want;
        bool ok;
        size_t got;
        uint8_t first;
    };
    const Case cases[] = {
        {1990, 20, true, 10, uint8_t(990)},  // the rest of member 1 only
        {1000, 20, true, 20, 0},
        {2599, 5, true, 1, 0},               // the last byte of the set
        {2600, 5, false, 0, 0},              // past the end: nothing
        {UINT64_MAX, 1, false, 0, 0},
    };
    for (const Case& c : cases) {
        size_t got = 99;
        buf[0] = 0xEE;
        EXPECT_EQ(set.readSomeAt(c.offset, buf, c.want, &got), c.ok) << c.offset;
        EXPECT_EQ(got, c.got) << c.offset;
        if (c.got) {
            EXPECT_EQ(buf[0], c.first) << c.offset;
        }
    }
}

// The FCR's copies are read from the member that holds their first byte: a
// second copy that does not lie wholly in one member is refused, and the line
// tells whether it began inside the set at all.
TEST(FileSetReads, FcrCopiesComeWhollyFromOneMember) {
    struct Case {
        const char* name;
        std::vector<size_t> members;  // sizes; the bytes are one 0x0800 image
        const char* err;
        FcrFault reason;
    };
    // Page size 1024: each FCR copy is 2048 bytes, the second at 2048.
    const Case cases[] = {
        {"FirstCopyUnderOneSector", {511}, "Not a Btrieve File!\n", FcrFault::TooShort},
        // the second copy lies in member 1
        {"FirstCopyOfOneSector", {512, 3584}, "", FcrFault::None},
        {"SecondCopyAbsent", {2048}, "Not a Btrieve File....\n", FcrFault::SecondCopyAbsent},
        {"SecondCopyAbsentEmptyMemberAfter", {2048, 0}, "Not a Btrieve File....\n",
         FcrFault::SecondCopyAbsent},
        {"SecondCopyShort", {4095}, "Not a Btrieve File.....\n", FcrFault::SecondCopyShort},
        {"SecondCopyAcrossMembers", {3000, 2000}, "Not a Btrieve File.....\n",
         FcrFault::SecondCopyShort},
        {"SecondCopyInNextMember", {2048, 2048}, "", FcrFault::None},
        {"Whole", {4096}, "", FcrFault::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unit::ScratchDir dir;
        size_t total = 0;
        for (size_t m : c.members) total += m;
        const Bytes image = unit::fcrImage(0x0800, 1024, 2048, std::max<size_t>(total, 4096));
        size_t at = 0;
        for (size_t k = 0; k < c.members.size(); ++k) {
            std::string name;
            ASSERT_TRUE(memberName(dir.path("f.dat"), int(k), &name));
            unit::writeFile(name, Bytes(image.begin() + long(at), image.begin() + long(at + c.members[k])));
            at += c.members[k];
        }
        unit::Opened o(dir.path("f.dat"), ExclusiveRead);
        EXPECT_EQ(o.members, *c.err ? 0 : int(c.members.size()));
        EXPECT_EQ(o.status.text, c.err);
        EXPECT_EQ(o.status.failure, *c.err ? tabulon::Failure::NotBtrieve : tabulon::Failure::None);
        EXPECT_EQ(o.status.reason, c.reason);
        EXPECT_EQ(describe(o.status), c.err);
    }
}

}  // namespace

namespace {

// The set's sector total is 64-bit: members of 2 TiB and more do not wrap
// it (they are sparse here).
TEST(FileSetReads, SectorTotalPast2TiB) {
    unit::ScratchDir dir;
    const std::string main = dir.path("big.dat");
    unit::writeFile(main, unit::fcrImage(0x0700, 4096, 4096, 16384));
    const uint64_t size = (uint64_t(3) << 40) + 4096;
    std::filesystem::resize_file(main, size);
    unit::writeFile(dir.path("big.^01"), Bytes(1024));
    unit::Opened o(main, ExclusiveRead);
    ASSERT_EQ(o.members, 2);
    EXPECT_EQ(o.file.fileSet().totalSectors(), size / 512 + 2);
}

}  // namespace
