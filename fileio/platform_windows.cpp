// Windows binding of the platform layer (KERNEL32), all calls synchronous.
//
// Every name crosses to the system in UTF-16 through the wide ("W") calls:
// the program holds names in UTF-8, and the ANSI calls would read them in the
// system's legacy code page, which cannot spell most of them.
//
// The three open modes are the system's own sharing modes, so a conflicting
// opener, this tool or any other program, is refused by the system itself
// with ERROR_SHARING_VIOLATION (32).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <string_view>

#include "fileio/gather.h"
#include "fileio/platform.h"

namespace tabulon {

namespace {

// Appends the UTF-8 bytes of code point cp.
void putUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | cp >> 6);
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | cp >> 12);
        *out += char(0x80 | (cp >> 6 & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | cp >> 18);
        *out += char(0x80 | (cp >> 12 & 0x3F));
        *out += char(0x80 | (cp >> 6 & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

// The code point of the sequence at s[at] and its length in bytes; a
// surrogate's three bytes are taken too. Length 0 when no sequence starts
// there.
size_t utf8At(std::string_view s, size_t at, uint32_t* cp) {
    const uint8_t c = uint8_t(s[at]);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    // The length of the sequence a first byte begins, its bits, and the least
    // code point of that length (a smaller one is an overlong form).
    const size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || at + n > s.size()) return 0;
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const uint32_t min = kLeast[n];
    *cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const uint8_t d = uint8_t(s[at + i]);
        if ((d & 0xC0) != 0x80) return 0;
        *cp = *cp << 6 | (d & 0x3F);
    }
    return *cp >= min && *cp <= 0x10FFFF ? n : 0;
}

HANDLE toHandle(PlatformHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// A text the system writes into a buffer: fill(buffer, size) returns its
// length, or the size it needs (its terminating zero counted) when the
// buffer is too small, or 0 on failure (with the code in GetLastError).
template <class Fill>
bool systemText(Fill fill, std::wstring* text) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n = fill(buffer.data(), DWORD(buffer.size()));
        if (n == 0) {
            text->clear();
            return false;
        }
        if (n < buffer.size()) {
            *text = buffer.substr(0, n);
            return true;
        }
        buffer.assign(n, L'\0');
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

// A single ReadFile or WriteFile moves at most a DWORD's worth of bytes.
constexpr size_t kMaxTransfer = 0xFFFFFFFFu;

class WindowsPlatform final : public Platform {
  public:
    bool open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) override;
    bool create(const char* name, PlatformHandle* handle, uint32_t* error) override;
    bool append(PlatformHandle handle, const void* buffer, size_t n, uint32_t* error) override;
    bool size(PlatformHandle handle, uint64_t* size, uint32_t* error) override;
    bool readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n, size_t* transferred,
                uint32_t* error) override;
    bool writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                 size_t* transferred, uint32_t* error) override;
    bool gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride, size_t count,
                  size_t width, uint8_t* out) override;
    bool flush(PlatformHandle handle, uint32_t* error) override;
    void close(PlatformHandle handle) override;
    bool closeWritten(PlatformHandle handle, uint32_t* error) override;
    bool fileId(PlatformHandle handle, FileId* id) override;
    bool stamp(PlatformHandle handle, FileStamp* stamp) override;
    std::string errorText(uint32_t error) override;
};

// The path the system reached an open handle by, every link resolved, without
// the "\\?\" prefix (a share's "\\?\UNC\" becomes "\\").
bool finalPathOf(HANDLE h, std::wstring* path) {
    std::wstring s;
    const bool ok = systemText(
        [&](wchar_t* b, DWORD n) {
            return GetFinalPathNameByHandleW(h, b, n, FILE_NAME_NORMALIZED);
        },
        &s);
    if (!ok) return false;
    if (s.starts_with(L"\\\\?\\UNC\\")) {
        s = L"\\\\" + s.substr(8);
    } else if (s.starts_with(L"\\\\?\\")) {
        s = s.substr(4);
    }
    *path = s;
    return true;
}

