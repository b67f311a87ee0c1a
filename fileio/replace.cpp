#include "fileio/replace.h"

#include <cstdio>
#include <random>

namespace tabulon {

namespace {

// Tries at more names than a crowd of writers of one target could take at
// once, before the failure of the last create is taken as the answer.
constexpr int kTemporaryNames = 8;

std::string folderPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string lastPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status systemFailure(Platform& platform, const std::string& path, uint32_t code) {
    return Status(Failure::Write, path, code, platform.errorText(code));
}

// Why the name may not be replaced, or the system's failure to look; ok
// when it may be (absent or a regular file).
Status targetRefusal(Platform& platform, const std::string& path) {
    FileKind kind = FileKind::Absent;
    uint32_t code = 0;
    if (!fileKindOf(path, &kind, &code)) return systemFailure(platform, path, code);
    if (kind == FileKind::Absent || kind == FileKind::Regular) return Status();
    return Status(Failure::Refused, path, 0,
                  std::string(fileKindWords(kind)) + ", not a regular file\n");
}

// Creates the temporary file beside the target: a name no other file has.
Status createTemporary(Platform& platform, const std::string& path, std::string* temporary,
                       PlatformHandle* handle) {
    std::random_device random;
    uint32_t code = 0;
    for (int attempt = 0; attempt < kTemporaryNames; ++attempt) {
        char tag[32];
        std::snprintf(tag, sizeof tag, ".%08x.tmp", unsigned(random()));
        *temporary = folderPart(path) + "." + lastPart(path) + tag;
        if (platform.create(temporary->c_str(), handle, &code)) return Status();
        // Another name only when this one was taken.
        FileKind kind = FileKind::Absent;
        uint32_t ignored = 0;
        if (!fileKindOf(*temporary, &kind, &ignored) || kind == FileKind::Absent) break;
    }
    return systemFailure(platform, path, code);
}

}  // namespace

const char* fileKindWords(FileKind kind) {
    switch (kind) {
        case FileKind::Absent: return "no file";
        case FileKind::Regular: return "a regular file";
        case FileKind::Folder: return "a folder";
        case FileKind::Link: return "a symbolic link";
        case FileKind::Device: return "a device";
        case FileKind::Pipe: return "a FIFO";
        case FileKind::Other: return "a socket or other special file";
    }
    return "a special file";
}

Status replaceFile(Platform& platform, const std::string& path, std::string_view bytes) {
    if (Status refused = targetRefusal(platform, path); !refused) return refused;
    std::string temporary;
    PlatformHandle handle = kInvalidHandle;
    if (Status created = createTemporary(platform, path, &temporary, &handle); !created) {
        return created;
    }
    uint32_t code = 0;
    bool written =
        platform.append(handle, bytes.data(), bytes.size(), &code) && platform.flush(handle, &code);
    if (written) {
        written = platform.closeWritten(handle, &code);
    } else {
        platform.close(handle);
    }
    if (!written) {
        removeFile(temporary);
        return systemFailure(platform, path, code);
    }
    // Looked at again just before the rename: what came in the meantime is
    // not replaced either.
    Status refused = targetRefusal(platform, path);
    if (refused && !renameFile(temporary, path, &code)) {
        refused = systemFailure(platform, path, code);
    }
    if (!refused) removeFile(temporary);
    return refused;
}

}  // namespace tabulon
