// The file set: the main file, its extension files and its delta file, opened
// together; the main file and the extension files form one byte space
// addressed by unsigned 64-bit offsets. Every byte the tool writes goes
// through FileSet::writeAt, where observers (an undo journal, an index of
// page headers) see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fileio/output.h"
#include "fileio/platform.h"
#include "fileio/status.h"

namespace tabulon {

constexpr int kMaxMembers = 128;     // the main file and extension files .^01 to .^7f
constexpr int kDeltaMember = -1;

// Name of member k (0 the main file, 1 to 127 an extension file), or of the
// delta file when k is kDeltaMember. False when the name would be longer than
// a name buffer holds.
bool memberName(const std::string& path, int k, std::string* name);

class FileSet;

// The lines the tabulon program prints after opening a set: the failure of
// the open (without /D, whose trace says it), then the delta file's notice.
std::string openReport(const FileSet& set, const Status& opened, bool verbose);

// Sees every write of a file set, before and after it is made.
class WriteObserver {
  public:
    virtual ~WriteObserver() = default;
    // Called before n bytes are written at a file-set offset; returning false
    // refuses the write (it then fails, and nothing is written).
    virtual bool beforeWrite(uint64_t offset, size_t n) = 0;
    // Called after the write, with the bytes and whether all of them reached
    // the file.
    virtual void afterWrite(uint64_t offset, const uint8_t* bytes, size_t n, bool ok) = 0;
};

// Opens the files of a set for FileSet::open. Without one, the set opens
// each name through its platform and closes the handles itself; a caller
// that opened them otherwise (once, from a folder's handle, without
// following a link) hands its handles over through its own opener and keeps
// them: the set reads through them and never closes them.
class MemberOpener {
  public:
    virtual ~MemberOpener() = default;
    // Opens member k (0 the main file, kDeltaMember the delta file), whose
    // name in the set is `name`, with the mode's access and sharing; false
    // with the system's code.
    virtual bool open(int k, const std::string& name, int mode, PlatformHandle* handle,
                      uint32_t* error) = 0;
};

class FileSet {
  public:
    explicit FileSet(Platform& platform);
    ~FileSet();
    FileSet(const FileSet&) = delete;
    FileSet& operator=(const FileSet&) = delete;

    // Opens the members and the delta file with the access and sharing of
    // the mode, with the /D traces when verbose. Returns what failed: the
    // main file (nothing is open), or an extension file that is there but
    // could not be opened, which ends the set before it. A repair needs the
    // whole set, so for Repair that failure closes everything too; otherwise
    // the members before it stay open. memberCount() is 0 when nothing is
    // open. An extension file that is not there is no failure. With an
    // opener, the handles come from it and stay its own.
    Status open(const std::string& path, int mode, NoticeSink& out, bool verbose,
                MemberOpener* opener = nullptr);

    // Flushes the members that were written and closes every handle. Returns
    // each failed flush (Failure::Flush, the member, the system's code and
    // text): the first, with any others in its `more`.
    Status close();

    const std::string& path() const { return path_; }
    uint16_t memberCount() const { return memberCount_; }
    uint64_t memberSize(int k) const { return memberSizes_[size_t(k)]; }
    const std::string& memberFileName(int k) const { return memberNames_[size_t(k)]; }
    uint64_t totalSize() const;
    uint64_t totalSectors() const { return totalSectors_; }
    bool hasDelta() const { return deltaHandle_ != kInvalidHandle; }
    const std::string& deltaName() const { return deltaName_; }
    uint64_t deltaSize() const { return deltaSize_; }
    // The system's error code of the open that ended the list of members:
    // 2 (not found) when the next extension file does not exist, 0 when the
    // list ended at its longest or at a name too long for a name buffer.
    uint32_t endError() const { return endError_; }
    // The system's identity of member k; false when the binding cannot tell.
    bool memberFileId(int k, FileId* id) {
        return k >= 0 && k < memberCount_ && platform_.fileId(handles_[size_t(k)], id);
    }
    Platform& platform() { return platform_; }

    // Maps a file-set offset to a member and the offset inside it. member is
    // memberCount when the offset lies at or past the end of the last member.
    void mapOffset(uint64_t offset, uint16_t* member, uint64_t* rest) const;

    // Reads exactly n bytes at the offset, from the member in which it starts.
    bool readAt(uint64_t offset, void* buffer, size_t n);

    // Reads up to n bytes at the offset from the member in which it starts;
    // *got tells how many came back. False when the offset lies outside every
    // member or the read call failed.
    bool readSomeAt(uint64_t offset, void* buffer, size_t n, size_t* got);

    // Reads exactly n bytes at the offset, from the member in which it
    // starts, without a /D trace line: for the set's own bookkeeping (an
    // observer taking a copy of bytes about to be overwritten), which is no
    // access of the check.
    bool readUntracedAt(uint64_t offset, void* buffer, size_t n);

    // The one write path: n bytes at the offset, into the member in which it
    // starts (a write past that member's end extends it). Ok only when all n
    // bytes were written; else the member and the system's code and text.
    tabulon::Status write(uint64_t offset, const void* buffer, size_t n);
    bool writeAt(uint64_t offset, const void* buffer, size_t n) {
        return write(offset, buffer, n).ok();
    }

    // Gathers a field of `width` bytes at `count` places `stride` bytes apart
    // inside member k, the first at `rest`.
    bool gatherAt(int k, uint64_t rest, uint64_t stride, size_t count, size_t width, uint8_t* out);

    // A read-only view of `length` bytes of member k from `rest`, which lie
    // inside it; false when the platform cannot map it. Its bytes are read
    // only inside readViews.
    bool mapView(int k, uint64_t rest, size_t length, FileView* view) {
        return k >= 0 && k < memberCount_ &&
               platform_.mapView(handles_[size_t(k)], rest, length, view);
    }
    void unmapView(FileView* view) { platform_.unmapView(view); }
    // Runs visit(), which reads views of the set's members; false when some
    // of their bytes could not be read and visit() was left part way (it
    // must own nothing that a destructor would release).
    template <class F>
    bool readViews(F& visit) {
        return platform_.readViews([](void* f) { (*static_cast<F*>(f))(); }, &visit);
    }

    void addObserver(WriteObserver* observer);
    void removeObserver(WriteObserver* observer);

  private:
    void reset(const std::string& path, NoticeSink& out, bool verbose);
    Status openFile(int k, const std::string& name, int mode, PlatformHandle* handle,
                    uint64_t* size);
    void closeHandle(PlatformHandle handle);
    // Opens the main file and the extension files after it, in order.
    Status openMembers(int mode);
    Status closeHandles();
    // Maps the offset and prints the positioning trace.
    bool locate(uint64_t offset, uint16_t* member, uint64_t* rest);

    Platform& platform_;
    NoticeSink* out_ = nullptr;
    bool verbose_ = false;
    std::string path_;
    std::vector<PlatformHandle> handles_ = std::vector<PlatformHandle>(kMaxMembers, kInvalidHandle);
    std::vector<uint64_t> memberSizes_ = std::vector<uint64_t>(kMaxMembers, 0);
    std::vector<bool> written_ = std::vector<bool>(kMaxMembers, false);
    std::vector<std::string> memberNames_;
    uint16_t memberCount_ = 0;
    uint64_t totalSectors_ = 0;
    MemberOpener* opener_ = nullptr;
    PlatformHandle deltaHandle_ = kInvalidHandle;
    std::string deltaName_;
    uint64_t deltaSize_ = 0;
    uint32_t endError_ = 0;
    std::vector<WriteObserver*> observers_;
};

}  // namespace tabulon