// The full path of a name, its folders' "." and ".." taken away; false when
// the system cannot tell it.
bool fullPathOf(const std::wstring& name, std::wstring* path) {
    return systemText(
        [&](wchar_t* b, DWORD n) { return GetFullPathNameW(name.c_str(), n, b, nullptr); }, path);
}

// Whether two paths name the same place: Windows compares names without
// regard to case, by its own table of capitals, not by any language's rules.
bool samePathText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The final path of an existing folder ("." when empty), as finalPathOf.
bool finalFolderOf(const std::wstring& folder, std::wstring* path) {
    // A folder is opened as a handle only with backup semantics.
    HANDLE h = CreateFileW(folder.empty() ? L"." : folder.c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != FALSE &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && finalPathOf(h, path);
    CloseHandle(h);
    return ok;
}

// Whether the handle was reached by the name itself, no link or junction on
// the way: its final path is the name's own. A relative name is taken from
// the final path of the current folder (a mapped drive or a folder reached
// through a junction before it is no part of the name); an absolute one is
// its full path.
bool reachedWithoutLinks(HANDLE h, const std::wstring& name) {
    std::wstring given = name, reached, full;
    for (wchar_t& c : given) {
        if (c == L'/') c = L'\\';
    }
    const bool relative =
        !given.empty() && given[0] != L'\\' && !(given.size() > 1 && given[1] == L':');
    if (relative) {
        if (!finalFolderOf(L".", &full)) return false;
        size_t start = 0;
        while (start <= given.size()) {
            size_t end = given.find(L'\\', start);
            if (end == std::wstring::npos) end = given.size();
            const std::wstring part = given.substr(start, end - start);
            if (!part.empty() && part != L".") full += (full.ends_with(L'\\') ? L"" : L"\\") + part;
            start = end + 1;
        }
    } else if (!fullPathOf(given, &full)) {
        return false;
    }
    return finalPathOf(h, &reached) && samePathText(full, reached);
}

bool WindowsPlatform::open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) {
    const bool plainOnly = (mode & PlainFileOnly) != 0;
    const bool noLinks = (mode & NoLinkedFolders) != 0;
    mode &= ~(PlainFileOnly | NoLinkedFolders);
    DWORD access = GENERIC_READ;
    DWORD share = 0;
    if (mode == Repair) {
        access = GENERIC_READ | GENERIC_WRITE;
        share = FILE_SHARE_READ;
    } else if (mode == Unprotected) {
        share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    } else if (mode == SharedRead) {
        share = FILE_SHARE_READ;
    }
    // A link is opened as itself (not followed) so that it can be refused.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (plainOnly ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const std::wstring wide = utf16Of(name);
    HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = uint32_t(GetLastError());
        return false;
    }
    // Only a file on a disk is kept: a pipe, a console or another character
    // device has no positions to read at.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        *error = uint32_t(ERROR_NOT_SUPPORTED);
        return false;
    }
    // A set named by an undo journal must be plain files: no link, no folder.
    if (plainOnly) {
        BY_HANDLE_FILE_INFORMATION info;
        const bool plain = GetFileInformationByHandle(h, &info) != FALSE &&
                           (info.dwFileAttributes &
                            (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
        if (!plain) {
            CloseHandle(h);
            *error = uint32_t(ERROR_CANT_ACCESS_FILE);
            return false;
        }
    }
    // A folder on the way that is a link or junction shows in the path the
    // system reached the file by.
    if (noLinks && !reachedWithoutLinks(h, wide)) {
        CloseHandle(h);
        *error = uint32_t(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    *handle = reinterpret_cast<PlatformHandle>(h);
    return true;
}

// Sets *error, when asked for, to the code of the call that just failed.
bool failed(uint32_t* error) {
    if (error) *error = uint32_t(GetLastError());
    return false;
}

bool WindowsPlatform::size(PlatformHandle handle, uint64_t* size, uint32_t* error) {
    LONG high = 0;
    DWORD low = SetFilePointer(toHandle(handle), 0, &high, FILE_END);
    // All ones is also the low part of a valid size; only the error code tells.
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return failed(error);
    *size = uint64_t(uint32_t(high)) << 32 | low;
    return true;
}

bool seekTo(PlatformHandle handle, uint64_t offset) {
    LONG high = LONG(uint32_t(offset >> 32));
    DWORD low = SetFilePointer(toHandle(handle), LONG(uint32_t(offset)), &high, FILE_BEGIN);
    // A low part of all ones counts as failure even where the position exists.
    return low != INVALID_SET_FILE_POINTER;
}

bool readHere(PlatformHandle handle, void* buffer, size_t n, size_t* transferred) {
    *transferred = 0;
    if (n > kMaxTransfer) return false;
    DWORD got = 0;
    BOOL ok = ReadFile(toHandle(handle), buffer, DWORD(n), &got, nullptr);
    *transferred = got;
    return ok != FALSE;
}

bool WindowsPlatform::readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                             size_t* transferred, uint32_t* error) {
    *transferred = 0;
    if (!seekTo(handle, offset)) return failed(error);
    return readHere(handle, buffer, n, transferred) || failed(error);
}

bool WindowsPlatform::writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                              size_t* transferred, uint32_t* error) {
    *transferred = 0;
    if (n > kMaxTransfer) {
        if (error) *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (!seekTo(handle, offset)) return failed(error);
    DWORD put = 0;
    BOOL ok = WriteFile(toHandle(handle), buffer, DWORD(n), &put, nullptr);
    *transferred = put;
    if (ok == FALSE) return failed(error);
    if (put == n) return true;
    if (error) *error = ERROR_DISK_FULL;
    return false;
}

bool WindowsPlatform::flush(PlatformHandle handle, uint32_t* error) {
    if (FlushFileBuffers(toHandle(handle)) != FALSE) return true;
    *error = uint32_t(GetLastError());
    return false;
}

bool WindowsPlatform::create(const char* name, PlatformHandle* handle, uint32_t* error) {
    HANDLE h = CreateFileW(utf16Of(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = uint32_t(GetLastError());
        return false;
    }
    *handle = reinterpret_cast<PlatformHandle>(h);
    return true;
}

bool WindowsPlatform::append(PlatformHandle handle, const void* buffer, size_t n, uint32_t* error) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    LONG high = 0;
    if (SetFilePointer(toHandle(handle), 0, &high, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        *error = uint32_t(GetLastError());
        return false;
    }
    size_t done = 0;
    while (done < n) {
        DWORD piece = DWORD(n - done > kMaxTransfer ? kMaxTransfer : n - done);
        DWORD put = 0;
        if (WriteFile(toHandle(handle), bytes + done, piece, &put, nullptr) == FALSE) {
            *error = uint32_t(GetLastError());
            return false;
        }
        if (put == 0) {
            *error = uint32_t(ERROR_DISK_FULL);
            return false;
        }
        done += put;
    }
    return true;
}

void WindowsPlatform::close(PlatformHandle handle) {
    CloseHandle(toHandle(handle));
}

bool WindowsPlatform::fileId(PlatformHandle handle, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(toHandle(handle), &info) == FALSE) return false;
    *id = FileId{info.dwVolumeSerialNumber,
                 uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return true;
}

int64_t sinceEpochNs(const FILETIME& t);

bool WindowsPlatform::stamp(PlatformHandle handle, FileStamp* stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(toHandle(handle), &info) == FALSE) return false;
    stamp->size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->modifiedNs = sinceEpochNs(info.ftLastWriteTime);
    stamp->changedNs = 0;
    return true;
}

std::string WindowsPlatform::errorText(uint32_t error) {
    wchar_t* text = nullptr;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
    // address of a LocalAlloc'ed text.
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, DWORD(error), 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string s;
    if (length != 0 && text != nullptr) s = utf8Of(std::wstring_view(text, length));
    if (text != nullptr) LocalFree(text);
    if (s.empty()) s = "Unknown error\r\n";
    return s;
}

bool WindowsPlatform::gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride,
                               size_t count, size_t width, uint8_t* out) {
    if (count == 0 || width == 0) return true;
    uint64_t end = 0;
    if (!gatherEnd(offset, stride, count, width, &end)) return false;
    uint64_t size = 0;
    if (!this->size(handle, &size, nullptr) || size < end) return false;
    return gatherByReads(*this, handle, offset, stride, count, width, out);
}

}  // namespace

