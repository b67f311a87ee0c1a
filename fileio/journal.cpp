#include "fileio/journal.h"

#include <algorithm>
#include <array>

#include "format/le.h"

namespace tabulon {

namespace {

constexpr uint8_t kMagic[8] = {'T', 'A', 'B', 'U', 'N', 'D', 'O', 0x1A};
constexpr size_t kPreambleSize = 12;
constexpr uint8_t kIdentity = 'I';
constexpr uint8_t kGroup = 'G';
constexpr uint8_t kClosing = kClosingRecord;

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

void put8(std::vector<uint8_t>& b, uint8_t v) {
    b.push_back(v);
}
void put16(std::vector<uint8_t>& b, uint16_t v) {
    uint8_t f[2];
    putLe16(f, v);
    for (uint8_t x : f) b.push_back(x);
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    uint8_t f[4];
    putLe32(f, v);
    for (uint8_t x : f) b.push_back(x);
}
void put64(std::vector<uint8_t>& b, uint64_t v) {
    put32(b, uint32_t(v));
    put32(b, uint32_t(v >> 32));
}
void putString(std::vector<uint8_t>& b, const std::string& s) {
    put16(b, uint16_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// Reads fields off a byte range; every read fails once the range is spent.
class Cursor {
  public:
    Cursor(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
    bool take(size_t n, const uint8_t** at) {
        if (size_t(end_ - p_) < n) return false;
        *at = p_;
        p_ += n;
        return true;
    }
    bool u8(uint8_t* v) {
        const uint8_t* a;
        if (!take(1, &a)) return false;
        *v = a[0];
        return true;
    }
    bool u16(uint16_t* v) {
        const uint8_t* a;
        if (!take(2, &a)) return false;
        *v = le16(a);
        return true;
    }
    bool u32(uint32_t* v) {
        const uint8_t* a;
        if (!take(4, &a)) return false;
        *v = le32(a);
        return true;
    }
    bool u64(uint64_t* v) {
        uint32_t lo, hi;
        if (!u32(&lo) || !u32(&hi)) return false;
        *v = uint64_t(hi) << 32 | lo;
        return true;
    }
    bool string(std::string* s) {
        uint16_t n;
        const uint8_t* a;
        if (!u16(&n) || !take(n, &a)) return false;
        s->assign(reinterpret_cast<const char*>(a), n);
        return true;
    }
    bool done() const { return p_ == end_; }
    size_t left() const { return size_t(end_ - p_); }
    const uint8_t* here() const { return p_; }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace

uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

bool readSetSpan(FileSet& set, uint64_t offset, uint8_t* out, size_t n) {
    while (n > 0) {
        uint16_t member;
        uint64_t rest;
        set.mapOffset(offset, &member, &rest);
        if (member >= set.memberCount()) return false;
        const uint64_t left = set.memberSize(member) - rest;
        const size_t piece = size_t(std::min<uint64_t>(n, left));
        if (piece == 0 || !set.readUntracedAt(offset, out, piece)) return false;
        offset += piece;
        out += piece;
        n -= piece;
    }
    return true;
}

std::vector<uint8_t> journalPreamble() {
    std::vector<uint8_t> b(kMagic, kMagic + sizeof kMagic);
    put32(b, kJournalVersion);
    return b;
}

std::vector<uint8_t> journalRecord(uint8_t kind, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> r;
    r.reserve(body.size() + 9);
    put8(r, kind);
    put32(r, uint32_t(body.size()));
    r.insert(r.end(), body.begin(), body.end());
    put32(r, crc32(r.data(), r.size()));
    return r;
}

std::vector<uint8_t> identityBody(const JournalIdentity& identity) {
    std::vector<uint8_t> b;
    putString(b, identity.mainPath);
    put16(b, identity.versionCode);
    put16(b, identity.pageSize);
    put16(b, identity.patPageSize);
    put32(b, identity.fcrSpan);
    put32(b, identity.fcrCrc);
    put16(b, uint16_t(identity.members.size()));
    for (const auto& [name, size] : identity.members) {
        putString(b, name);
        put64(b, size);
    }
    put8(b, identity.mainFileKnown ? 1 : 0);
    put64(b, identity.mainFile.device);
    put64(b, identity.mainFile.file);
    return b;
}

uint64_t journalBlockBound(uint64_t setSize, uint16_t members, uint16_t pageSize,
                           uint16_t patPageSize) {
    uint64_t unit = std::min(pageSize, patPageSize);
    if (unit == 0) unit = std::max<uint64_t>(1, std::max(pageSize, patPageSize));
    return setSize / unit + 2 * uint64_t(members) + 2;
}

JournalWriter::JournalWriter(FileSet& set, JournalPlanner& planner, NoticeSink& out)
    : set_(set), planner_(planner), out_(out), platform_(set.platform()) {}

JournalWriter::~JournalWriter() {
    if (handle_ != kInvalidHandle) platform_.close(handle_);
}

bool JournalWriter::create(const std::string& path, uint32_t* error) {
    path_ = path;
    JournalIdentity id;
    id.mainPath = set_.path();
    for (int k = 0; k < set_.memberCount(); ++k) {
        id.members.emplace_back(set_.memberFileName(k), set_.memberSize(k));
    }
    planner_.identityGeometry(&id.versionCode, &id.pageSize, &id.patPageSize);
    id.fcrSpan = uint32_t(std::min<uint64_t>(planner_.identitySpan(), set_.totalSize()));
    std::vector<uint8_t> fcr(id.fcrSpan);
    // Without its FCR copies the set cannot be recognised by the undo: no
    // journal, and so no repair.
    if (!readSetSpan(set_, 0, fcr.data(), fcr.size())) {
        *error = 0;
        return false;
    }
    id.fcrCrc = crc32(fcr.data(), fcr.size());
    id.mainFileKnown = set_.memberFileId(0, &id.mainFile);

    if (!platform_.create(path.c_str(), &handle_, error)) {
        handle_ = kInvalidHandle;
        return false;
    }
    std::vector<uint8_t> head = journalPreamble();
    std::vector<uint8_t> record = journalRecord(kIdentity, identityBody(id));
    head.insert(head.end(), record.begin(), record.end());
    if (!platform_.append(handle_, head.data(), head.size(), error) ||
        !platform_.flush(handle_, error)) {
        platform_.close(handle_);
        handle_ = kInvalidHandle;
        return false;
    }
    return true;
}

bool JournalWriter::appendRecord(uint8_t kind, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> record = journalRecord(kind, body);
    uint32_t error = 0;
    if (!platform_.append(handle_, record.data(), record.size(), &error) ||
        !platform_.flush(handle_, &error)) {
        fail(error);
        return false;
    }
    return true;
}

void JournalWriter::fail(uint32_t error) {
    failed_ = true;
    out_.emit(NoticeKind::Journal, Stream::Err,
              describe({Failure::Journal, path_, error, platform_.errorText(error)}), 0,
              Notice::flushOutBefore | Notice::flushAfter);
}

bool JournalWriter::covered(uint64_t offset, uint64_t n) const {
    auto it =
        std::upper_bound(coverage_.begin(), coverage_.end(), std::make_pair(offset, UINT64_MAX));
    if (it == coverage_.begin()) return false;
    --it;
    return it->first <= offset && offset + n <= it->second;
}

void JournalWriter::cover(uint64_t offset, uint64_t n) {
    uint64_t start = offset, end = offset + n;
    auto it =
        std::lower_bound(coverage_.begin(), coverage_.end(), std::make_pair(start, uint64_t(0)));
    if (it != coverage_.begin() && std::prev(it)->second >= start) --it;
    auto last = it;
    while (last != coverage_.end() && last->first <= end) {
        start = std::min(start, last->first);
        end = std::max(end, last->second);
        ++last;
    }
    it = coverage_.erase(it, last);
    coverage_.insert(it, {start, end});
}

void JournalWriter::take(JournalBlock b, uint64_t offset, size_t n, Group* group) {
    uint16_t m;
    uint64_t r;
    set_.mapOffset(b.offset, &m, &r);
    if (m >= set_.memberCount() || b.length == 0) return;
    const uint64_t room = set_.memberSize(m) - r;
    if (b.length > room) b.length = uint32_t(room);
    if (b.length == 0 || covered(b.offset, b.length)) return;
    for (auto& [start, length] : b.kept) {
        if (start >= b.length)
            length = 0;
        else
            length = std::min(length, b.length - start);
    }
    std::erase_if(b.kept, [](const auto& k) { return k.second == 0; });
    // A group never grows past what a reader accepts as one record; the
    // blocks left out are journaled with a later write.
    const uint64_t framed = 14 + 8 * uint64_t(b.kept.size()) + b.length;
    if (group->bodySize + framed > kMaxRecordBody) return;
    std::vector<uint8_t> old(b.length);
    if (!set_.readUntracedAt(b.offset, old.data(), old.size())) {
        if (b.offset <= offset && offset + n <= b.offset + b.length) group->holderUnread = true;
        return;
    }
    group->bodySize += framed;
    group->blocks.push_back(std::move(b));
    group->olds.push_back(std::move(old));
}

namespace {

std::vector<uint8_t> groupBody(const std::vector<JournalBlock>& blocks,
                               const std::vector<std::vector<uint8_t>>& olds) {
    std::vector<uint8_t> body;
    put32(body, uint32_t(blocks.size()));
    for (size_t i = 0; i < blocks.size(); ++i) {
        const JournalBlock& b = blocks[i];
        put64(body, b.offset);
        put32(body, b.length);
        put16(body, uint16_t(b.kept.size()));
        for (const auto& [start, length] : b.kept) {
            put32(body, start);
            put32(body, length);
        }
        body.insert(body.end(), olds[i].begin(), olds[i].end());
    }
    return body;
}

}  // namespace

bool JournalWriter::beforeWrite(uint64_t offset, size_t n) {
    if (failed_ || handle_ == kInvalidHandle) return false;
    uint16_t member;
    uint64_t rest;
    set_.mapOffset(offset, &member, &rest);
    // A write that would make a member longer cannot be taken back by
    // writing old bytes: it is not made.
    if (member >= set_.memberCount() || rest + n > set_.memberSize(member)) return false;
    if (covered(offset, n)) return true;

    std::vector<JournalBlock> planned;
    planner_.blocksFor(offset, n, &planned);
    // The blocks with their old bytes; blocks journaled already and blocks
    // that cannot be read are left out.
    Group group;
    for (JournalBlock& b : planned) take(std::move(b), offset, n, &group);
    // The block that holds the write is journaled whole or the write is not
    // made: a piece of it alone is no block the undo takes.
    if (group.holderUnread) return false;

    // The write must lie inside what is journaled; a write the planner does
    // not know is journaled as a block of its own, all of it changeable.
    bool inside = false;
    for (const JournalBlock& b : group.blocks) {
        if (b.offset <= offset && offset + n <= b.offset + b.length) inside = true;
    }
    if (!inside) {
        JournalBlock own;
        own.offset = offset;
        own.length = uint32_t(n);
        const size_t before = group.blocks.size();
        take(own, offset, n, &group);
        if (group.blocks.size() == before) return false;
    }

    if (!appendRecord(kGroup, groupBody(group.blocks, group.olds))) return false;
    for (const JournalBlock& b : group.blocks) {
        blocks_.emplace_back(b.offset, b.length);
        cover(b.offset, b.length);
    }
    return true;
}

void JournalWriter::takeFinalChecksums() {
    finals_.clear();
    finalsTaken_ = true;
    std::vector<uint8_t> bytes;
    for (const auto& [offset, length] : blocks_) {
        bytes.resize(length);
        if (!set_.readUntracedAt(offset, bytes.data(), length)) {
            // Final bytes that cannot be read cannot be named: no closing
            // record, and the undo treats the run as cut short.
            finalsTaken_ = false;
            return;
        }
        finals_.push_back(crc32(bytes.data(), length));
    }
    if (!planner_.fingerprint(blocks_, &fingerprint_)) finalsTaken_ = false;
}

bool JournalWriter::finish(bool setFlushed) {
    if (handle_ == kInvalidHandle) return !failed_;
    bool ok = !failed_;
    if (ok && setFlushed && finalsTaken_) {
        std::vector<uint8_t> body;
        put32(body, uint32_t(finals_.size()));
        for (uint32_t c : finals_) put32(body, c);
        put32(body, fingerprint_);
        ok = appendRecord(kClosing, body);
    }
    platform_.close(handle_);
    handle_ = kInvalidHandle;
    return ok;
}

bool MemoryJournal::read(uint64_t offset, uint8_t* out, size_t n) {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    std::copy_n(bytes_.begin() + std::ptrdiff_t(offset), n, out);
    return true;
}

bool FileJournal::read(uint64_t offset, uint8_t* out, size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    size_t got = 0;
    return platform_.readAt(handle_, offset, out, n, &got) && got == n;
}

namespace {

// The largest identity body: the longest path, 128 members of the longest
// names, and the main file's identity.
constexpr uint64_t kMaxIdentityBody = 2 + kMaxPathLength + 3 * 2 + 2 * 4 + 2 +
                                      uint64_t(kMaxMembers) * (2 + kMaxPathLength + 8) + 1 + 16;

// The bytes of records that the search for a record after a cut-short one
// checksums at most; past it the cut is taken for damage.
constexpr uint64_t kTailSearchBytes = uint64_t(64) << 20;

bool parseIdentity(Cursor& body, uint32_t version, JournalIdentity* id) {
    uint16_t members;
    if (!body.string(&id->mainPath) || !body.u16(&id->versionCode) || !body.u16(&id->pageSize) ||
        !body.u16(&id->patPageSize) || !body.u32(&id->fcrSpan) || !body.u32(&id->fcrCrc) ||
        !body.u16(&members) || members > kMaxMembers) {
        return false;
    }
    for (uint16_t k = 0; k < members; ++k) {
        std::string name;
        uint64_t size;
        if (!body.string(&name) || !body.u64(&size)) return false;
        id->members.emplace_back(name, size);
    }
    if (version >= 3) {
        uint8_t known;
        if (!body.u8(&known) || known > 1 || !body.u64(&id->mainFile.device) ||
            !body.u64(&id->mainFile.file)) {
            return false;
        }
        id->mainFileKnown = known == 1;
    }
    return body.done();
}

Status unusable(const std::string& why) {
    Status s;
    s.failure = Failure::Damaged;
    s.text = why;
    return s;
}

// Reads a journal a record at a time into the contents.
class Reader {
  public:
    Reader(JournalSource& source, JournalContents* c, bool keepOld, uint64_t maxBlocks)
        : source_(source), c_(*c), keepOld_(keepOld), maxBlocks_(maxBlocks), size_(source.size()) {}

    Status run(bool identityOnly) {
        c_ = JournalContents{};
        if (Status s = preamble(); !s) return s;
        at_ = kPreambleSize;
        while (at_ < size_ && !(identityOnly && haveIdentity_)) {
            if (!record()) break;
        }
        if (status_.ok() && !haveIdentity_) {
            return unusable("the journal ends before its identity record");
        }
        return status_;
    }

  private:
    Status preamble();
    bool record();
    bool body(uint8_t kind, Cursor& body, const uint8_t* r);
    bool group(Cursor& body, const uint8_t* r);
    bool closing(Cursor& body);
    bool recordFollows(uint64_t from);
    static bool wellFormedAt(const uint8_t* p, size_t n, uint64_t* budget);

    // Stops at a damaged record: before the identity the journal is of no
    // use; after it, the blocks before the damage are kept. Returns false.
    bool damaged(const std::string& what) {
        if (!haveIdentity_) {
            status_ = unusable(what);
            return false;
        }
        c_.damaged = true;
        c_.damageAt = at_;
        c_.damage = what;
        return false;
    }
    bool malformed(const char* what) {
        return damaged(std::string(what) + " at byte " + std::to_string(at_) + " is malformed");
    }
    // The last record, cut short by the run's stop or after it, of which
    // the journal holds n bytes from r on. Returns false.
    bool torn(const uint8_t* r, size_t n) {
        if (!haveIdentity_) return damaged("the journal ends inside its identity record");
        c_.tornTail = true;
        c_.tornAt = at_;
        c_.tornBytes = size_ - at_;
        c_.tornKind = n > 0 ? r[0] : 0;
        if (n >= 5 && r[0] == kGroup) tornGroup(r, n);
        return false;
    }
    void tornGroup(const uint8_t* r, size_t n);
    uint64_t limitOf(uint8_t kind) const {
        if (!haveIdentity_) return kMaxIdentityBody;
        if (kind == kClosing) return 8 + 4 * uint64_t(c_.blocks.size());
        return kMaxRecordBody;
    }

    JournalSource& source_;
    JournalContents& c_;
    bool keepOld_;
    uint64_t maxBlocks_;
    uint64_t size_;
    uint32_t version_ = 0;
    uint64_t at_ = 0;
    bool haveIdentity_ = false;
    std::vector<uint8_t> record_;
    Status status_;
};

Status Reader::preamble() {
    uint8_t head[kPreambleSize];
    if (size_ < kPreambleSize || !source_.read(0, head, kPreambleSize) ||
        !std::equal(kMagic, kMagic + 8, head)) {
        return unusable("not an undo journal (no magic number)");
    }
    version_ = le32(head + 8);
    if (version_ < kOldestJournalVersion || version_ > kJournalVersion) {
        return unusable("journal format version " + std::to_string(version_) +
                        ", this program reads " + std::to_string(kOldestJournalVersion) + " to " +
                        std::to_string(kJournalVersion));
    }
    return {};
}

// Reads the record at at_; false when reading stops there.
bool Reader::record() {
    const uint64_t left = size_ - at_;
    const std::string where = " at byte " + std::to_string(at_);
    uint8_t head[5] = {};
    if (left < 5) {
        if (!source_.read(at_, head, size_t(left))) return damaged("unreadable" + where);
        return torn(head, size_t(left));
    }
    if (!source_.read(at_, head, 5)) return damaged("the record" + where + " cannot be read");
    const uint8_t kind = head[0];
    const uint32_t bodyLength = le32(head + 1);
    // A longer record than its kind holds is no record the writer made, cut
    // short or not.
    if (bodyLength > limitOf(kind)) {
        return damaged("the record" + where + " claims " + std::to_string(bodyLength) +
                       " bytes, more than a record of its kind holds");
    }
    const uint64_t total = uint64_t(bodyLength) + 9;
    if (total > left) {
        // Cut short by the run's stop only when it is the last record: a
        // well-formed record after its start proves its length is damaged.
        if (recordFollows(at_ + 1)) {
            return damaged("the record" + where + " claims " + std::to_string(bodyLength) +
                           " bytes, past the end of the journal, and records follow it");
        }
        // Shorter than the record's bounded length: what is left of it.
        record_.resize(size_t(left));
        if (!source_.read(at_, record_.data(), record_.size())) return torn(head, 5);
        return torn(record_.data(), record_.size());
    }
    record_.resize(size_t(total));
    if (!source_.read(at_, record_.data(), record_.size())) {
        return damaged("the record" + where + " cannot be read");
    }
    const uint8_t* r = record_.data();
    if (crc32(r, size_t(total) - 4) != le32(r + total - 4)) {
        if (at_ + total == size_) return torn(r, size_t(total));
        return damaged("the record" + where + " fails its checksum");
    }
    Cursor cursor(r + 5, bodyLength);
    if (!body(kind, cursor, r)) return false;
    at_ += total;
    return true;
}

bool Reader::body(uint8_t kind, Cursor& body, const uint8_t* r) {
    if (!haveIdentity_ && kind != kIdentity) return malformed("the first record");
    if (c_.closed) return malformed("a record after the closing record");
    if (kind == kIdentity) {
        if (haveIdentity_) return malformed("a second identity record");
        if (!parseIdentity(body, version_, &c_.identity)) return malformed("the identity record");
        haveIdentity_ = true;
        uint64_t setSize = 0;
        for (const auto& member : c_.identity.members) {
            setSize = member.second > UINT64_MAX - setSize ? UINT64_MAX : setSize + member.second;
        }
        const JournalIdentity& id = c_.identity;
        maxBlocks_ = std::min(maxBlocks_, journalBlockBound(setSize, uint16_t(id.members.size()),
                                                            id.pageSize, id.patPageSize));
        return true;
    }
    if (kind == kGroup) return group(body, r);
    if (kind == kClosing) return closing(body);
    return malformed("a record of unknown kind");
}

bool Reader::group(Cursor& body, const uint8_t* r) {
    uint32_t count;
    if (!body.u32(&count)) return malformed("a group record");
    // Every block holds a byte or more: a record cannot name more blocks
    // than its body has room for, nor the journal more than the set allows.
    if (count == 0 || count > kMaxRecordBody / 15) return malformed("a group record");
    if (count > maxBlocks_ - std::min<uint64_t>(maxBlocks_, c_.blocks.size())) {
        return damaged("the group record at byte " + std::to_string(at_) +
                       " takes the journal past " + std::to_string(maxBlocks_) +
                       " blocks, more than a repair of the set writes");
    }
    std::vector<JournaledBlock> blocks;
    for (uint32_t i = 0; i < count; ++i) {
        JournaledBlock jb;
        jb.group = c_.groups;
        uint16_t kept;
        if (!body.u64(&jb.block.offset) || !body.u32(&jb.block.length) || !body.u16(&kept) ||
            jb.block.length == 0) {
            return malformed("a group record");
        }
        for (uint16_t k = 0; k < kept; ++k) {
            uint32_t start, length;
            if (!body.u32(&start) || !body.u32(&length)) return malformed("a group record");
            if (start > jb.block.length || length > jb.block.length - start) {
                return malformed("a group record");
            }
            jb.block.kept.emplace_back(start, length);
        }
        const uint8_t* old;
        if (!body.take(jb.block.length, &old)) return malformed("a group record");
        jb.oldAt = at_ + uint64_t(old - r);
        if (keepOld_) jb.old.assign(old, old + jb.block.length);
        blocks.push_back(std::move(jb));
    }
    if (!body.done()) return malformed("a group record");
    for (JournaledBlock& jb : blocks) c_.blocks.push_back(std::move(jb));
    ++c_.groups;
    return true;
}

// The blocks a group record cut short shows, up to the first it holds only
// in part or whose framing is not the writer's.
void Reader::tornGroup(const uint8_t* r, size_t n) {
    Cursor body(r + 5, std::min<size_t>(n - 5, le32(r + 1)));
    uint32_t count;
    if (!body.u32(&count) || count == 0 || count > kMaxRecordBody / 15) return;
    for (uint32_t i = 0; i < count; ++i) {
        TornBlock t;
        uint16_t kept;
        if (!body.u64(&t.block.offset) || !body.u32(&t.block.length) || !body.u16(&kept) ||
            t.block.length == 0) {
            return;
        }
        for (uint16_t k = 0; k < kept; ++k) {
            uint32_t start, length;
            if (!body.u32(&start) || !body.u32(&length) || start > t.block.length ||
                length > t.block.length - start) {
                return;
            }
            t.block.kept.emplace_back(start, length);
        }
        t.shown = uint32_t(std::min<size_t>(t.block.length, body.left()));
        t.oldAt = at_ + uint64_t(body.here() - r);
        const uint8_t* old;
        body.take(t.shown, &old);
        const bool whole = t.shown == t.block.length;
        c_.tornBlocks.push_back(std::move(t));
        if (!whole) return;
    }
}

bool Reader::closing(Cursor& body) {
    uint32_t count;
    if (!body.u32(&count) || count != c_.blocks.size()) return malformed("the closing record");
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t crc;
        if (!body.u32(&crc)) return malformed("the closing record");
        c_.finalCrcs.push_back(crc);
    }
    if (!body.u32(&c_.fingerprint) || !body.done()) return malformed("the closing record");
    c_.closed = true;
    return true;
}

// Whether a well-formed record (its length inside the journal, its checksum
// right) starts anywhere from the offset on. The tail is shorter than the longest record (the length of the
// record cut short was bounded); the search checksums at most
// kTailSearchBytes, and a tail it cannot finish counts as one that records
// follow, as does one that cannot be read.
bool Reader::recordFollows(uint64_t from) {
    std::vector<uint8_t> tail(size_t(size_ - from));
    if (!source_.read(from, tail.data(), tail.size())) return true;
    uint64_t budget = kTailSearchBytes;
    for (size_t p = 0; p + 9 <= tail.size(); ++p) {
        if (wellFormedAt(tail.data() + p, tail.size() - p, &budget)) return true;
        if (budget == 0) return true;
    }
    return false;
}

bool Reader::wellFormedAt(const uint8_t* p, size_t n, uint64_t* budget) {
    const uint64_t total = uint64_t(le32(p + 1)) + 9;
    if (total > n) return false;
    if (total > *budget) {
        *budget = 0;
        return false;
    }
    *budget -= total;
    return crc32(p, size_t(total) - 4) == le32(p + total - 4);
}

}  // namespace

namespace {

// Whether a path starts outside the folder it is used from: absolute (a
// root, a drive or a share) or with a ".." part anywhere.
bool leavesFolder(const std::string& path) {
    if (path.empty()) return false;
    if (path[0] == '/' || path[0] == '\\') return true;
    if (path.size() >= 2 && path[1] == ':') return true;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find_first_of("/\\", start);
        if (path.substr(start, end - start) == "..") return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

// A relative folder's parts joined with "/", without "." and empty parts.
std::string plainParts(const std::string& folder) {
    std::string s;
    size_t start = 0;
    while (start <= folder.size()) {
        size_t end = folder.find_first_of("/\\", start);
        if (end == std::string::npos) end = folder.size();
        const std::string part = folder.substr(start, end - start);
        if (!part.empty() && part != ".") s += (s.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return s;
}

std::string forwardSlashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

}  // namespace

NamedSetPlace namedSetPlace(const std::string& path, std::string* realFolder) {
    if (leavesFolder(path)) return NamedSetPlace::LeavesFolder;
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    std::string here;
    if (!finalFolderPath(folder, realFolder)) return NamedSetPlace::InFolder;
    const std::string parts = plainParts(folder);
    if (finalFolderPath(".", &here) &&
        forwardSlashes(*realFolder) == forwardSlashes(parts.empty() ? here : here + "/" + parts)) {
        return NamedSetPlace::InFolder;
    }
    return NamedSetPlace::LinkedFolder;
}

Status readJournal(JournalSource& source, JournalContents* contents, bool keepOld,
                   uint64_t maxBlocks) {
    return Reader(source, contents, keepOld, maxBlocks).run(false);
}

Status readJournalIdentity(JournalSource& source, JournalIdentity* identity) {
    JournalContents c;
    Status s = Reader(source, &c, false, UINT64_MAX).run(true);
    *identity = std::move(c.identity);
    return s;
}

Status parseJournal(const std::vector<uint8_t>& bytes, JournalContents* contents) {
    MemoryJournal source(bytes);
    return readJournal(source, contents, true);
}
}  // namespace tabulon
