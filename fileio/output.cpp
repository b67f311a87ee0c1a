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

StdioOutput::StdioOutput() {
    setBinaryConsole();
}

void StdioOutput::write(Stream stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream == Stream::Out ? stdout : stderr);
}

void StdioOutput::flush(Stream stream) {
    std::fflush(stream == Stream::Out ? stdout : stderr);
}

void BufferOutput::write(Stream stream, std::string_view text) {
    (stream == Stream::Out ? outText : errText).append(text);
    if (keepOrder) lines.emplace_back(stream, std::string(text));
}

}  // namespace tabulon
