// POSIX binding of the platform layer.
//
// Windows refuses an open that conflicts with the sharing mode of another
// opener. POSIX has no such rule, so the three modes are emulated with
// advisory locks that every tabulon process takes and honours:
//   - every opener holds a flock() on the whole file: exclusive for
//     ExclusiveRead (no other opener at all), shared for Repair and
//     Unprotected;
//   - a Repair opener also holds an open-file-description write lock on one
//     marker byte far beyond any real offset, so that a second writer is
//     refused while Unprotected readers are still let in.
// The locks change no byte of the file. They are advisory: a process that
// does not take them (a database engine, cp) is not kept out.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fileio/gather.h"
#include "fileio/platform.h"

namespace tabulon {

namespace {

// Offset of the writer marker byte: past any file a Btrieve engine can write.
constexpr off_t kWriterMarker = off_t(1) << 62;

// Reports a sharing conflict with a code whose text says what happened.
constexpr int kSharingConflict = EBUSY;

// Reports a file that is neither a regular file nor a folder (a FIFO, a
// socket, a device): positioned reads and writes and the locks mean nothing
// there, and a FIFO would block every program that reads it.
constexpr int kNotRegularFile = EOPNOTSUPP;

// Why an open handle is no regular file (0 when it is one), with its status
// in *st: a folder, a device or pipe, or a status that cannot be read.
uint32_t regularFileRefusal(int fd, struct stat* st) {
    if (fstat(fd, st) != 0) return uint32_t(errno);
    if (S_ISDIR(st->st_mode)) return EISDIR;
    if (!S_ISREG(st->st_mode)) return kNotRegularFile;
    return 0;
}

// A Repair opener write-locks the marker byte; a SharedRead opener
// read-locks it, which keeps a writer out and lets other readers in.
bool lockMarker(int fd, short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kWriterMarker;
    lock.l_len = 1;
#ifdef F_OFD_SETLK
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
#else
    return fcntl(fd, F_SETLK, &lock) == 0;
#endif
}

class PosixPlatform final : public Platform {
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
    bool mapView(PlatformHandle handle, uint64_t offset, size_t length, FileView* view) override;
    void unmapView(FileView* view) override;
    bool readViews(void (*visit)(void*), void* context) override;
    bool flush(PlatformHandle handle, uint32_t* error) override;
    void close(PlatformHandle handle) override;
    bool closeWritten(PlatformHandle handle, uint32_t* error) override;
    bool fileId(PlatformHandle handle, FileId* id) override;
    bool stamp(PlatformHandle handle, FileStamp* stamp) override;
    std::string errorText(uint32_t error) override;
};

// Opens a name one part at a time, each folder from the one before with
// O_NOFOLLOW, and the last part with `flags` and O_NOFOLLOW: a symbolic link
// anywhere on the way fails the open (ELOOP). -1 with errno on failure.
int openWithoutLinks(const char* name, int flags) {
    const std::string path = name;
    int dir = AT_FDCWD;
    if (path.starts_with('/')) {
        dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return -1;
    }
    auto closeDir = [&dir] {
        const int saved = errno;
        if (dir != AT_FDCWD) ::close(dir);
        errno = saved;
    };
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash - start);
        start = slash == std::string::npos ? path.size() : slash + 1;
        if (slash != std::string::npos && (part.empty() || part == ".")) continue;
        const bool last = slash == std::string::npos;
        const int how = last ? flags | O_NOFOLLOW
                             : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
        int fd;
        do {
            fd = ::openat(dir, part.c_str(), how);
        } while (fd < 0 && errno == EINTR);
        closeDir();
        dir = fd;
        if (fd < 0 || last) return fd;
    }
}

