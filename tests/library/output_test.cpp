// The output object's formatted lines, and the format-free lines of the
// repair path, print what the C library's formats print; an output file is
// replaced whole or not at all.
#include "fileio/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fileio/replace.h"
#include "support/forwarding_platform.h"
#include "support/scratch.h"

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

namespace {

// A failed write, flush or close of the new file leaves the old file as it
// was, the system's code and text in the status, and no temporary file.
TEST(ReplaceFile, AFailedStepKeepsTheOldFile) {
    enum class Step { Append, Flush, Close };
    struct Failing : ForwardingPlatform {
        Step step;
        uint32_t code;
        Failing(Step s, uint32_t c) : step(s), code(c) {}
        bool append(PlatformHandle h, const void* b, size_t n, uint32_t* error) override {
            return step != Step::Append ? next_.append(h, b, n, error) : (*error = code, false);
        }
        bool flush(PlatformHandle h, uint32_t* error) override {
            return step != Step::Flush ? next_.flush(h, error) : (*error = code, false);
        }
        bool closeWritten(PlatformHandle h, uint32_t* error) override {
            next_.close(h);
            return step != Step::Close || (*error = code, false);
        }
    };
    const Failing rows[] = {{Step::Append, ENOSPC}, {Step::Flush, EIO}, {Step::Close, EDQUOT}};
    for (Failing p : rows) {
        SCOPED_TRACE(p.code);
        ScratchDir scratch;
        const std::string path = scratch.path("out.prom");
        std::ofstream(path) << "old\n";
        const Status s = replaceFile(p, path, "new\n");
        EXPECT_EQ(s.failure, Failure::Write);
        EXPECT_EQ(s.code, p.code);
        EXPECT_EQ(s.text, p.errorText(p.code));
        std::ifstream in(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.path()), {}), 1);
    }
}

}  // namespace
