// The output object's formatted lines, and the format-free lines of the
// repair path, print what the C library's formats print.
#include "fileio/output.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>

using namespace tabulon;

namespace {

TEST(Line, HexMatchesPrintfPrecision) {
    const uint64_t values[] = {0,       1,          0xF,         0x10,         0xABCD,
                               0x12345, 0xFFFFFFFF, 0x100000000, 0x123456789A, UINT64_MAX};
    for (uint64_t v : values) {
        for (int digits : {4, 8, 10}) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "<%.*" PRIx64 ">", digits, v);
            Line line;
            line.text("<").hex(v, digits).text(">");
            EXPECT_EQ(std::string(line.view()), expected) << v << " " << digits;
        }
    }
}

TEST(Line, StopsAtItsCapacityInsteadOfOverrunning) {
    Line line;
    const std::string chunk(100, 'x');
    for (int i = 0; i < 5; ++i) line.text(chunk).hex(0xDEAD, 8);
    EXPECT_EQ(line.view().size(), 256u);
}

TEST(BufferOutput, KeepsStreamsApartAndLongLinesWhole) {
    BufferOutput out;
    out.keepOrder = true;
    const std::string path(600, 'p');
    out.out("Scanning file %s for PAT inconsistencies...\n\n", path.c_str());
    out.err("Checking PAT Pair 0x%.6lx", 0x2Aul);
    out.write(Stream::Err, "...\n");
    EXPECT_EQ(out.outText, "Scanning file " + path + " for PAT inconsistencies...\n\n");
    EXPECT_EQ(out.errText, "Checking PAT Pair 0x00002a...\n");
    ASSERT_EQ(out.lines.size(), 3u);
    EXPECT_EQ(out.lines[0].first, Stream::Out);
    EXPECT_EQ(out.lines[2].second, "...\n");
}

}  // namespace
