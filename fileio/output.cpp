#include "fileio/output.h"

#include <cstdio>

#include "fileio/platform.h"

namespace tabulon {

void Output::vprint(Stream stream, const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        va_end(again);
        write(stream, std::string_view(small, size_t(n)));
        return;
    }
    std::string large(size_t(n) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.resize(size_t(n));
    write(stream, large);
}

void Output::notice(const Notice& n) {
    if (n.flush & Notice::flushOutBefore) flush(Stream::Out);
    if (!n.text.empty()) write(n.stream, n.text);
    if (n.flush & Notice::flushAfter) flush(n.stream);
}

void NoticeSink::vemitf(NoticeKind kind, Stream stream, uint64_t value, uint8_t flush,
                        const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        va_end(again);
        notice(Notice{kind, stream, flush, value, std::string_view(small, size_t(n))});
        return;
    }
    std::string large(size_t(n) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.resize(size_t(n));
    notice(Notice{kind, stream, flush, value, large});
}

void NoticeSink::emitf(NoticeKind kind, Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vemitf(kind, stream, 0, 0, format, args);
    va_end(args);
}

void NoticeSink::emitf(NoticeKind kind, Stream stream, uint64_t value, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vemitf(kind, stream, value, 0, format, args);
    va_end(args);
}

void Output::print(Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(stream, format, args);
    va_end(args);
}

void Output::out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(Stream::Out, format, args);
    va_end(args);
}

void Output::err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(Stream::Err, format, args);
    va_end(args);
}

namespace {

// Standard output is written in pieces of at least this many bytes of whole
// lines when it shares its file with standard error.
constexpr size_t kHeldOutput = 64 * 1024;

FILE* fileOf(Stream stream) {
    return stream == Stream::Out ? stdout : stderr;
}

}  // namespace

StdioOutput::StdioOutput()
    : joined_(standardStreamsShareFile()), errTerminal_(standardErrorIsTerminal()) {
    setBinaryConsole();
#ifdef _WIN32
    console_[0] = standardOutputIsConsole();
    console_[1] = errTerminal_;
#endif
}

StdioOutput::~StdioOutput() {
    release(Stream::Out, true);
    release(Stream::Err, true);
}

void StdioOutput::write(Stream stream, std::string_view text) {
#ifdef _WIN32
    // A console would read UTF-8 bytes in its own code page, and the C
    // library hands them over one by one: it gets the text as UTF-16, after
    // whatever the library still holds.
    if (console_[stream == Stream::Out ? 0 : 1]) {
        std::fflush(fileOf(stream));
        if (writeConsole(stream == Stream::Err, text)) return;
    }
#endif
    if (!joined_) {
        std::fwrite(text.data(), 1, text.size(), fileOf(stream));
        return;
    }
    std::string& held = held_[stream == Stream::Out ? 0 : 1];
    held.append(text);
    if (stream == Stream::Err || held.size() >= kHeldOutput) release(stream, false);
}

void StdioOutput::flush(Stream stream) {
    if (joined_) {
        release(stream, false);
        return;
    }
    std::fflush(fileOf(stream));
}

void StdioOutput::release(Stream stream, bool all) {
    std::string& held = held_[stream == Stream::Out ? 0 : 1];
    const size_t end = all ? held.size() : held.rfind('\n') + 1;  // 0 when there is none
    if (end == 0 || held.empty()) return;
    std::fwrite(held.data(), 1, end, fileOf(stream));
    std::fflush(fileOf(stream));
    held.erase(0, end);
}

void BufferOutput::write(Stream stream, std::string_view text) {
    (stream == Stream::Out ? outText : errText).append(text);
    if (keepOrder) lines.emplace_back(stream, std::string(text));
}

}  // namespace tabulon