Platform& systemPlatform() {
    static WindowsPlatform platform;
    return platform;
}

std::wstring utf16Of(std::string_view utf8) {
    std::wstring w;
    w.reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        uint32_t cp = 0;
        const size_t n = utf8At(utf8, at, &cp);
        if (n == 0) {
            w += wchar_t(0xFFFD);
            ++at;
            continue;
        }
        if (cp >= 0x10000) {
            w += wchar_t(0xD800 + ((cp - 0x10000) >> 10));
            w += wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            w += wchar_t(cp);
        }
        at += n;
    }
    return w;
}

std::string utf8Of(std::wstring_view utf16) {
    std::string s;
    s.reserve(utf16.size());
    for (size_t at = 0; at < utf16.size(); ++at) {
        const uint32_t c = uint16_t(utf16[at]);
        const uint32_t next = at + 1 < utf16.size() ? uint16_t(utf16[at + 1]) : 0;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            putUtf8(0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00), &s);
            ++at;
        } else {
            putUtf8(c, &s);
        }
    }
    return s;
}

bool environmentValue(const char* name, std::string* value) {
    const std::wstring key = utf16Of(name);
    std::wstring text;
    // An empty value counts as set: its length is 0 with no error.
    SetLastError(NO_ERROR);
    const bool ok = systemText(
        [&](wchar_t* b, DWORD n) { return GetEnvironmentVariableW(key.c_str(), b, n); }, &text);
    if (!ok && GetLastError() != NO_ERROR) return false;
    *value = utf8Of(text);
    return true;
}

