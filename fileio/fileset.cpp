#include "fileio/fileset.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace tabulon {

namespace {

constexpr uint32_t kFileNotFound = 2;

}  // namespace

bool memberName(const std::string& path, int k, std::string* name) {
    std::string base = path;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    if (k == 0) {
        base = path;
    } else if (k == kDeltaMember) {
        base += ".^^^";
    } else {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".^%.2x", unsigned(k));
        base += suffix;
    }
    if (base.size() > size_t(kMaxPathLength)) return false;
    *name = base;
    return true;
}

namespace {

// A /D trace line of the open, on standard error.
void trace(bool verbose, NoticeSink& out, const char* format, ...) TABULON_PRINTF(3, 4);
void trace(bool verbose, NoticeSink& out, const char* format, ...) {
    if (!verbose) return;
    va_list args;
    va_start(args, format);
    out.vemitf(NoticeKind::Trace, Stream::Err, 0, 0, format, args);
    va_end(args);
}

}  // namespace

FileSet::FileSet(Platform& platform) : platform_(platform) {}

FileSet::~FileSet() {
    // An owner that never closed the set (a failed open) prints nothing here.
    closeHandles();
}

void FileSet::reset(const std::string& path, NoticeSink& out, bool verbose) {
    closeHandles();
    out_ = &out;
    verbose_ = verbose;
    path_ = path;
    totalSectors_ = 0;
    memberCount_ = 0;
    std::fill(handles_.begin(), handles_.end(), kInvalidHandle);
    std::fill(memberSizes_.begin(), memberSizes_.end(), 0);
    std::fill(written_.begin(), written_.end(), false);
    memberNames_.clear();
    deltaHandle_ = kInvalidHandle;
    deltaName_.clear();
    deltaSize_ = 0;
    endError_ = 0;
}

// A member whose size cannot be taken is not opened: it is no empty file.
Status FileSet::openFile(int k, const std::string& name, int mode, PlatformHandle* handle,
                         uint64_t* size) {
    uint32_t error = 0;
    const bool opened = opener_ ? opener_->open(k, name, mode, handle, &error)
                                : platform_.open(name.c_str(), mode, handle, &error);
    if (!opened) return {Failure::Open, name, error, platform_.errorText(error)};
    if (platform_.size(*handle, size, &error)) return {};
    closeHandle(*handle);
    *handle = kInvalidHandle;
    return {Failure::Size, name, error, platform_.errorText(error)};
}

// An opener's handles stay its own.
void FileSet::closeHandle(PlatformHandle handle) {
    if (!opener_) platform_.close(handle);
}

Status FileSet::openMembers(int mode) {
    std::string name;
    // A main path longer than a name buffer is not opened at all; an
    // extension name too long for one ends the set silently.
    for (int i = 0; i < kMaxMembers && memberName(path_, i, &name); ++i) {
        trace(verbose_, *out_, "Opening File <%s>...", name.c_str());
        uint64_t size = 0;
        PlatformHandle handle = kInvalidHandle;
        Status s = openFile(i, name, mode, &handle, &size);
        if (!s.ok()) {
            trace(verbose_, *out_, "Failed (%lu), %s", (unsigned long)s.code, s.text.c_str());
            endError_ = s.code;
            if (i == 0) return s;
            // An extension file that is there but cannot be opened ends the
            // set before it; one that is not there ends it as it should.
            return s.code == kFileNotFound ? Status{} : s;
        }
        trace(verbose_, *out_, "Opened\r\n");
        handles_[size_t(i)] = handle;
        memberSizes_[size_t(i)] = size;
        memberNames_.push_back(name);
        totalSectors_ += size / kSectorSize;
        memberCount_ = uint16_t(i + 1);
    }
    if (memberCount_ == 0) return {Failure::Open, path_, 0, "name too long\n"};
    return {};
}

Status FileSet::open(const std::string& path, int mode, NoticeSink& out, bool verbose,
                     MemberOpener* opener) {
    reset(path, out, verbose);
    opener_ = opener;
    trace(verbose, out, "Opening File <%s>\r\n", path.c_str());
    Status status = openMembers(mode);

    // A repair needs the whole set: without an extension file that is there
    // but cannot be opened (in use, unreadable), every entry into it looks
    // lost, and a repair would throw those pages away. Nothing more is
    // opened and the open fails as for the main file.
    if (!status.ok() && memberCount_ != 0 && mode == Repair) {
        closeHandles();
        return status;
    }

    std::string name;
    if (memberName(path, kDeltaMember, &name)) {
        trace(verbose, out, "Opening File <%s>...", name.c_str());
        uint64_t size = 0;
        PlatformHandle handle = kInvalidHandle;
        if (openFile(kDeltaMember, name, mode, &handle, &size).ok()) {
            deltaHandle_ = handle;
            deltaName_ = name;
            deltaSize_ = size;
        }
    }
    return status;
}

