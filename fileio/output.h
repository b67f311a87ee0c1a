// Where the library's lines go. Every line the engine prints (results,
// announcements, progress, /D traces) is handed to an Output that the caller
// provides, with its stream: results on Out, announcements on Err. The tool
// binds it to standard output and standard error; other callers collect the
// lines or discard them.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class Stream { Out, Err };

#if defined(__GNUC__) && !defined(_WIN32)
#define TABULON_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TABULON_PRINTF(fmt, args)
#endif

class Output {
public:
    virtual ~Output() = default;
    virtual void write(Stream stream, std::string_view text) = 0;
    // Pushes what was written to the stream on to its reader, where the tool
    // must show it before what follows on the other stream.
    virtual void flush(Stream) {}

    // Formatted lines; the formats are the C library's.
    void out(const char* format, ...) TABULON_PRINTF(2, 3);
    void err(const char* format, ...) TABULON_PRINTF(2, 3);
    void print(Stream stream, const char* format, ...) TABULON_PRINTF(3, 4);
    void vprint(Stream stream, const char* format, va_list args);
};

// Standard output and standard error of the process.
class StdioOutput : public Output {
public:
    void write(Stream stream, std::string_view text) override;
    void flush(Stream stream) override;
};

// Keeps everything: each stream on its own, and both in the order written.
class BufferOutput : public Output {
public:
    void write(Stream stream, std::string_view text) override;
    std::string outText, errText;
    std::vector<std::pair<Stream, std::string>> lines;  // chunks in order
    bool keepOrder = false;                              // fill `lines` too
};

// Throws everything away, counting bytes per stream.
class NullOutput : public Output {
public:
    void write(Stream stream, std::string_view text) override {
        (stream == Stream::Out ? outBytes : errBytes) += text.size();
    }
    uint64_t outBytes = 0, errBytes = 0;
};
