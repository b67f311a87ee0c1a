// A program's output file (the companions' -o): written whole or not at all.
//
// The bytes go to a new file beside the target, made exclusively and never
// through a link, which is flushed and closed with every error checked and
// only then renamed over the target. A reader sees the old file or the whole
// new one; a full disk or a failed flush leaves the old file as it was. Only
// a regular file is replaced: a symbolic link (whose target would otherwise
// be left stale or, opened for writing, overwritten), a folder, a device or
// a pipe is refused before anything is written.
#pragma once

#include <string>
#include <string_view>

#include "fileio/platform.h"
#include "fileio/status.h"

namespace tabulon {

// Makes `path` a regular file that holds `bytes`, replacing a regular file of
// that name. On failure nothing at `path` changed and the status says why:
// Refused with the kind of file found there in `text` ("a symbolic link"),
// or Write with the system's code and text of the step that failed (looking
// at the target, creating, writing, flushing or closing the temporary file,
// or the rename).
Status replaceFile(Platform& platform, const std::string& path, std::string_view bytes);

// "a folder", "a device", ...: what a refused target is, in words.
const char* fileKindWords(FileKind kind);

}  // namespace tabulon
