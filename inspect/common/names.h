// File and folder names as the inspector prints them. A name is the bytes the
// system gave, which need not be UTF-8 (a legacy Latin-1 name) and may hold
// control characters; each output form writes every name whole and distinct
// (two names never print alike), and none lets a name break its lines or
// reorder the text around it:
//
// - Text (tables, plugin lines, messages, advice, the HTML report) and
//   Prometheus label values share one escaping, displayName: the backslash
//   itself as \\, every C0 control and DEL as \xNN, a C1 control or a
//   bidirectional control (U+061C, U+200E, U+200F, U+202A..U+202E,
//   U+2066..U+2069) as \uNNNN, and each byte that is not part of valid UTF-8
//   as \xNN. A label value is that text escaped once more as the exposition
//   format requires (backslash and double quote).
// - JSON: valid UTF-8 as it is, bidirectional controls as \uNNNN; each byte
//   that is not part of valid UTF-8 as the escape \udcXX, XX the byte in hex
//   (the surrogate escape: a reader that decodes the string and maps
//   U+DC80..U+DCFF back to bytes gets the name again; valid UTF-8 never
//   yields such a code point).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace inspect {

// The length of the valid UTF-8 sequence that starts at s[at] (1 to 4), or 0
// when the byte there begins none.
size_t utf8SequenceAt(std::string_view s, size_t at);

// The JSON string literal of s, quotes included, escaped as nlohmann-json
// escapes valid UTF-8 and with \udcXX for each byte of invalid UTF-8.
std::string jsonString(std::string_view s);

// A Prometheus label value of s (without its quotes).
std::string labelValue(std::string_view s);

// s for a terminal or a line-based text, no control character left.
std::string displayName(std::string_view s);

// The columns a terminal gives the text: a code point one, an East Asian wide
// or full-width one two, a combining mark none.
size_t displayWidth(std::string_view text);

// text with spaces after it up to `width` columns.
std::string padToWidth(std::string text, size_t width);

// Names between the program, which holds them in UTF-8, and std::filesystem,
// whose paths hold UTF-16 on Windows: there a path made from a narrow string
// does not read it as UTF-8, and a path's own narrow texts fail on a name
// with a lone surrogate. On POSIX the bytes pass as they are.
std::filesystem::path fsPath(std::string_view utf8);
std::string pathText(const std::filesystem::path& p);
std::string genericPathText(const std::filesystem::path& p);  // with forward slashes

}  // namespace inspect