Utf8Arguments::Utf8Arguments(int argc, const wchar_t* const* wargv) {
    for (int i = 0; i < argc; ++i) values.push_back(utf8Of(wargv[i]));
    for (const std::string& v : values) argv.push_back(v.c_str());
    argv.push_back(nullptr);
}

std::string resolvedPath(const std::string& name) {
    std::wstring full;
    return fullPathOf(utf16Of(name), &full) ? utf8Of(full) : name;
}

bool finalFolderPath(const std::string& folder, std::string* path) {
    std::wstring final;
    if (!finalFolderOf(utf16Of(folder), &final)) return false;
    *path = utf8Of(final);
    return true;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::wstring fullA, fullB;
    if (!fullPathOf(utf16Of(a), &fullA)) fullA = utf16Of(a);
    if (!fullPathOf(utf16Of(b), &fullB)) fullB = utf16Of(b);
    return samePathText(fullA, fullB);
}

bool removeFile(const std::string& name) {
    return DeleteFileW(utf16Of(name).c_str()) != FALSE;
}

void setBinaryConsole() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool standardOutputIsConsole() {
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != INVALID_HANDLE_VALUE && out && GetConsoleMode(out, &mode) != FALSE;
}

bool writeConsole(bool toError, std::string_view utf8) {
    HANDLE h = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    const std::wstring text = utf16Of(utf8);
    // In pieces: an old console takes only so much at once. A piece does
    // not end between the two halves of a surrogate pair.
    constexpr size_t kPiece = 8192;
    for (size_t at = 0; at < text.size();) {
        size_t n = std::min(kPiece, text.size() - at);
        if (at + n < text.size() && text[at + n - 1] >= 0xD800 && text[at + n - 1] <= 0xDBFF) --n;
        DWORD put = 0;
        if (WriteConsoleW(h, text.data() + at, DWORD(n), &put, nullptr) == FALSE || put == 0) {
            return false;
        }
        at += put;
    }
    return true;
}

