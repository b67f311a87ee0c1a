#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "check/commandline.h"

using namespace tabulon;

namespace {

struct OptionCase {
    const char* name;
    std::vector<const char*> args;  // after the program name
    ScanOptions expect;
    std::vector<std::string> notices;
    std::string path = "a.dat";
};

auto fields(const ScanOptions& o) {
    return std::tie(o.verbose, o.progress, o.showOffsets, o.checkZeroPointers, o.unprotected,
                    o.fixMask, o.startPair);
}

const char* const kBackup = "I sure hope you had a backup....\n";

const OptionCase kOptionCases[] = {
    {"PathOnly", {"a.dat"}, {}, {}},
    {"FourFlags", {"a.dat", "/D", "/R", "/O", "/U"},
     {.verbose = 1, .progress = 0, .showOffsets = 1, .unprotected = 1}, {}},
    {"LowerCaseAndDash", {"a.dat", "-r", "/o", "-z"},
     {.progress = 0, .showOffsets = 1, .checkZeroPointers = 1}, {}},
    {"OnlyFirstLetterCounts", {"a.dat", "/DX", "/Q", "/Rubbish"},
     {.verbose = 1, .progress = 0}, {}},
    {"BareSlashIsIgnored", {"a.dat", "/", "-"}, {}, {}},
    {"NotAnOptionIsSkipped", {"a.dat", "D", "F9"}, {}, {}},
    {"LeftmostFixWins", {"a.dat", "/F3", "/F8"}, {.fixMask = 3},
     {kBackup, kBackup}},
    {"LeftmostStartWinsNoticesReversed", {"a.dat", "/S5", "/S9"}, {.startPair = 5},
     {"Starting at PAT Pair 9....\n", "Starting at PAT Pair 5....\n"}},
    {"NoticesInReverseOrder", {"a.dat", "/F1", "/S2"}, {.fixMask = 1, .startPair = 2},
     {"Starting at PAT Pair 2....\n", kBackup}},
    {"FixWithoutDigitsIsZero", {"a.dat", "/F"}, {}, {kBackup}},
    {"FixWithLettersIsZero", {"a.dat", "/Fabc"}, {}, {kBackup}},
    {"NegativeFix", {"a.dat", "/f-1"}, {.fixMask = -1}, {kBackup}},
    {"LeadingBlankAndSign", {"a.dat", "/F 12", "/S+7x"}, {.fixMask = 12, .startPair = 7},
     {"Starting at PAT Pair 7....\n", kBackup}},
    {"StartClampsHigh", {"a.dat", "/S99999999999"}, {.startPair = 2147483647},
     {"Starting at PAT Pair 2147483647....\n"}},
    {"StartClampsLow", {"a.dat", "/s-99999999999"}, {.startPair = 0x80000000u},
     {"Starting at PAT Pair -2147483648....\n"}},
    {"StartZero", {"a.dat", "/S0"}, {.startPair = 0}, {"Starting at PAT Pair 0....\n"}},
    {"FiveArguments", {"a.dat", "/R", "/R", "/R", "/D"}, {.verbose = 1, .progress = 0}, {}},
    {"QuestionMarkLaterIsNoUsage", {"a.dat", "/?"}, {}, {}},
    {"DashPathIsAlsoAnOption", {"-r.dat"}, {.progress = 0}, {}, "-r.dat"},
#ifndef _WIN32
    // An absolute path begins with '/': as the first argument it is the path only.
    {"SlashPathIsPathOnly", {"/data/x.dat", "/O"}, {.showOffsets = 1}, {}, "/data/x.dat"},
#endif
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionScan : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionScan, ReadsOptionsAndNotices) {
    const OptionCase& c = GetParam();
    std::vector<const char*> argv{"tabulon"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine cl = parseCommandLine(int(argv.size()), argv.data());
    ASSERT_FALSE(cl.showUsage);
    EXPECT_EQ(fields(cl.options), fields(c.expect));
    EXPECT_EQ(cl.notices, c.notices);
    EXPECT_EQ(cl.path, c.path);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionScan, ::testing::ValuesIn(kOptionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OptionScan, UnusableCommandLinesShowUsage) {
    const std::vector<std::vector<const char*>> cases = {
        {},
        {"a", "/R", "/R", "/R", "/R", "/R"},
        {"?"},
        {"?x"},
        {"/?"},
        {"-?"},
        {"a?", "/R"},
    };
    for (const auto& args : cases) {
        std::vector<const char*> argv{"tabulon"};
        argv.insert(argv.end(), args.begin(), args.end());
        CommandLine cl = parseCommandLine(int(argv.size()), argv.data());
        EXPECT_TRUE(cl.showUsage) << args.size() << " arguments, first " << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(cl.notices.empty());
    }
}

}  // namespace
