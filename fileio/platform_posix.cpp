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
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "fileio/platform.h"

namespace {

// Offset of the writer marker byte: past any file a Btrieve engine can write.
constexpr off_t kWriterMarker = off_t(1) << 62;

// Reports a sharing conflict with a code whose text says what happened.
constexpr int kSharingConflict = EBUSY;

bool lockWriterMarker(int fd) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kWriterMarker;
    lock.l_len = 1;
#ifdef F_OFD_SETLK
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
#else
    return fcntl(fd, F_SETLK, &lock) == 0;
#endif
}

}  // namespace

bool platformOpen(const char* name, int mode, PlatformHandle* handle, uint32_t* error) {
    int flags = (mode == Repair ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    int fd;
    do {
        fd = ::open(name, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? uint32_t(EISDIR) : uint32_t(errno);
        ::close(fd);
        return false;
    }
    int how = (mode == Repair || mode == Unprotected) ? LOCK_SH : LOCK_EX;
    int rc;
    do {
        rc = flock(fd, how | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    bool ok = rc == 0 || errno == ENOLCK || errno == EOPNOTSUPP;
    if (ok && mode == Repair && !lockWriterMarker(fd)) {
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

bool platformSize(PlatformHandle handle, uint64_t* size) {
    struct stat st;
    if (fstat(int(handle), &st) != 0) return false;
    *size = uint64_t(st.st_size);
    return true;
}

bool platformSeek(PlatformHandle handle, uint64_t offset) {
    if (offset > uint64_t(INT64_MAX)) return false;
    return lseek(int(handle), off_t(offset), SEEK_SET) != off_t(-1);
}

bool platformRead(PlatformHandle handle, void* buffer, size_t n, size_t* transferred) {
    size_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < n) {
        ssize_t got = ::read(int(handle), out + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            *transferred = done;
            return false;
        }
        if (got == 0) break;
        done += size_t(got);
    }
    *transferred = done;
    return true;
}

bool platformReadAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                    size_t* transferred) {
    size_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    if (offset > uint64_t(INT64_MAX) - n) {
        *transferred = 0;
        return false;
    }
    while (done < n) {
        ssize_t got = ::pread(int(handle), out + done, n - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            *transferred = done;
            return false;
        }
        if (got == 0) break;
        done += size_t(got);
    }
    *transferred = done;
    return true;
}

bool platformWriteAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                     size_t* transferred) {
    size_t done = 0;
    const auto* in = static_cast<const unsigned char*>(buffer);
    if (offset > uint64_t(INT64_MAX) - n) {
        *transferred = 0;
        return false;
    }
    while (done < n) {
        ssize_t put = ::pwrite(int(handle), in + done, n - done, off_t(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            *transferred = done;
            return false;
        }
        if (put == 0) break;
        done += size_t(put);
    }
    *transferred = done;
    return true;
}

bool platformFlush(PlatformHandle handle) { return fsync(int(handle)) == 0; }

void platformClose(PlatformHandle handle) { ::close(int(handle)); }

std::string platformErrorText(uint32_t error) {
    const char* text = std::strerror(int(error));
    std::string s = text ? text : "Unknown error";
    s += "\r\n";
    return s;
}
