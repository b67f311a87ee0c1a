// The undo journal of a repair run: before the first write into a block of
// the file set (a PAT page copy, a page header), the block's old bytes are
// appended to the journal and flushed to the disk, so that every repair can
// be taken back, even one cut short by a crash.
//
// Layout (every number little-endian):
//
//   magic       8 bytes  "TABUNDO" 0x1A
//   version     u32      3 (2 is read as well: no file identity)
//   records, each:  kind u8, body length u32, body, CRC-32 u32 of kind,
//                   length and body
//
//   'I' identity (first, once): main path (u16 length, bytes), the set's
//       version code, page size and PAT page size (u16 each), FCR span
//       length u32 and CRC-32 of the set's bytes [0, span) (both FCR
//       copies), member count u16, then per member its name (u16 length,
//       bytes) and size u64; then (from version 3) whether the main file's
//       identity is known u8, its device u64 and file number u64.
//   'G' group of pre-images: count u32, then per block its file-set offset
//       u64, length u32, kept-range count u16 with (start u32, length u32)
//       each, and the block's old bytes. Kept ranges are the bytes of the
//       block that the run never changes. A body holds at most
//       kMaxRecordBody bytes.
//   'C' closing (last, once, after the set was flushed): count u32, then
//       the CRC-32 of each journaled block's final bytes, in journal order,
//       then the fingerprint u32 of the rest of the set's table as the run
//       left it (the FCR copies and every PAT copy no block holds).
//
// A record is complete on the disk before any write it covers is made; a
// record cut short by a crash can therefore only be the last one, and no
// write it would have covered was made. A journal cut after its run ends
// the same way, its writes made: the set tells the two apart, as a block
// the cut record shows that no longer holds the old bytes it shows was
// written. Every block has at least one byte, and a run journals each PAT
// copy and page header at most once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fileio/fileset.h"
#include "fileio/output.h"
#include "fileio/platform.h"
#include "fileio/status.h"

namespace tabulon {

constexpr uint32_t kJournalVersion = 3;
constexpr uint32_t kOldestJournalVersion = 2;
constexpr uint8_t kClosingRecord = 'C';

// The body of any record but the closing one holds at most this many bytes:
// a group's old bytes (1 MiB of PAT copies, or one pair) and their framing.
constexpr uint32_t kMaxRecordBody = uint32_t(2) << 20;

// CRC-32 (the reflected 0xEDB88320 polynomial), continued from `crc`.
uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc = 0);

// A range of the file set that the journal keeps the old bytes of.
struct JournalBlock {
    uint64_t offset = 0;  // file-set offset; the block lies inside one member
    uint32_t length = 0;
    // (start, length) inside the block of bytes that a run never changes.
    std::vector<std::pair<uint32_t, uint32_t>> kept;
};

// Knows the blocks of a file set: which block a write falls into, and which
// blocks the run will write into soon after, to be journaled in the same
// group (one flush for many blocks).
class JournalPlanner {
  public:
    virtual ~JournalPlanner() = default;
    // Appends the blocks to journal before n bytes are written at the offset,
    // those that hold the write first.
    virtual void blocksFor(uint64_t offset, size_t n, std::vector<JournalBlock>* blocks) = 0;
    // Bytes at the start of the set that identify it (its FCR copies).
    virtual uint32_t identitySpan() = 0;
    // The set's version code, page size and PAT page size.
    virtual void identityGeometry(uint16_t* versionCode, uint16_t* pageSize,
                                  uint16_t* patPageSize) = 0;
    // The fingerprint of the set's table apart from the given blocks (offset,
    // length); false when it cannot be read.
    virtual bool fingerprint(const std::vector<std::pair<uint64_t, uint32_t>>& blocks,
                             uint32_t* crc) = 0;
};

// Reads n bytes at a file-set offset, across member ends where needed.
bool readSetSpan(FileSet& set, uint64_t offset, uint8_t* out, size_t n);

// The observer that writes the journal of one run.
class JournalWriter : public WriteObserver {
  public:
    JournalWriter(FileSet& set, JournalPlanner& planner, NoticeSink& out);
    ~JournalWriter() override;
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Creates the journal (it must not exist) and writes its identity record
    // to the disk. False with the system's error code when it cannot, or
    // with 0 when the set's FCR copies cannot be read (nothing is created).
    bool create(const std::string& path, uint32_t* error);

    bool beforeWrite(uint64_t offset, size_t n) override;
    void afterWrite(uint64_t, const uint8_t*, size_t, bool) override {}

    // Ends the journal. With setFlushed (the set was closed and every
    // written member flushed) the closing record is written from the final
    // checksums taken by takeFinalChecksums; otherwise the journal ends
    // without one, as after a crash. False after a failure to write the
    // journal (at any time during the run; it was reported then).
    bool finish(bool setFlushed);

    // Takes the checksum of each journaled block as the set holds it now;
    // call while the set is open, after the last write.
    void takeFinalChecksums();

    // How many blocks of the set the journal holds so far.
    size_t blockCount() const { return blocks_.size(); }

  private:
    // The blocks of one group record and their old bytes.
    struct Group {
        std::vector<JournalBlock> blocks;
        std::vector<std::vector<uint8_t>> olds;
        uint64_t bodySize = 4;
        bool holderUnread = false;  // the block that holds the write cannot be read
    };
    // Adds a block to the group, cut to the member it starts in, with its
    // old bytes; a block journaled already, or that cannot be read or would
    // make the record too long, is left out.
    void take(JournalBlock b, uint64_t offset, size_t n, Group* group);
    bool appendRecord(uint8_t kind, const std::vector<uint8_t>& body);
    void fail(uint32_t error);
    bool covered(uint64_t offset, uint64_t n) const;
    void cover(uint64_t offset, uint64_t n);

