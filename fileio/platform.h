// The only door to the operating system: open an existing file with an access
// and sharing mode, create a new file and append to it, its size, positioned
// reads and writes, gathered reads, read-only views of a file, flush, close,
// and the system's text for an error code. One implementation
// per system (systemPlatform); tests stack their own over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

using PlatformHandle = intptr_t;
constexpr PlatformHandle kInvalidHandle = -1;

// Access and sharing of an open. Values other than Repair, Unprotected and
// SharedRead behave as ExclusiveRead.
enum OpenMode : int {
    ExclusiveRead = 0,  // read; no other opener at all
    Repair = 1,         // read and write; others may read
    Unprotected = 2,    // read; others may read, write and delete
    SharedRead = 3,     // read; others may read, nobody may write
};

// Added to a mode: the name must be a regular file itself. A symbolic link is
// not followed, and a folder, a device or a pipe is not opened; the open
// fails instead, with the system's code for a link or for a wrong kind of
// file.
constexpr int PlainFileOnly = 0x100;

// Added to a mode: no part of the name is a symbolic link. Each folder on the
// way is opened from the one before without following a link, and the file
// from the last of them; a link anywhere fails the open with the system's
// code for a link (or for a name that cannot be reached).
constexpr int NoLinkedFolders = 0x200;

// A file's identity on its system: device and file number on POSIX, volume
// serial number and file index on Windows. Two names with the same identity
// are the same file.
struct FileId {
    uint64_t device = 0;
    uint64_t file = 0;
    bool operator==(const FileId&) const = default;
};

// A read-only view of part of a file, made by Platform::mapView.
struct FileView {
    const uint8_t* bytes = nullptr;  // the file's byte at `offset`
    uint64_t offset = 0;
    size_t length = 0;
    void* mapping = nullptr;  // the binding's own record of the view
    size_t mappedLength = 0;
};

// What a look at a file saw of it: two looks that differ tell that the file
// changed in between.
struct FileStamp {
    uint64_t size = 0;
    int64_t modifiedNs = 0;  // modification time, nanoseconds since 1970
    int64_t changedNs = 0;   // status change time where the system keeps one (else 0)
    bool operator==(const FileStamp&) const = default;
};

class Platform {
  public:
    virtual ~Platform() = default;

    // Opens an existing regular file (never creates one, never waits for
    // one: a FIFO does not block the open). A folder or any other kind of
    // file (a FIFO, a socket, a device) is refused as a failed open with the
    // binding's one code for it. On failure returns false and sets *error to
    // the system's error code.
    virtual bool open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) = 0;

    // Creates a new file for writing, readable by others; fails when a file
    // of that name exists already (it is never replaced). The new name is
    // made durable before it returns: where the folder's entry cannot be
    // flushed, the new file is removed again and the create fails. On
    // failure returns false and sets *error to the system's error code.
    virtual bool create(const char* name, PlatformHandle* handle, uint32_t* error) = 0;

    // Writes all n bytes at the end of a file opened by create; false with
    // the system's error code when they could not all be written (the file
    // may then end with some of them).
    virtual bool append(PlatformHandle handle, const void* buffer, size_t n, uint32_t* error) = 0;

    // Size of the file in bytes (the position of its end). On failure
    // returns false and sets *error, when given, to the system's error code.
    virtual bool size(PlatformHandle handle, uint64_t* size, uint32_t* error = nullptr) = 0;

    // Positioned read and write of up to n bytes; *transferred tells how many
    // moved. False only when the call itself failed, with the system's error
    // code in *error when given.
    virtual bool readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                        size_t* transferred, uint32_t* error = nullptr) = 0;
    virtual bool writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                         size_t* transferred, uint32_t* error = nullptr) = 0;

    // Copies `width` bytes from each of `count` places of the file, `stride`
    // bytes apart and the first at `offset`, into `out` (count x width bytes,
    // back to back). Meant for one small field of many fixed-size records:
    // the file is read in large sequential pieces, not with one call per
    // place. False when any of those bytes lies past the end of the file or
    // cannot be read; `out` may then be partly filled.
    virtual bool gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride, size_t count,
                          size_t width, uint8_t* out) = 0;

    // Maps `length` bytes of the file from `offset`, which lie inside it, for
    // reading. False when the binding maps no file (or not this one); the
    // caller then reads the bytes instead. The view shows the file as it is
    // while the view lasts, and is read only inside readViews.
    virtual bool mapView(PlatformHandle handle, uint64_t offset, size_t length, FileView* view) {
        (void)handle;
        (void)offset;
        (void)length;
        (void)view;
        return false;
    }

    // Releases a view mapView made; it is empty afterwards.
    virtual void unmapView(FileView* view) { *view = FileView{}; }

    // Calls visit(context), which reads the bytes of views this binding made.
    // False when some of those bytes could not be read (the file was cut
    // short since): visit was then left part way, so it must own nothing
    // that a destructor would release.
    virtual bool readViews(void (*visit)(void*), void* context) {
        visit(context);
        return true;
    }

    // Forces written data to the disk. On failure returns false and sets
    // *error to the system's error code.
    virtual bool flush(PlatformHandle handle, uint32_t* error) = 0;

    virtual void close(PlatformHandle handle) = 0;

    // Closes a file written by create and tells whether the close itself
    // failed (a file system that reports a lost write only then); false with
    // the system's error code. The handle is gone either way.
    virtual bool closeWritten(PlatformHandle handle, uint32_t* error) {
        (void)error;
        close(handle);
        return true;
    }

    // The identity of an open file; false when the binding cannot tell it.
    virtual bool fileId(PlatformHandle handle, FileId* id) {
        (void)handle;
        (void)id;
        return false;
    }

    // The stamp of an open file; false when the binding cannot tell it.
    virtual bool stamp(PlatformHandle handle, FileStamp* stamp) {
        (void)handle;
        (void)stamp;
        return false;
    }

    // The system's message text for an error code, ending with its own line
    // break.
    virtual std::string errorText(uint32_t error) = 0;
};

