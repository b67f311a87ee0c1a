// File and folder names as the inspector prints them. A name is the bytes the
// system gave, which need not be UTF-8 (a legacy Latin-1 name) and may hold
// control characters; each output form writes every name whole and distinct,
// and none lets a name break its lines:
//
// - JSON: valid UTF-8 as it is; each byte that is not part of valid UTF-8 as
//   the escape \udcXX, XX the byte in hex (the surrogate escape: a reader
//   that decodes the string and maps U+DC80..U+DCFF back to bytes gets the
//   name again; valid UTF-8 never yields such a code point).
// - Prometheus label values: the same, spelled out in the value (the six
//   characters \udcXX), with backslash, double quote and line feed escaped
//   as the exposition format requires.
// - Text (tables, plugin lines, messages, the HTML report): every C0
//   control, DEL and C1 control as an escape (\x1b, \x7f, \u009b), and each
//   byte that is not part of valid UTF-8 as \xNN.
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

// Names between the program, which holds them in UTF-8, and std::filesystem,
// whose paths hold UTF-16 on Windows: there a path made from a narrow string
// does not read it as UTF-8, and a path's own narrow texts fail on a name
// with a lone surrogate. On POSIX the bytes pass as they are.
std::filesystem::path fsPath(std::string_view utf8);
std::string pathText(const std::filesystem::path& p);
std::string genericPathText(const std::filesystem::path& p);  // with forward slashes

}  // namespace inspect