    FileSet& set_;
    JournalPlanner& planner_;
    NoticeSink& out_;  // a failure to write the journal, as a Journal notice
    Platform& platform_;
    std::string path_;
    PlatformHandle handle_ = kInvalidHandle;
    bool failed_ = false;
    bool finalsTaken_ = false;
    std::vector<std::pair<uint64_t, uint32_t>> blocks_;  // offset, length
    std::vector<uint32_t> finals_;
    uint32_t fingerprint_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> coverage_;  // sorted, disjoint [start, end)
};

// A journal read back.
struct JournalIdentity {
    std::string mainPath;
    uint16_t versionCode = 0;
    uint16_t pageSize = 0;
    uint16_t patPageSize = 0;
    uint32_t fcrSpan = 0;
    uint32_t fcrCrc = 0;
    std::vector<std::pair<std::string, uint64_t>> members;  // name, size
    bool mainFileKnown = false;  // false in a journal of version 2
    FileId mainFile;
};

// The most blocks a run can journal on a set of this geometry: each PAT copy
// and each page header once, and a piece of either in the next member.
uint64_t journalBlockBound(uint64_t setSize, uint16_t members, uint16_t pageSize,
                           uint16_t patPageSize);

struct JournaledBlock {
    JournalBlock block;
    uint64_t oldAt = 0;        // journal offset of its old bytes
    std::vector<uint8_t> old;  // the old bytes, when the reader keeps them
    uint32_t group = 0;        // number of its group record, from 0
};

// A block of a last record cut short: its place, and as many of its old
// bytes as the journal still holds, unchecked (the record's checksum is
// lost).
struct TornBlock {
    JournalBlock block;
    uint64_t oldAt = 0;  // journal offset of the old bytes it holds
    uint32_t shown = 0;  // how many of them, up to the block's length
};

struct JournalContents {
    JournalIdentity identity;
    std::vector<JournaledBlock> blocks;  // in journal order, up to any damage
    uint32_t groups = 0;
    bool closed = false;              // a closing record was found
    std::vector<uint32_t> finalCrcs;  // one per block when closed
    uint32_t fingerprint = 0;         // when closed
    // The last record was cut short (it runs past the end, or it ends the
    // journal and fails its checksum) and fits what one record can hold:
    // it was being written when the run stopped, or the journal was cut
    // after the run; the blocks it shows and the set tell which.
    bool tornTail = false;
    uint64_t tornAt = 0, tornBytes = 0;
    // Its kind (0 when not even that is there) and, for a group, each block
    // whose place it holds whole, in order, up to the first it holds only
    // in part.
    uint8_t tornKind = 0;
    std::vector<TornBlock> tornBlocks;
    // A record that no crash can explain: the blocks are those before it.
    bool damaged = false;
    uint64_t damageAt = 0;
    std::string damage;
};

// Where a journal's bytes are read from, a piece at a time.
class JournalSource {
  public:
    virtual ~JournalSource() = default;
    virtual uint64_t size() const = 0;
    // Exactly n bytes at the offset; false when they cannot be read.
    virtual bool read(uint64_t offset, uint8_t* out, size_t n) = 0;
};

class MemoryJournal : public JournalSource {
  public:
    explicit MemoryJournal(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, uint8_t* out, size_t n) override;

  private:
    const std::vector<uint8_t>& bytes_;
};

class FileJournal : public JournalSource {
  public:
    FileJournal(Platform& platform, PlatformHandle handle, uint64_t size)
        : platform_(platform), handle_(handle), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, uint8_t* out, size_t n) override;

  private:
    Platform& platform_;
    PlatformHandle handle_;
    uint64_t size_;
};

// Where the set lies that a journal names by the path its repair was given,
// seen from the folder the undo runs in.
enum class NamedSetPlace {
    InFolder,      // relative, with no ".." part, its folder reached through no link
                   // (or not reached at all: the open says why)
    LeavesFolder,  // absolute (a root, a drive or a share) or with a ".." part
    LinkedFolder,  // its folder is reached through a symbolic link
};
// The place of the set at this path; *realFolder is its folder's full path
// where that can be resolved.
NamedSetPlace namedSetPlace(const std::string& path, std::string* realFolder);

// Reads a journal record by record; no more than one record's body is held
// at a time, and every length is bounded before it sizes anything. Fails
// (Failure::Damaged, the reason as text) when the bytes are not a journal
// this version can read or its identity record is unusable; a damaged record
// after it sets `damaged` instead. Blocks past maxBlocks, or past what the
// identity's geometry allows, are damage. keepOld keeps each block's old
// bytes in `old`.
Status readJournal(JournalSource& source, JournalContents* contents, bool keepOld,
                   uint64_t maxBlocks = UINT64_MAX);
// Reads the magic number, the version and the identity record only.
Status readJournalIdentity(JournalSource& source, JournalIdentity* identity);
// readJournal over bytes in memory, old bytes kept.
Status parseJournal(const std::vector<uint8_t>& bytes, JournalContents* contents);

// The serialized forms, for the writer and for tests that build journals.
std::vector<uint8_t> journalPreamble();
std::vector<uint8_t> journalRecord(uint8_t kind, const std::vector<uint8_t>& body);
std::vector<uint8_t> identityBody(const JournalIdentity& identity);

}  // namespace tabulon
