#include "inspect/common/names.h"

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

// The Bidi_Control code points: marks and embeddings that reorder the text
// around them on a terminal or a page.
bool bidiControl(uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// East Asian wide and full-width blocks, the common ones.
bool wide(uint32_t cp) {
    static constexpr uint32_t ranges[][2] = {
        {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF}, {0x3400, 0x4DBF},
        {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},
        {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F},
        {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
    };
    for (const auto& r : ranges) {
        if (cp >= r[0] && cp <= r[1]) return true;
    }
    return false;
}

bool combining(uint32_t cp) {
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
           (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) ||
           (cp >= 0xFE20 && cp <= 0xFE2F);
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
                } else if (n > 1 && bidiControl(codePoint(s, at, n))) {
                    r += escaped("\\u%04x", codePoint(s, at, n));
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
    for (char c : displayName(s)) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
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
        if (cp == '\\') {
            r += "\\\\";
        } else if (cp < 0x20 || cp == 0x7F) {
            r += escaped("\\x%02x", cp);
        } else if ((cp >= 0x80 && cp <= 0x9F) || bidiControl(cp)) {
            r += escaped("\\u%04x", cp);
        } else {
            r.append(s.substr(at, n));
        }
        at += n;
    }
    return r;
}

size_t displayWidth(std::string_view text) {
    size_t columns = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t n = utf8SequenceAt(text, at);
        if (n == 0) {
            ++columns;
            ++at;
            continue;
        }
        const uint32_t cp = codePoint(text, at, n);
        columns += combining(cp) ? 0 : wide(cp) ? 2 : 1;
        at += n;
    }
    return columns;
}

std::string padToWidth(std::string text, size_t width) {
    const size_t columns = displayWidth(text);
    if (columns < width) text.append(width - columns, ' ');
    return text;
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