std::string openReport(const FileSet& set, const Status& opened, bool verbose) {
    std::string lines;
    if (!opened.ok() && !verbose) lines += describe(opened);
    if (set.hasDelta()) lines += "Delta File Found and Opened!\r\n";
    return lines;
}

Status FileSet::close() {
    if (verbose_ && out_) out_->emitf(NoticeKind::Trace, Stream::Err, "Closing all files...\r\n");
    return closeHandles();
}

Status FileSet::closeHandles() {
    Status status;
    for (int i = 0; i < kMaxMembers; ++i) {
        PlatformHandle h = handles_[size_t(i)];
        if (h == kInvalidHandle) continue;
        // Repairs reach the disk before the report says they were made.
        uint32_t error = 0;
        if (written_[size_t(i)] && !platform_.flush(h, &error)) {
            Status s{Failure::Flush, memberNames_[size_t(i)], error, platform_.errorText(error)};
            if (status.ok()) {
                status = std::move(s);
            } else {
                status.more.push_back(std::move(s));
            }
        }
        closeHandle(h);
        handles_[size_t(i)] = kInvalidHandle;
    }
    if (deltaHandle_ != kInvalidHandle) closeHandle(deltaHandle_);
    deltaHandle_ = kInvalidHandle;
    memberCount_ = 0;
    return status;
}

uint64_t FileSet::totalSize() const {
    uint64_t total = 0;
    for (int i = 0; i < memberCount_; ++i) total += memberSizes_[size_t(i)];
    return total;
}

void FileSet::mapOffset(uint64_t offset, uint16_t* member, uint64_t* rest) const {
    uint16_t m = 0;
    uint64_t r = offset;
    if (r >= memberSizes_[0]) {
        for (;;) {
            if (m >= memberCount_) break;
            r -= memberSizes_[m];
            ++m;
            if (m >= memberCount_) break;
            if (r < memberSizes_[m]) break;
        }
    }
    *member = m;
    *rest = r;
}

bool FileSet::locate(uint64_t offset, uint16_t* member, uint64_t* rest) {
    mapOffset(offset, member, rest);
    if (verbose_ && out_) {
        out_->emitf(NoticeKind::Trace, Stream::Out,
                    "Attempting to set position to Extent %.2x, Offset %.8x:%.8x\n",
                    unsigned(*member), unsigned(*rest >> 32), unsigned(*rest & 0xFFFFFFFFu));
    }
    return *member < memberCount_;
}

bool FileSet::readAt(uint64_t offset, void* buffer, size_t n) {
    size_t got = 0;
    return readSomeAt(offset, buffer, n, &got) && got == n;
}

bool FileSet::readSomeAt(uint64_t offset, void* buffer, size_t n, size_t* got) {
    *got = 0;
    uint16_t member;
    uint64_t rest;
    if (!locate(offset, &member, &rest)) return false;
    return platform_.readAt(handles_[member], rest, buffer, n, got);
}

bool FileSet::readUntracedAt(uint64_t offset, void* buffer, size_t n) {
    uint16_t member;
    uint64_t rest;
    mapOffset(offset, &member, &rest);
    if (member >= memberCount_) return false;
    size_t got = 0;
    return platform_.readAt(handles_[member], rest, buffer, n, &got) && got == n;
}

tabulon::Status FileSet::write(uint64_t offset, const void* buffer, size_t n) {
    using tabulon::Failure;
    uint16_t member;
    uint64_t rest;
    if (!locate(offset, &member, &rest)) {
        return {Failure::Refused, path_, 0, "the offset lies past the end of the file set\n"};
    }
    const std::string& name = memberNames_[member];
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (WriteObserver* o : observers_) {
        if (!o->beforeWrite(offset, n)) return {Failure::Refused, name, 0, "refused\n"};
    }
    size_t put = 0;
    written_[member] = true;
    uint32_t error = 0;
    bool ok = platform_.writeAt(handles_[member], rest, buffer, n, &put, &error) && put == n;
    for (WriteObserver* o : observers_) o->afterWrite(offset, bytes, n, ok);
    if (ok) return {};
    return {Failure::Write, name, error, platform_.errorText(error)};
}

bool FileSet::gatherAt(int k, uint64_t rest, uint64_t stride, size_t count, size_t width,
                       uint8_t* out) {
    if (k < 0 || k >= memberCount_) return false;
    return platform_.gatherAt(handles_[size_t(k)], rest, stride, count, width, out);
}

void FileSet::addObserver(WriteObserver* observer) {
    observers_.push_back(observer);
}

void FileSet::removeObserver(WriteObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

}  // namespace tabulon