// Keeps a handle just opened without blocking: only a regular file, made
// blocking again and locked as the mode says. Closes it and returns false
// with the code otherwise.
bool keepOpened(int fd, int mode, PlatformHandle* handle, uint32_t* error) {
    struct stat st;
    uint32_t refused = regularFileRefusal(fd, &st);
    if (refused == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        refused = uint32_t(errno);
    }
    if (refused != 0) {
        *error = refused;
        ::close(fd);
        return false;
    }
    const bool exclusive = mode != Repair && mode != Unprotected && mode != SharedRead;
    int rc;
    do {
        rc = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    bool ok = rc == 0 || errno == ENOLCK || errno == EOPNOTSUPP;
    if (ok && (mode == Repair || mode == SharedRead) &&
        !lockMarker(fd, mode == Repair ? F_WRLCK : F_RDLCK)) {
        ok = !(errno == EAGAIN || errno == EACCES);
    }
    if (!ok) {
        *error = kSharingConflict;
        ::close(fd);
        return false;
    }
    *handle = fd;
    return true;
}

bool PosixPlatform::open(const char* name, int mode, PlatformHandle* handle, uint32_t* error) {
    const bool plainOnly = (mode & PlainFileOnly) != 0;
    const bool noLinks = (mode & NoLinkedFolders) != 0;
    mode &= ~(PlainFileOnly | NoLinkedFolders);
    // Opened without blocking, so that a FIFO (whose open waits for a
    // writer) is seen for what it is; only a regular file is kept, and its
    // handle is made blocking again. A set named by an undo journal is also
    // opened without following a symbolic link.
    int flags = (mode == Repair ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (plainOnly) flags |= O_NOFOLLOW;
    int fd;
    do {
        fd =
            noLinks ? openWithoutLinks(name, flags | O_NONBLOCK) : ::open(name, flags | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    return keepOpened(fd, mode, handle, error);
}

// The folder that holds a file of this name, for making its entry durable.
std::string folderOf(const char* name) {
    std::string path = name;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool PosixPlatform::create(const char* name, PlatformHandle* handle, uint32_t* error) {
    int fd;
    do {
        fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    // A new file survives a crash only when its folder entry does too: the
    // folder is flushed now, before anything depends on the file, and a file
    // whose entry cannot be made durable is not kept.
    int dir = ::open(folderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int synced = dir >= 0 ? fsync(dir) : -1;
    const int folderError = errno;
    if (dir >= 0) ::close(dir);
    if (synced != 0) {
        ::close(fd);
        ::unlink(name);
        *error = uint32_t(folderError);
        return false;
    }
    *handle = fd;
    return true;
}

bool PosixPlatform::append(PlatformHandle handle, const void* buffer, size_t n, uint32_t* error) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t moved = ::write(int(handle), bytes + done, n - done);
        if (moved < 0) {
            if (errno == EINTR) continue;
            *error = uint32_t(errno);
            return false;
        }
        // A write that moves nothing makes no progress: the disk is full.
        if (moved == 0) {
            *error = uint32_t(ENOSPC);
            return false;
        }
        done += size_t(moved);
    }
    return true;
}

// Sets *error, when asked for, to the code of the call that just failed.
bool failed(uint32_t* error, int code) {
    if (error) *error = uint32_t(code);
    return false;
}

bool PosixPlatform::size(PlatformHandle handle, uint64_t* size, uint32_t* error) {
    struct stat st;
    if (fstat(int(handle), &st) != 0) return failed(error, errno);
    *size = uint64_t(st.st_size);
    return true;
}

// Repeats a positioned transfer until n bytes moved, the end of the file was
// met, or the call failed (EINTR retried). `op` is pread, pwrite or a read
// at the current position.
template <typename Buffer, typename Op>
bool transferAt(int fd, uint64_t offset, Buffer* buffer, size_t n, size_t* transferred,
                uint32_t* error, Op op) {
    size_t done = 0;
    *transferred = 0;
    if (offset > uint64_t(INT64_MAX) - n) return failed(error, EINVAL);
    while (done < n) {
        ssize_t moved = op(fd, buffer + done, n - done, off_t(offset + done));
        if (moved < 0) {
            if (errno == EINTR) continue;
            *transferred = done;
            return failed(error, errno);
        }
        if (moved == 0) break;
        done += size_t(moved);
    }
    *transferred = done;
    return true;
}

bool PosixPlatform::readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                           size_t* transferred, uint32_t* error) {
    return transferAt(int(handle), offset, static_cast<unsigned char*>(buffer), n, transferred,
                      error, ::pread);
}

bool PosixPlatform::writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                            size_t* transferred, uint32_t* error) {
    if (!transferAt(int(handle), offset, static_cast<const unsigned char*>(buffer), n, transferred,
                    error, ::pwrite)) {
        return false;
    }
    // A write that moves nothing makes no progress: the disk is full.
    return *transferred == n || failed(error, ENOSPC);
}

// A mapped view of a file that another process cut short raises SIGBUS on
// the lost pages. The handler is installed once and stays; it turns the fault
// into a failed copy on the thread that is copying, and leaves every other
// SIGBUS to the disposition that was there before.
thread_local sigjmp_buf gatherFault;
thread_local volatile sig_atomic_t gatherArmed = 0;
struct sigaction previousBus;

void onGatherFault(int signal, siginfo_t* info, void* context) {
    if (gatherArmed) siglongjmp(gatherFault, 1);
    if (previousBus.sa_flags & SA_SIGINFO) {
        if (previousBus.sa_sigaction) previousBus.sa_sigaction(signal, info, context);
        return;
    }
    if (previousBus.sa_handler == SIG_IGN) return;
    if (previousBus.sa_handler != SIG_DFL) {
        previousBus.sa_handler(signal);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

bool installGatherGuard() {
    static const bool installed = [] {
        struct sigaction guard;
        std::memset(&guard, 0, sizeof guard);
        guard.sa_sigaction = onGatherFault;
        guard.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&guard.sa_mask);
        return sigaction(SIGBUS, &guard, &previousBus) == 0;
    }();
    return installed;
}

// Runs visit(context) over mapped views; false when a view faulted.
bool readGuarded(void (*visit)(void*), void* context) {
    if (!installGatherGuard()) return false;
    bool ok = false;
    if (sigsetjmp(gatherFault, 1) == 0) {
        gatherArmed = 1;
        visit(context);
        ok = true;
    }
    gatherArmed = 0;
    return ok;
}

// Maps [offset, offset + length) of a file, from the system page that holds
// its first byte.
bool mapRange(int fd, uint64_t offset, uint64_t length, FileView* view) {
    const long pageBytes = sysconf(_SC_PAGESIZE);
    if (pageBytes <= 0 || length == 0 || offset > uint64_t(INT64_MAX) - length) return false;
    const uint64_t start = offset - offset % uint64_t(pageBytes);
    const uint64_t span = offset + length - start;
    if (span > uint64_t(SIZE_MAX)) return false;
    void* mapping = mmap(nullptr, size_t(span), PROT_READ, MAP_SHARED, fd, off_t(start));
    if (mapping == MAP_FAILED) return false;
    view->bytes = static_cast<const uint8_t*>(mapping) + (offset - start);
    view->offset = offset;
    view->length = size_t(length);
    view->mapping = mapping;
    view->mappedLength = size_t(span);
    return true;
}

void unmapRange(FileView* view) {
    if (view->mapping) munmap(view->mapping, view->mappedLength);
    *view = FileView{};
}

struct CopyJob {
    const uint8_t* first;
    uint64_t stride;
    size_t count, width;
    uint8_t* out;
};

bool gatherMapped(int fd, uint64_t offset, uint64_t stride, size_t count, size_t width,
                  uint64_t end, uint8_t* out) {
    FileView view;
    if (!mapRange(fd, offset, end - offset, &view)) return false;
    CopyJob job{view.bytes, stride, count, width, out};
    const bool ok = readGuarded(
        [](void* context) {
            const CopyJob& j = *static_cast<const CopyJob*>(context);
            for (size_t i = 0; i < j.count; ++i) {
                const uint8_t* field = j.first + i * j.stride;
                for (size_t b = 0; b < j.width; ++b) j.out[i * j.width + b] = field[b];
            }
        },
        &job);
    unmapRange(&view);
    return ok;
}

bool PosixPlatform::gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride, size_t count,
                             size_t width, uint8_t* out) {
    if (count == 0 || width == 0) return true;
    uint64_t end = 0;
    if (!gatherEnd(offset, stride, count, width, &end)) return false;

    struct stat st;
    if (fstat(int(handle), &st) != 0) return false;
    if (uint64_t(st.st_size) < end) return false;
    if (gatherMapped(int(handle), offset, stride, count, width, end, out)) return true;
    // A view that could not be made: read the pieces instead. A view that
    // faulted means the file is shorter now, which a read finds out as well.
    return gatherByReads(*this, handle, offset, stride, count, width, out);
}

bool PosixPlatform::mapView(PlatformHandle handle, uint64_t offset, size_t length, FileView* view) {
    struct stat st;
    if (fstat(int(handle), &st) != 0) return false;
    if (offset > uint64_t(st.st_size) || length > uint64_t(st.st_size) - offset) return false;
    return mapRange(int(handle), offset, length, view);
}

void PosixPlatform::unmapView(FileView* view) {
    unmapRange(view);
}

bool PosixPlatform::readViews(void (*visit)(void*), void* context) {
    return readGuarded(visit, context);
}

bool PosixPlatform::flush(PlatformHandle handle, uint32_t* error) {
    if (fsync(int(handle)) == 0) return true;
    *error = uint32_t(errno);
    return false;
}

void PosixPlatform::close(PlatformHandle handle) {
    ::close(int(handle));
}

bool PosixPlatform::closeWritten(PlatformHandle handle, uint32_t* error) {
    // The descriptor is released even when close fails; an interrupted
    // close lost nothing that the flush before it had not made durable.
    if (::close(int(handle)) == 0 || errno == EINTR) return true;
    *error = uint32_t(errno);
    return false;
}

bool PosixPlatform::fileId(PlatformHandle handle, FileId* id) {
    struct stat st;
    if (fstat(int(handle), &st) != 0) return false;
    *id = FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

void stampOf(const struct stat& st, FileStamp* stamp) {
    stamp->size = uint64_t(st.st_size);
    stamp->modifiedNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp->changedNs = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

bool PosixPlatform::stamp(PlatformHandle handle, FileStamp* stamp) {
    struct stat st;
    if (fstat(int(handle), &st) != 0) return false;
    stampOf(st, stamp);
    return true;
}

std::string PosixPlatform::errorText(uint32_t error) {
    char buffer[256];
    // The GNU form: the text may be a static string or the buffer.
    const char* text = strerror_r(int(error), buffer, sizeof buffer);
    std::string s = text ? text : "Unknown error";
    s += "\r\n";
    return s;
}

}  // namespace

Platform& systemPlatform() {
    static PosixPlatform platform;
    return platform;
}

void setBinaryConsole() {}

std::string resolvedPath(const std::string& name) {
    if (char* full = realpath(name.c_str(), nullptr)) {
        std::string s = full;
        free(full);
        return s;
    }
    const size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return name;
    char* folder = realpath(folderOf(name.c_str()).c_str(), nullptr);
    if (!folder) return name;
    std::string s = folder;
    free(folder);
    return (s == "/" ? s : s + "/") + base;
}

bool finalFolderPath(const std::string& folder, std::string* path) {
    char* full = realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    if (!full) return false;
    *path = full;
    free(full);
    struct stat st;
    return stat(path->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return resolvedPath(a) == resolvedPath(b);
}

bool removeFile(const std::string& name) {
    return ::unlink(name.c_str()) == 0;
}

bool standardStreamsShareFile() {
    struct stat out, err;
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return false;
    return out.st_dev == err.st_dev && out.st_ino == err.st_ino && !isatty(STDOUT_FILENO);
}

bool readFileHead(const std::string& name, void* buffer, size_t n, size_t* got, FileStamp* stamp,
                  uint32_t* error) {
    *got = 0;
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    struct stat st;
    uint32_t refused = regularFileRefusal(fd, &st);
    if (refused == 0) {
        stampOf(st, stamp);
        while (*got < n) {
            const ssize_t r = ::pread(fd, static_cast<char*>(buffer) + *got, n - *got, off_t(*got));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) refused = uint32_t(errno);
            if (r <= 0) break;
            *got += size_t(r);
        }
    }
    ::close(fd);
    if (refused != 0) *error = refused;
    return refused == 0;
}

bool fileStampOf(const std::string& name, FileStamp* stamp, uint32_t* error) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) {
        *error = uint32_t(errno);
        return false;
    }
    stampOf(st, stamp);
    return true;
}

bool renameFile(const std::string& from, const std::string& to, uint32_t* error) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    *error = uint32_t(errno);
    return false;
}

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool fileKindOf(const std::string& name, FileKind* kind, uint32_t* error) {
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = uint32_t(errno);
            return false;
        }
        *kind = FileKind::Absent;
        return true;
    }
    const mode_t type = st.st_mode & S_IFMT;
    *kind = type == S_IFREG                      ? FileKind::Regular
            : type == S_IFDIR                    ? FileKind::Folder
            : type == S_IFLNK                    ? FileKind::Link
            : type == S_IFCHR || type == S_IFBLK ? FileKind::Device
            : type == S_IFIFO                    ? FileKind::Pipe
                                                 : FileKind::Other;
    return true;
}

