#include "support.h"

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

class OffsetMapping : public unit::Fresh {
protected:
    void setMembers(const std::vector<uint64_t>& sizes) {
        fileSet.memberCount = uint16_t(sizes.size());
        for (size_t i = 0; i < sizes.size(); ++i) fileSet.memberSizes[i] = sizes[i];
    }
    void expectMaps(uint64_t offset, uint16_t member, uint64_t rest) {
        uint16_t m = 0xFFFF;
        uint64_t r = 0;
        mapFileSetOffset(offset, &m, &r);
        EXPECT_EQ(m, member) << "offset " << offset;
        if (member < fileSet.memberCount) {
            EXPECT_EQ(r, rest) << "offset " << offset;
        }
    }
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
    setMembers(std::vector<uint64_t>(kMaxMembers, 10));
    expectMaps(1279, 127, 9);
    expectMaps(1280, 128, 0);  // no slot past the 128th is consulted
}

// A 5.x main file of 1000 bytes needs no second FCR copy, so it opens with
// any extension files beside it.
TEST_F(OffsetMapping, OpenJoinsExtensionsAndReadsStayInOneMember) {
    unit::ScratchDir dir;
    const std::string main = dir.path("orders.dat");
    unit::writeFile(main, unit::fcrImage(0x0500, 512, 512, 1000));
    Bytes ext1(1000), ext2(600);
    for (size_t i = 0; i < ext1.size(); ++i) ext1[i] = uint8_t(i);
    unit::writeFile(dir.path("orders.^01"), ext1);
    unit::writeFile(dir.path("orders.^02"), ext2);
    unit::writeFile(dir.path("orders.^04"), ext2);  // after the gap at .^03: not a member
    unit::writeFile(dir.path("orders.^^^"), Bytes(10));

    testing::internal::CaptureStderr();
    ASSERT_EQ(openFileSet(main.c_str(), ExclusiveRead), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Delta File Found and Opened!\r\n");
    EXPECT_EQ(fileSet.totalSectors, 1u + 1u + 1u);  // each member divided on its own
    EXPECT_EQ(fileSet.memberSizes[1], 1000u);
    EXPECT_EQ(fileSet.deltaSize, 10u);

    uint8_t buf[20];
    EXPECT_TRUE(readAt(1000, buf, 20));
    EXPECT_EQ(buf[5], 5);
    EXPECT_FALSE(readAt(990, buf, 20));  // not completed from the next member
    EXPECT_TRUE(readAt(2599, buf, 1));
    EXPECT_FALSE(readAt(2600, buf, 1));
}

}  // namespace