bool standardStreamsShareFile() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE || !out || !err) return false;
    const DWORD type = GetFileType(out);
    if (type != GetFileType(err)) return false;
    // Two pipe handles cannot be told apart: they are taken as one, which
    // only holds back unfinished lines.
    if (type == FILE_TYPE_PIPE) return true;
    if (type != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!GetFileInformationByHandle(out, &a) || !GetFileInformationByHandle(err, &b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

namespace {

// FILETIME counts 100 ns since 1601.
int64_t sinceEpochNs(const FILETIME& t) {
    const uint64_t ticks = (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return (int64_t(ticks) - 116444736000000000LL) * 100;
}

}  // namespace

bool readFileHead(const std::string& name, void* buffer, size_t n, size_t* got, FileStamp* stamp,
                  uint32_t* error) {
    *got = 0;
    HANDLE h = CreateFileW(utf16Of(name).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = uint32_t(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    uint32_t refused = 0;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        refused = uint32_t(ERROR_NOT_SUPPORTED);
    } else if (!GetFileInformationByHandle(h, &info)) {
        refused = uint32_t(GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        refused = uint32_t(ERROR_DIRECTORY);
    }
    if (refused == 0) {
        stamp->size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        stamp->modifiedNs = sinceEpochNs(info.ftLastWriteTime);
        DWORD read = 0;
        const DWORD want = DWORD(n < kMaxTransfer ? n : kMaxTransfer);
        if (ReadFile(h, buffer, want, &read, nullptr)) {
            *got = read;
        } else {
            refused = uint32_t(GetLastError());
        }
    }
    CloseHandle(h);
    if (refused != 0) *error = refused;
    return refused == 0;
}

bool fileStampOf(const std::string& name, FileStamp* stamp, uint32_t* error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(utf16Of(name).c_str(), GetFileExInfoStandard, &data)) {
        *error = uint32_t(GetLastError());
        return false;
    }
    stamp->size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp->modifiedNs = sinceEpochNs(data.ftLastWriteTime);
    return true;
}

bool renameFile(const std::string& from, const std::string& to, uint32_t* error) {
    if (MoveFileExW(utf16Of(from).c_str(), utf16Of(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    *error = uint32_t(GetLastError());
    return false;
}

bool WindowsPlatform::closeWritten(PlatformHandle handle, uint32_t* error) {
    if (CloseHandle(toHandle(handle)) != FALSE) return true;
    *error = uint32_t(GetLastError());
    return false;
}

bool fileKindOf(const std::string& name, FileKind* kind, uint32_t* error) {
    // Opened for no access at all, the reparse point itself and a folder
    // too: the handle only tells what the name is.
    HANDLE h = CreateFileW(utf16Of(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            *error = uint32_t(code);
            return false;
        }
        *kind = FileKind::Absent;
        return true;
    }
    const DWORD type = GetFileType(h);
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = true;
    if (type == FILE_TYPE_CHAR) {
        *kind = FileKind::Device;
    } else if (type == FILE_TYPE_PIPE) {
        *kind = FileKind::Pipe;
    } else if (type != FILE_TYPE_DISK) {
        *kind = FileKind::Other;
    } else if (!GetFileInformationByHandle(h, &info)) {
        *error = uint32_t(GetLastError());
        ok = false;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *kind = FileKind::Link;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        *kind = FileKind::Folder;
    } else {
        *kind = FileKind::Regular;
    }
    CloseHandle(h);
    return ok;
}

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    return err != INVALID_HANDLE_VALUE && err && GetConsoleMode(err, &mode) != FALSE;
}

bool isNotFound(uint32_t error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool isSharingConflict(uint32_t error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

std::string commandWord(const std::string& word) {
    // cmd.exe splits at spaces, commas, semicolons and equal signs, and
    // reads & | < > ^ ( ) % ! outside double quotes.
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) ||
               std::string_view("_./\\:@+-").find(ch) != std::string_view::npos;
    });
    return plain ? word : "\"" + word + "\"";
}

bool isAbsolutePath(const std::string& path) {
    auto slash = [](char ch) { return ch == '/' || ch == '\\'; };
    if (path.size() >= 2 && slash(path[0]) && slash(path[1])) return true;  // a share
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && slash(path[2]);
}

namespace {

// An open folder: a handle that keeps it from being renamed or removed
// (no FILE_SHARE_DELETE) and the full path the system reached it by, which
// the names of its entries are opened under.
struct OpenFolder {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
};

OpenFolder* folderOf(FolderHandle folder) {
    return reinterpret_cast<OpenFolder*>(folder);
}

// Opens a folder (a link or junction refused when `noLinks`).
bool openFolderPath(const std::string& name, bool noLinks, FolderHandle* folder, uint32_t* error) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (noLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE h = CreateFileW(utf16Of(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = uint32_t(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::wstring wide;
    uint32_t refused = 0;
    if (GetFileInformationByHandle(h, &info) == FALSE) {
        refused = uint32_t(GetLastError());
    } else if (noLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        refused = uint32_t(ERROR_CANT_ACCESS_FILE);
    } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        refused = uint32_t(ERROR_DIRECTORY);
    } else if (!finalPathOf(h, &wide)) {
        refused = uint32_t(GetLastError());
    }
    const std::string path = utf8Of(wide);
    if (refused != 0) {
        CloseHandle(h);
        *error = refused;
        return false;
    }
    auto* f = new OpenFolder{h, path};
    *folder = reinterpret_cast<FolderHandle>(f);
    return true;
}

std::string inFolder(FolderHandle folder, const std::string& name) {
    const std::string& path = folderOf(folder)->path;
    return path + (path.ends_with('\\') ? "" : "\\") + name;
}

}  // namespace

bool openFolder(const std::string& name, FolderHandle* folder, uint32_t* error) {
    return openFolderPath(name, false, folder, error);
}

bool openSubfolder(FolderHandle parent, const std::string& name, FolderHandle* folder,
                   uint32_t* error) {
    return openFolderPath(inFolder(parent, name), true, folder, error);
}

bool listFolder(FolderHandle folder, const FolderEntryFn& f, uint32_t* error) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(utf16Of(inFolder(folder, "*")).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        *error = uint32_t(GetLastError());
        return *error == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::string name = utf8Of(data.cFileName);
        if (name == "." || name == "..") continue;
        EntryKind kind = EntryKind::File;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            kind = EntryKind::Link;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            kind = EntryKind::Folder;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
            kind = EntryKind::Other;
        }
        f(name, kind, 0);
    } while (FindNextFileW(find, &data));
    const DWORD last = GetLastError();
    FindClose(find);
    if (last != ERROR_NO_MORE_FILES) {
        *error = uint32_t(last);
        return false;
    }
    return true;
}

bool openInFolder(FolderHandle folder, const std::string& name, int mode, PlatformHandle* handle,
                  uint32_t* error) {
    // The folder cannot be renamed while it is held, so its path still leads
    // to it; the file itself is opened as itself, a link refused.
    mode &= ~(PlainFileOnly | NoLinkedFolders);
    return systemPlatform().open(inFolder(folder, name).c_str(), mode | PlainFileOnly, handle,
                                 error);
}

bool folderId(FolderHandle folder, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folderOf(folder)->handle, &info) == FALSE) return false;
    *id = FileId{info.dwVolumeSerialNumber,
                 uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return true;
}

void closeFolder(FolderHandle folder) {
    if (folder == kInvalidFolder) return;
    OpenFolder* f = folderOf(folder);
    CloseHandle(f->handle);
    delete f;
}

bool isLinkRefusal(uint32_t error) {
    return error == uint32_t(ERROR_CANT_ACCESS_FILE);
}

bool isNotFolder(uint32_t error) {
    return error == uint32_t(ERROR_DIRECTORY);
}
}  // namespace tabulon
