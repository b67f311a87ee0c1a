// Where a program's lines go: text with its stream, results on Out,
// announcements on Err. The tool binds it to standard output and standard
// error; other callers collect the lines or discard them. The library hands
// values to the program's renderer, which writes their text here.
#pragma once

#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fileio/notice.h"

namespace tabulon {

// A notice given to an Output becomes its console text, with the flushes it
// asks for.
class Output : public NoticeSink {
  public:
    virtual void write(Stream stream, std::string_view text) = 0;
    void notice(const Notice& n) override;
    // Pushes what was written to the stream on to its reader, where the tool
    // must show it before what follows on the other stream.
    virtual void flush(Stream) {}
    // Whether the stream leads to a terminal, where a line may be redrawn
    // in place (a progress line); never for a file, a pipe or a buffer.
    virtual bool terminal(Stream) const { return false; }

    // Formatted lines; the formats are the C library's.
    void out(const char* format, ...) TABULON_PRINTF(2, 3);
    void err(const char* format, ...) TABULON_PRINTF(2, 3);
    void print(Stream stream, const char* format, ...) TABULON_PRINTF(3, 4);
    void vprint(Stream stream, const char* format, va_list args);
};

// One line put together without a format parser, for the lines a repair
// prints for every entry it mends. hex(v, digits) writes v in lower-case
// hexadecimal with at least that many digits, as "%.8lx" does.
class Line {
  public:
    Line& text(std::string_view s) {
        const size_t n = s.size() < sizeof buffer_ - size_ ? s.size() : sizeof buffer_ - size_;
        if (n != 0) std::memcpy(buffer_ + size_, s.data(), n);
        size_ += n;
        return *this;
    }
    Line& hex(uint64_t v, int digits) {
        // The digits v needs, at least `digits`, at most 16; written from
        // the most significant one, as far as the buffer holds them.
        int n = (int(std::bit_width(v)) + 3) / 4;
        if (n < digits) n = digits;
        if (n < 1) n = 1;
        if (n > 16) n = 16;
        for (int i = n - 1; i >= 0 && size_ < sizeof buffer_; --i) {
            buffer_[size_++] = "0123456789abcdef"[(v >> (4 * i)) & 0xF];
        }
        return *this;
    }
    Line& decimal(uint64_t v) {
        char reversed[20];
        int n = 0;
        do {
            reversed[n++] = char('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0 && size_ < sizeof buffer_) buffer_[size_++] = reversed[--n];
        return *this;
    }
    std::string_view view() const { return std::string_view(buffer_, size_); }

  private:
    char buffer_[256];
    size_t size_ = 0;
};

// Standard output and standard error of the process, in binary mode.
//
// When both lead to the same file or pipe (`> log 2>&1`), a stream's bytes
// reach it in whole lines only: a line of one stream is never cut by a line
// of the other. Each stream keeps its unfinished last line back until its
// line end comes (or the object goes), and standard output is written a
// large piece of whole lines at a time, as a buffered stream would. The
// bytes of each stream and their order stay as they are.
class StdioOutput : public Output {
  public:
    StdioOutput();
    ~StdioOutput() override;
    StdioOutput(const StdioOutput&) = delete;
    StdioOutput& operator=(const StdioOutput&) = delete;
    void write(Stream stream, std::string_view text) override;
    // Pushes the stream on; when both streams share a file, up to its last
    // whole line.
    void flush(Stream stream) override;
    bool terminal(Stream stream) const override { return stream == Stream::Err && errTerminal_; }

  private:
    // Writes the held bytes of the stream up to and with its last line end
    // (all of them when `all`).
    void release(Stream stream, bool all);

    bool joined_ = false;
    bool errTerminal_ = false;
#ifdef _WIN32
    bool console_[2] = {false, false};  // a console, written as UTF-16
#endif
    std::string held_[2];
};

// Keeps everything: each stream on its own, and both in the order written.
class BufferOutput : public Output {
  public:
    void write(Stream stream, std::string_view text) override;
    std::string outText, errText;
    std::vector<std::pair<Stream, std::string>> lines;  // chunks in order
    bool keepOrder = false;                             // fill `lines` too
};

// Throws everything away, counting bytes per stream.
class NullOutput : public Output {
  public:
    void write(Stream stream, std::string_view text) override {
        (stream == Stream::Out ? outBytes : errBytes) += text.size();
    }
    uint64_t outBytes = 0, errBytes = 0;
};

}  // namespace tabulon
