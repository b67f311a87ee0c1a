#include "inspect/names.h"

#include <cstdint>
#include <cstdio>

#include "fileio/platform.h"

namespace inspect {

namespace {

std::string escaped(const char* format, unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

// The code point of the valid sequence of n bytes at s[at].
uint32_t codePoint(std::string_view s, size_t at, size_t n) {
    const auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
    switch (n) {
        case 1: return b(0);
        case 2: return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
        case 3: return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
        default:
            return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
    }
}

}  // namespace

size_t utf8SequenceAt(std::string_view s, size_t at) {
    const uint8_t c = uint8_t(s[at]);
    if (c < 0x80) return 1;
    size_t n = 0;
    uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong form
        if (c == 0xED) hi = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (at + n > s.size()) return 0;
    for (size_t i = 1; i < n; ++i) {
        const uint8_t d = uint8_t(s[at + i]);
        if (d < (i == 1 ? lo : 0x80) || d > (i == 1 ? hi : 0xBF)) return 0;
    }
    return n;
}

std::string jsonString(std::string_view s) {
    std::string r = "\"";
    r.reserve(s.size() + 2);
    for (size_t at = 0; at < s.size();) {
        const size_t n = utf8SequenceAt(s, at);
        const uint8_t c = uint8_t(s[at]);
        if (n == 0) {
            r += escaped("\\udc%02x", c);
            ++at;
            continue;
        }
        switch (c) {
            case '"': r += "\\\""; break;
            case '\\': r += "\\\\"; break;
            case '\b': r += "\\b"; break;
            case '\f': r += "\\f"; break;
            case '\n': r += "\\n"; break;
            case '\r': r += "\\r"; break;
            case '\t': r += "\\t"; break;
            default:
                if (c < 0x20) {
                    r += escaped("\\u%04x", c);
                } else {
                    r.append(s.substr(at, n));
                }
        }
        at += n;
    }
    return r + "\"";
}

std::string labelValue(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t at = 0; at < s.size();) {
        const size_t n = utf8SequenceAt(s, at);
        const char c = s[at];
        if (n == 0) {
            r += escaped("\\\\udc%02x", uint8_t(c));
            ++at;
            continue;
        }
        if (c == '\\') {
            r += "\\\\";
        } else if (c == '"') {
            r += "\\\"";
        } else if (c == '\n') {
            r += "\\n";
        } else {
            r.append(s.substr(at, n));
        }
        at += n;
    }
    return r;
}

std::string displayName(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t at = 0; at < s.size();) {
        const size_t n = utf8SequenceAt(s, at);
        if (n == 0) {
            r += escaped("\\x%02x", uint8_t(s[at]));
            ++at;
            continue;
        }
        const uint32_t cp = codePoint(s, at, n);
        if (cp < 0x20 || cp == 0x7F) {
            r += escaped("\\x%02x", cp);
        } else if (cp >= 0x80 && cp <= 0x9F) {
            r += escaped("\\u%04x", cp);
        } else {
            r.append(s.substr(at, n));
        }
        at += n;
    }
    return r;
}

#ifdef _WIN32
std::filesystem::path fsPath(std::string_view utf8) {
    return std::filesystem::path(tabulon::utf16Of(utf8));
}

std::string pathText(const std::filesystem::path& p) {
    return tabulon::utf8Of(p.native());
}

std::string genericPathText(const std::filesystem::path& p) {
    return tabulon::utf8Of(p.generic_wstring());
}
#else
std::filesystem::path fsPath(std::string_view utf8) {
    return std::filesystem::path(utf8);
}

std::string pathText(const std::filesystem::path& p) {
    return p.native();
}

std::string genericPathText(const std::filesystem::path& p) {
    return p.generic_string();
}
#endif

}  // namespace inspect
