// Errors as values: what failed, on which file, and the system's code and
// text. The library returns them; only the top of a program turns them into
// lines, with describe().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/geometry.h"

namespace tabulon {

enum class Failure : uint8_t {
    None,
    Open,        // a member could not be opened
    Size,        // the size of an open member could not be taken
    Read,        // a read failed or came back short
    Write,       // a write failed or wrote only part of its bytes
    Refused,     // a write not made: past the end of the set, or refused by an observer
    Flush,       // written data could not be forced to the disk
    NotBtrieve,  // the FCR is not one of a usable Btrieve file; reason says why
    Journal,     // an undo journal could not be created or written
    Damaged,     // the bytes are not what they claim to be (text: why)
};

struct Status {
    Status() = default;
    Status(Failure f, std::string file, uint32_t systemCode, std::string systemText)
        : failure(f), name(std::move(file)), code(systemCode), text(std::move(systemText)) {}

    Failure failure = Failure::None;
    std::string name;   // the file it concerns
    uint32_t code = 0;  // the system's error code (0 when the system reported none)
    // The system's text for the code, with its own line break; for
    // NotBtrieve the line that says so.
    std::string text;
    // Why the FCR is not usable, for NotBtrieve.
    FcrFault reason = FcrFault::None;
    // Further failures of the same step, in order: a close that could not
    // flush several members carries the first here and each other in more.
    std::vector<Status> more;

    bool ok() const { return failure == Failure::None; }
    explicit operator bool() const { return ok(); }
};

// Every failure a status carries, itself first; empty when it is ok.
std::vector<Status> failures(const Status& s);

// "<what>, Status Code N, <system text>": the line of a failure the system
// reported, the text with its own line break.
std::string describe(std::string_view what, const Status& s);

// The same with the words of the failure itself: "Failed to Open File
// <name>" for Open and Size, "Unable to write <name>", "Unable to flush
// <name>", "Unable to write undo journal <name>"; a NotBtrieve status is its
// own line.
std::string describe(const Status& s);

}  // namespace tabulon
