// Errors as values: what failed, on which file, and the system's code and
// text. The library returns them; only the top of a program turns them into
// lines.
#pragma once

#include <cstdint>
#include <string>

namespace tabulon {

enum class Failure : uint8_t {
    None,
    Open,        // a member could not be opened
    Size,        // the size of an open member could not be taken
    Read,        // a read failed or came back short
    Write,       // a write failed or wrote only part of its bytes
    Refused,     // a write not made: past the end of the set, or refused by an observer
    Flush,       // written data could not be forced to the disk
    NotBtrieve,  // the FCR is not one of a usable Btrieve file
    Damaged,     // the bytes are not what they claim to be (text: why)
};

struct Status {
    Failure failure = Failure::None;
    std::string name;   // the file it concerns
    uint32_t code = 0;  // the system's error code (0 when the system reported none)
    // The system's text for the code, with its own line break; for
    // NotBtrieve the line that says why.
    std::string text;

    bool ok() const { return failure == Failure::None; }
    explicit operator bool() const { return ok(); }
};

// The line of a failure that carries a system error: what failed (for
// example "Unable to open <NAME>"), then ", Status Code N, " and the system's
// text with its line break.
inline std::string describe(const Status& s, const std::string& what) {
    return what + ", Status Code " + std::to_string(s.code) + ", " + s.text;
}

}  // namespace tabulon