// The full path of a name, its folders' links resolved, as the system would
// reach it; when the name does not exist (yet), its folder's full path and
// the name's last part. The name as given when neither can be resolved.
std::string resolvedPath(const std::string& name);

// The full path of an existing folder with every link on the way resolved;
// false when the folder cannot be reached.
bool finalFolderPath(const std::string& folder, std::string* path);

// Whether two names reach the same file, or would once created.
bool sameFile(const std::string& a, const std::string& b);

// Removes a file; false when it could not be removed.
bool removeFile(const std::string& name);

// The binding of this system. It holds no state: every caller may share it.
Platform& systemPlatform();

// Makes standard output and standard error write every byte as given: each
// line ends with its own "\n" or "\r\n", which a text-mode console stream
// would otherwise change. Nothing to do on POSIX.
void setBinaryConsole();

// Whether standard output and standard error lead to the same file or pipe
// (not a terminal): then a line of one may be cut by the other's bytes unless
// whole lines are written.
bool standardStreamsShareFile();

// Opens a name for reading without waiting for it (a FIFO does not block
// the open) and without taking a lock, keeps it only when the open handle is
// a regular file, and reads up to n of its first bytes from that handle;
// *got tells how many, *stamp what the handle saw. On failure returns false
// with the system's error code (the code for a wrong kind of file for a
// folder, a FIFO, a socket or a device).
bool readFileHead(const std::string& name, void* buffer, size_t n, size_t* got, FileStamp* stamp,
                  uint32_t* error);

// The stamp of a name, following links; false with the system's error code.
bool fileStampOf(const std::string& name, FileStamp* stamp, uint32_t* error);

// Gives a file a new name, replacing a file of that name in one step (a
// reader sees the old file or the new one); false with the system's error
// code.
bool renameFile(const std::string& from, const std::string& to, uint32_t* error);

// Whether standard error leads to a terminal (a console on Windows).
bool standardErrorIsTerminal();

// What a name is; a symbolic link (a reparse point on Windows) at its end is
// not followed.
enum class FileKind : uint8_t { Absent, Regular, Folder, Link, Device, Pipe, Other };

// The kind of the file a name gives; a name that does not exist, or whose
// folder does not, is Absent. False with the system's error code when the
// system cannot tell (a folder on the way that may not be searched).
bool fileKindOf(const std::string& name, FileKind* kind, uint32_t* error);