bool isNotFound(uint32_t error) {
    return error == ENOENT || error == ENOTDIR;
}

bool isSharingConflict(uint32_t error) {
    return error == uint32_t(kSharingConflict);
}

std::string commandWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) ||
               std::string_view("_./@%+=:,-").find(ch) != std::string_view::npos;
    });
    if (plain) return word;
    std::string quoted = "'";
    for (char ch : word) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

bool isAbsolutePath(const std::string& path) {
    return path.starts_with('/');
}

namespace {

// Opens a folder (never a link, with O_NOFOLLOW) from `at`; -1 with errno.
int openFolderAt(int at, const char* name, int noFollow) {
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | noFollow);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

EntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::File;
    if (S_ISDIR(mode)) return EntryKind::Folder;
    if (S_ISLNK(mode)) return EntryKind::Link;
    return EntryKind::Other;
}

}  // namespace

bool openFolder(const std::string& name, FolderHandle* folder, uint32_t* error) {
    const int fd = openFolderAt(AT_FDCWD, name.c_str(), 0);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    *folder = fd;
    return true;
}

bool openSubfolder(FolderHandle parent, const std::string& name, FolderHandle* folder,
                   uint32_t* error) {
    const int fd = openFolderAt(int(parent), name.c_str(), O_NOFOLLOW);
    if (fd < 0) {
        // A link opened with O_NOFOLLOW and O_DIRECTORY fails as no folder.
        struct stat st;
        const bool link = errno == ENOTDIR &&
                          fstatat(int(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISLNK(st.st_mode);
        *error = link ? uint32_t(ELOOP) : uint32_t(errno);
        return false;
    }
    *folder = fd;
    return true;
}

bool listFolder(FolderHandle folder, const FolderEntryFn& f, uint32_t* error) {
    // The listing gets a handle of its own: closedir closes the one it holds.
    const int fd = ::openat(int(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        *error = uint32_t(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent* e = readdir(dir);
        if (!e) break;
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        EntryKind kind = EntryKind::Other;
        uint32_t unknown = 0;
        switch (e->d_type) {
            case DT_REG: kind = EntryKind::File; break;
            case DT_DIR: kind = EntryKind::Folder; break;
            case DT_LNK: kind = EntryKind::Link; break;
            case DT_UNKNOWN: {
                // The file system does not say: the entry itself, not
                // followed. One gone meanwhile is no entry.
                struct stat st;
                if (fstatat(int(folder), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    kind = kindOf(st.st_mode);
                } else if (errno == ENOENT) {
                    continue;
                } else {
                    kind = EntryKind::Unknown;
                    unknown = uint32_t(errno);
                }
                break;
            }
            default: break;
        }
        f(name, kind, unknown);
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        *error = uint32_t(failed);
        return false;
    }
    return true;
}

bool openInFolder(FolderHandle folder, const std::string& name, int mode, PlatformHandle* handle,
                  uint32_t* error) {
    mode &= ~(PlainFileOnly | NoLinkedFolders);
    const int flags = (mode == Repair ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                      O_NOCTTY;
    int fd;
    do {
        fd = ::openat(int(folder), name.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    return keepOpened(fd, mode, handle, error);
}

bool folderId(FolderHandle folder, FileId* id) {
    struct stat st;
    if (fstat(int(folder), &st) != 0) return false;
    *id = FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

void closeFolder(FolderHandle folder) {
    if (folder != kInvalidFolder) ::close(int(folder));
}

bool isLinkRefusal(uint32_t error) {
    return error == uint32_t(ELOOP);
}

bool isNotFolder(uint32_t error) {
    return error == uint32_t(ENOTDIR);
}
}  // namespace tabulon