// What an open's error code means, in this system's codes: no such file or
// folder on the way; another opener holds the file in a mode that excludes
// this open.
bool isNotFound(uint32_t error);
bool isSharingConflict(uint32_t error);

// A word of a command line as this system's shell reads it back: a word of
// letters, digits and the path characters as it is, any other in POSIX
// single quotes (a quote in it as '\''), or in cmd.exe's double quotes (a
// Windows path holds none).
std::string commandWord(const std::string& word);

// Whether a path names its file from a root (a drive and its root, or a
// share on Windows), whatever folder it is used from.
bool isAbsolutePath(const std::string& path);

// A folder held open for a walk over folders that others may change: its
// entries are listed from the handle, and its files and subfolders are opened
// from it without following a symbolic link, so that a name that becomes a
// link between the listing and the open is refused, not followed.
using FolderHandle = intptr_t;
constexpr FolderHandle kInvalidFolder = -1;

// What an entry of a folder is, by itself: a link is a link, wherever it
// leads. Unknown: the system could not tell (the error code says why).
enum class EntryKind : uint8_t { File, Folder, Link, Other, Unknown };

// Opens a folder by its name as given (links on the way followed: the name
// is the caller's own). False with the system's code; the code for a wrong
// kind of file when the name is no folder.
bool openFolder(const std::string& name, FolderHandle* folder, uint32_t* error);

// Opens subfolder `name` of an open folder; a link there fails the open
// with the system's code for a link.
bool openSubfolder(FolderHandle parent, const std::string& name, FolderHandle* folder,
                   uint32_t* error);

// Calls f(name, kind, error) for every entry of the folder but "." and "..";
// error is the system's code when kind is Unknown (the entry's kind could not
// be read), else 0. False with the system's code when the listing failed
// (the entries listed before were handed over).
using FolderEntryFn = std::function<void(const std::string&, EntryKind, uint32_t)>;
bool listFolder(FolderHandle folder, const FolderEntryFn& f, uint32_t* error);

// Opens file `name` of an open folder as Platform::open does (access,
// sharing, only a regular file), never following a link: a link fails the
// open with the system's code for a link. The handle is for systemPlatform().
bool openInFolder(FolderHandle folder, const std::string& name, int mode, PlatformHandle* handle,
                  uint32_t* error);

// The identity of an open folder; false when the system cannot tell it.
bool folderId(FolderHandle folder, FileId* id);

void closeFolder(FolderHandle folder);

// Whether an error code is the system's refusal of a link where none is
// followed.
bool isLinkRefusal(uint32_t error);

// Whether an error code says a name is there but no folder.
bool isNotFolder(uint32_t error);

#ifdef _WIN32
// Windows only. Names and texts are UTF-8 in the program and UTF-16 at the
// system. A lone surrogate, which a Windows name may hold, is carried as the
// three bytes of its code point (not valid UTF-8: the outputs escape it) and
// back, so every name the system gives reaches the same file again; a byte
// of invalid UTF-8 becomes U+FFFD.
std::wstring utf16Of(std::string_view utf8);
std::string utf8Of(std::wstring_view utf16);

// The value of an environment variable in UTF-8; false when it is not set.
bool environmentValue(const char* name, std::string* value);

// Whether standard output is a console (standardErrorIsTerminal tells it
// for standard error).
bool standardOutputIsConsole();

// Writes UTF-8 text, whole characters, to the console of standard output or
// of standard error as UTF-16: every letter shows as itself, whatever the
// console's code page. False when it could not (part may be written).
bool writeConsole(bool toError, std::string_view utf8);

// The arguments of wmain (the command line as the system holds it, in
// UTF-16) in UTF-8, with an argv over them for the programs' run functions.
struct Utf8Arguments {
    Utf8Arguments(int argc, const wchar_t* const* wargv);
    Utf8Arguments(const Utf8Arguments&) = delete;
    Utf8Arguments& operator=(const Utf8Arguments&) = delete;
    std::vector<std::string> values;
    std::vector<const char*> argv;  // into values, then a null pointer
};
#endif
}  // namespace tabulon
