#include "undo/undo.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "access/undoplan.h"
#include "fileio/fileset.h"
#include "fileio/journal.h"
#include "tabulon_version.h"

using namespace tabulon;

namespace {

struct UndoOptions {
    std::string journal;
    std::string mainPath;  // --set: the main file, when not the journal's
    bool dryRun = false;
    bool force = false;
};

// Parses the command line; returns -1 to go on, else the exit status.
int parseOptions(int argc, const char* const* argv, Output& out, UndoOptions* o) {
    CLI::App app{"Takes back the repairs of a tabulon run from its undo journal.", "tabulon-undo"};
    app.add_option("JOURNAL", o->journal, "the journal the run wrote (TABULON_UNDO)")->required();
    app.add_flag("--dry-run", o->dryRun, "print what would be restored; write nothing");
    app.add_flag("--force", o->force, "restore even when the file set has changed since the run");
    app.add_option("--set", o->mainPath,
                   "the main file of the set, when not at the path the journal names");
    app.set_version_flag("--version", std::string("tabulon-undo ") + TABULON_VERSION + "\n" +
                                          TABULON_LICENSE_LINE);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::ostringstream text, errors;
        int status = app.exit(e, text, errors);
        out.write(Stream::Out, text.str());
        out.write(Stream::Err, errors.str());
        return status == 0 ? undo::kRestored : undo::kError;
    }
    return -1;
}

enum class BlockState { Unchanged, Restorable, Unexplained, Unreadable };

constexpr uint32_t kNotFound = 2;  // the system's "file not found", on both systems

// After an open refused because another program holds the set: a repair, a
// database engine, or (for a dry run, which admits no other opener) a reader.
constexpr const char* kBusyHint =
    "(Another program has the file set open: nothing was written; run tabulon-undo again once "
    "it has closed the set.)\n";

// Lines about single blocks on standard error stop after this many; a count
// of the rest follows.
constexpr size_t kListedBlocks = 20;

// A name as printed: every control character (C0, DEL and C1, the last as
// UTF-8 or as single bytes) as \xNN, so that a name from a journal cannot
// move the cursor or rewrite the terminal's lines.
std::string printable(const std::string& name) {
    std::string s;
    char hex[5];
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const unsigned char next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080 to U+009F in UTF-8: both bytes escaped.
            std::snprintf(hex, sizeof hex, "\\x%.2x", unsigned(c));
            s += hex;
            std::snprintf(hex, sizeof hex, "\\x%.2x", unsigned(next));
            s += hex;
            ++i;
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            std::snprintf(hex, sizeof hex, "\\x%.2x", unsigned(c));
            s += hex;
        } else {
            s += char(c);
        }
    }
    return s;
}

// The folder part of a path ("" for a bare name) and its last part.
void splitPath(const std::string& path, std::string* folder, std::string* base) {
    const size_t slash = path.find_last_of("/\\");
    *folder = slash == std::string::npos ? "" : path.substr(0, slash + (slash == 0 ? 1 : 0));
    *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The member of the set and the offset inside it, for a block that lies
// inside one member.
std::string memberOf(const FileSet& set, uint64_t offset, uint64_t* rest) {
    uint16_t m;
    set.mapOffset(offset, &m, rest);
    return m < set.memberCount() ? printable(set.memberFileName(m)) : "(beyond the set)";
}

// Closes the journal however the undo ends.
struct HandleGuard {
    Platform& platform;
    PlatformHandle handle;
    ~HandleGuard() {
        if (handle != kInvalidHandle) platform.close(handle);
    }
};

// One undo: the steps from reading the journal to the last restored block.
// Each step returns -1 to go on, else the exit status.
class UndoRun {
  public:
    UndoRun(const UndoOptions& o, Output& out, Platform& platform)
        : o_(o), out_(out), platform_(platform), journalName_(printable(o.journal)),
          file_(openLines_, platform) {}

    int run() {
        for (int (UndoRun::*step)() :
             {&UndoRun::loadIdentity, &UndoRun::locateSet, &UndoRun::openSet,
              &UndoRun::checkIdentity, &UndoRun::loadBlocks, &UndoRun::checkBlocks,
              &UndoRun::classify}) {
            if (int status = (this->*step)(); status >= 0) return status;
        }
        return restore();
    }

  private:
    int loadIdentity();
    int locateSet();
    int openSet();
    int checkIdentity();
    int loadBlocks();
    int checkBlocks();
    int classify();
    void classifyBlocks();
    void checkTornTail();
    void reportTornTail();
    // Whether some write of the run may stay in place: the journal is
    // damaged, or its last record, cut short, shows a write or nothing.
    bool incomplete() const { return j_.damaged || tornWritten_ > 0 || tailUnknown_; }
    int restore();
    int finishRestore(size_t restored, bool failed);
    // Prints a line about a single block while fewer than kListedBlocks were.
    void listBlock(const char* format, ...);
    void endListing();

    const UndoOptions& o_;
    Output& out_;
    Platform& platform_;
    std::string journalName_;
    HandleGuard guard_{platform_, kInvalidHandle};
    std::unique_ptr<FileJournal> source_;
    JournalIdentity identity_;
    JournalContents j_;
    std::string mainPath_, mainName_, openPath_;
    BufferOutput openLines_;
    BtrieveFile file_;
    std::unique_ptr<UndoPlan> plan_;
    std::vector<BlockState> states_;
    size_t toRestore_ = 0;
    bool changed_ = false, laterRun_ = false, fcrDiffers_ = false, tailUnknown_ = false;
    size_t tornWritten_ = 0;
    size_t listed_ = 0, unlisted_ = 0;
};

void UndoRun::listBlock(const char* format, ...) {
    if (listed_ >= kListedBlocks) {
        ++unlisted_;
        return;
    }
    ++listed_;
    va_list args;
    va_start(args, format);
    out_.vprint(Stream::Err, format, args);
    va_end(args);
}

void UndoRun::endListing() {
    if (unlisted_ > 0) out_.err("(%zu more block(s) not listed.)\n", unlisted_);
    listed_ = unlisted_ = 0;
}

int UndoRun::loadIdentity() {
    PlatformHandle h = kInvalidHandle;
    Status s;
    if (!platform_.open(o_.journal.c_str(), ExclusiveRead, &h, &s.code)) {
        s.text = platform_.errorText(s.code);
        out_.write(Stream::Err, describe("Unable to open undo journal <" + journalName_ + ">", s));
        return undo::kError;
    }
    guard_.handle = h;
    uint64_t journalSize = 0;
    if (!platform_.size(h, &journalSize)) {
        out_.err("Unable to read undo journal <%s>.\n", journalName_.c_str());
        return undo::kError;
    }
    source_ = std::make_unique<FileJournal>(platform_, h, journalSize);
    if (Status s = readJournalIdentity(*source_, &identity_); !s) {
        out_.err("Undo journal <%s> cannot be used: %s.\n", journalName_.c_str(), s.text.c_str());
        return undo::kError;
    }
    return -1;
}

// The set's folder, resolved once: a path from the journal is taken only
// inside the folder the undo runs in and through no linked folder; any other
// set is named on the command line, and then opened at its folder's resolved
// path.
int UndoRun::locateSet() {
    const std::string& named = identity_.mainPath;
    std::string real;
    const NamedSetPlace place =
        o_.mainPath.empty() ? namedSetPlace(named, &real) : NamedSetPlace::InFolder;
    if (place == NamedSetPlace::LeavesFolder) {
        out_.err(
            "Undo journal <%s> names the file set %s, a path that is absolute or leads out of "
            "this folder: refused; nothing was written (name the set with --set).\n",
            journalName_.c_str(), printable(named).c_str());
        return undo::kError;
    }
    mainPath_ = o_.mainPath.empty() ? named : o_.mainPath;
    mainName_ = printable(mainPath_);
    openPath_ = mainPath_;
    if (place == NamedSetPlace::LinkedFolder) {
        out_.err(
            "Undo journal <%s> names the file set %s, whose folder is reached through a "
            "symbolic link (it is %s): refused; nothing was written (name the set with "
            "--set).\n",
            journalName_.c_str(), mainName_.c_str(), printable(real).c_str());
        return undo::kError;
    }
    std::string folder, base;
    splitPath(mainPath_, &folder, &base);
    if (!o_.mainPath.empty() && finalFolderPath(folder, &real)) {
        openPath_ = real + (real.ends_with('/') || real.ends_with('\\') ? "" : "/") + base;
    }
    return -1;
}

// The set, read-only for a dry run; every member a regular file, reached
// through no link.
int UndoRun::openSet() {
    const int mode = (o_.dryRun ? ExclusiveRead : Repair) | PlainFileOnly | NoLinkedFolders;
    const bool opened = file_.open(openPath_, mode, false).ok();
    FileSet& set = file_.fileSet();
    Status s;
    s.code = set.endError();
    s.text = platform_.errorText(s.code);
    if (set.memberCount() == 0) {
        out_.write(Stream::Err, describe("Unable to open the file set " + mainName_, s));
        if (isSharingConflict(s.code)) {
            out_.err(kBusyHint);
        } else if (isNotFound(s.code) && o_.mainPath.empty()) {
            out_.err(
                "(The path is the one the journal names, as the repair was given it: run "
                "tabulon-undo in the folder the repair ran in, or name the set with --set.)\n");
        }
        return undo::kError;
    }
    if (s.code != 0 && s.code != kNotFound) {
        std::string name;
        memberName(openPath_, set.memberCount(), &name);
        out_.write(Stream::Err, describe("Unable to open member " + printable(name), s));
        out_.err(isSharingConflict(s.code)
                     ? kBusyHint
                     : "Refused: every member must be a regular file (no symbolic link, folder, "
                       "device or pipe) that can be opened; nothing was written.\n");
        return undo::kError;
    }
    const FileGeometry& g = file_.geometry();
    if (!opened || g.versionCode < version::v600 || g.patPageSize == 0) {
        out_.err(
            "Refused: %s is not a Btrieve file of version 6.x or later; nothing was "
            "written.\n",
            mainName_.c_str());
        return undo::kError;
    }
    out_.out("File set: %s\n", printable(resolvedPath(openPath_)).c_str());
    plan_ = std::make_unique<UndoPlan>(file_);
    return -1;
}

// The set must be the one the journal was made on; --force never waives
// this. The FCR copies the journal recorded tie it to its set: the same file
// whose FCR drifted, or a copy with the same FCR copies, is this set; a set
// whose FCR copies differ is another one unless its main file is the file
// the journal recorded (a journal of format 2, or one whose run could not
// tell its file's identity, records none: then only the FCR copies tie it).
int UndoRun::checkIdentity() {
    FileSet& set = file_.fileSet();
    const FileGeometry& g = file_.geometry();
    const JournalIdentity& id = identity_;
    bool foreign = false;
    auto differs = [&](const char* what, unsigned now, unsigned recorded) {
        if (now == recorded) return;
        out_.err("The set's %s is %u (0x%.4x), the journal recorded %u (0x%.4x).\n", what, now,
                 now, recorded, recorded);
        foreign = true;
    };
    differs("member count", set.memberCount(), unsigned(id.members.size()));
    differs("version code", g.versionCode, id.versionCode);
    differs("page size", g.pageSize, id.pageSize);
    differs("PAT page size", g.patPageSize, id.patPageSize);
    differs("FCR span", plan_->identitySpan(), id.fcrSpan);
    if (!foreign) {
        std::vector<uint8_t> fcr(plan_->identitySpan());
        const bool sameFcr = readSetSpan(set, 0, fcr.data(), fcr.size()) &&
                             crc32(fcr.data(), fcr.size()) == id.fcrCrc;
        FileId now;
        const bool nowKnown = set.memberFileId(0, &now);
        if (!sameFcr && !(id.mainFileKnown && nowKnown && now == id.mainFile)) {
            out_.err(id.mainFileKnown && nowKnown
                         ? "The set's main file is not the file the journal was made on, and its "
                           "FCR copies differ from those the journal recorded.\n"
                         : "The set's FCR copies differ from those the journal recorded, and "
                           "which file the journal was made on cannot be told (the journal does "
                           "not record it, or the system does not say it).\n");
            foreign = true;
        }
        fcrDiffers_ = !sameFcr;
    }
    if (foreign) {
        out_.err(
            "Refused: this is not the file set the journal was made on; nothing was written "
            "(--force does not override this).\n");
        return undo::kError;
    }
    return -1;
}

int UndoRun::loadBlocks() {
    const FileSet& set = file_.fileSet();
    const FileGeometry& g = file_.geometry();
    const uint64_t bound =
        journalBlockBound(set.totalSize(), set.memberCount(), g.pageSize, g.patPageSize);
    if (Status s = readJournal(*source_, &j_, false, bound); !s) {
        out_.err("Undo journal <%s> cannot be used: %s.\n", journalName_.c_str(), s.text.c_str());
        return undo::kError;
    }
    out_.out("Undo journal %s: file set %s, %zu block(s) in %u group(s); %s\n",
             journalName_.c_str(), mainName_.c_str(), j_.blocks.size(), unsigned(j_.groups),
             j_.closed    ? "the run completed."
             : j_.damaged ? "the journal is damaged."
                          : "no closing record: the run was cut short; restoring all the same.");
    if (!j_.damaged) return -1;
    out_.err("Undo journal <%s> is damaged: %s.\n", journalName_.c_str(), j_.damage.c_str());
    if (!o_.force) {
        out_.err(
            "Refused: nothing was written (--force restores the %zu block(s) recorded before "
            "byte %" PRIu64 ").\n",
            j_.blocks.size(), j_.damageAt);
        return undo::kError;
    }
    out_.out("--force: restoring the %zu block(s) recorded before byte %" PRIu64
             "; whatever the journal held from there on is not taken back.\n",
             j_.blocks.size(), j_.damageAt);
    return -1;
}

// Every block must be one the repair could have written into.
int UndoRun::checkBlocks() {
    bool outside = false;
    for (size_t i = 0; i < j_.blocks.size(); ++i) {
        const JournalBlock& b = j_.blocks[i].block;
        if (plan_->blockPlanned(b.offset, b.length)) continue;
        listBlock("Block %zu of the journal, at set offset 0x%.10" PRIx64
                  ", %u bytes, is neither a PAT copy nor a page header inside one member of the "
                  "set.\n",
                  i + 1, b.offset, unsigned(b.length));
        outside = true;
    }
    endListing();
    if (outside) {
        out_.err(
            "Refused: the journal holds blocks no repair of this set writes; nothing was written "
            "(--force does not override this).\n");
        return undo::kError;
    }
    return -1;
}

// Has the set changed since the run?
int UndoRun::classify() {
    FileSet& set = file_.fileSet();
    const auto& members = identity_.members;
    for (size_t k = 0; k < members.size(); ++k) {
        if (o_.mainPath.empty() && set.memberFileName(int(k)) != members[k].first) {
            out_.err("Member %zu is %s, the journal recorded %s.\n", k,
                     printable(set.memberFileName(int(k))).c_str(),
                     printable(members[k].first).c_str());
            changed_ = true;
        }
        if (set.memberSize(int(k)) != members[k].second) {
            out_.err("Member %s is %" PRIu64 " bytes, the journal recorded %" PRIu64 ".\n",
                     printable(set.memberFileName(int(k))).c_str(), set.memberSize(int(k)),
                     members[k].second);
            changed_ = true;
        }
    }
    if (fcrDiffers_) {
        out_.err("The FCR copies differ from those the journal recorded.\n");
        changed_ = true;
    }
    if (j_.tornTail) checkTornTail();
    classifyBlocks();
    // The rest of the table as the run left it: another run since, undone
    // first, would have left it as it is.
    if (j_.closed && toRestore_ > 0) {
        std::vector<std::pair<uint64_t, uint32_t>> spans;
        for (const JournaledBlock& b : j_.blocks) spans.emplace_back(b.block.offset, b.block.length);
        uint32_t fingerprint = 0;
        if (!plan_->fingerprint(spans, &fingerprint) || fingerprint != j_.fingerprint) {
            out_.err("The FCR copies or PAT pages differ from those the run left.\n");
            changed_ = true;
            laterRun_ = true;
        }
    }
    if (changed_ && laterRun_) {
        out_.err(
            "A later run (or another program) has changed the file set since: undo that run's "
            "journal first.\n");
    }
    if (changed_ && !o_.force) {
        out_.err(
            "Refused: the file set has changed since the run; nothing was written "
            "(--force restores all the same).\n");
        return undo::kRefused;
    }
    if (toRestore_ == 0) {
        out_.out("Nothing to restore: every journaled block holds its old bytes.\n");
        reportTornTail();
        return incomplete() ? undo::kError : undo::kRestored;
    }
    return -1;
}

// The last record, cut short: the run stopped while writing it (then the
// set holds the old bytes it shows), or the journal was cut after the run
// (then the blocks it shows hold what the run wrote). Its old bytes cannot
// be trusted, so a block written since is not restored; the writes of
// records lost after it cannot even be named.
void UndoRun::checkTornTail() {
    FileSet& set = file_.fileSet();
    const std::string head = "The journal's last record, from byte " + std::to_string(j_.tornAt) +
                             " (" + std::to_string(j_.tornBytes) + " bytes), was cut short";
    if (j_.tornKind == kClosingRecord) {
        out_.out("%s: it is the closing record, which covers no write.\n", head.c_str());
        return;
    }
    size_t compared = 0;
    std::vector<const TornBlock*> written;
    std::vector<uint8_t> now, old;
    for (const TornBlock& t : j_.tornBlocks) {
        if (t.shown == 0 || !plan_->blockPlanned(t.block.offset, t.block.length)) continue;
        now.resize(t.shown);
        old.resize(t.shown);
        if (!set.readUntracedAt(t.block.offset, now.data(), t.shown) ||
            !source_->read(t.oldAt, old.data(), t.shown)) {
            continue;
        }
        ++compared;
        if (now != old) written.push_back(&t);
    }
    tornWritten_ = written.size();
    tailUnknown_ = compared == 0;
    if (written.empty() && !tailUnknown_) {
        out_.out(
            "%s; the %zu block(s) of it that can be read hold their old bytes: the run "
            "stopped while writing it, and no write it would have covered was made.\n",
            head.c_str(), compared);
        return;
    }
    out_.out("%s.\n", head.c_str());
    for (const TornBlock* t : written) {
        uint64_t rest;
        const std::string member = memberOf(set, t->block.offset, &rest);
        listBlock("%s at 0x%.10" PRIx64
                  ", %u bytes: no longer holds the old bytes the record "
                  "cut short shows for it: written, and not restored.\n",
                  member.c_str(), rest, unsigned(t->block.length));
    }
    endListing();
}

void UndoRun::reportTornTail() {
    if (tornWritten_ > 0) {
        out_.err(
            "The journal was cut after the run: %zu block(s) its last record shows were written "
            "and are not restored (that record's old bytes are unchecked), nor is what any lost "
            "record after it covered.\n",
            tornWritten_);
    } else if (tailUnknown_) {
        out_.err(
            "The journal's last record, cut short, shows no old bytes to compare with the set: "
            "whether the writes it would have covered were made cannot be told, and they are "
            "not restored.\n");
    }
}

// What each block holds now, against its old bytes read from the journal.
void UndoRun::classifyBlocks() {
    FileSet& set = file_.fileSet();
    states_.assign(j_.blocks.size(), BlockState::Unreadable);
    std::vector<uint8_t> now, old;
    for (size_t i = 0; i < j_.blocks.size(); ++i) {
        const JournaledBlock& b = j_.blocks[i];
        now.resize(b.block.length);
        old.resize(b.block.length);
        BlockState& s = states_[i];
        if (!set.readUntracedAt(b.block.offset, now.data(), now.size()) ||
            !source_->read(b.oldAt, old.data(), old.size())) {
            s = BlockState::Unreadable;
        } else if (now == old) {
            s = BlockState::Unchanged;
        } else if (j_.closed) {
            s = crc32(now.data(), now.size()) == j_.finalCrcs[i] ? BlockState::Restorable
                                                                 : BlockState::Unexplained;
            if (s == BlockState::Unexplained) laterRun_ = true;
        } else {
            s = BlockState::Restorable;
            for (const auto& [start, length] : b.block.kept) {
                if (!std::equal(now.begin() + start, now.begin() + start + length,
                                old.begin() + start)) {
                    s = BlockState::Unexplained;
                }
            }
        }
        if (s != BlockState::Unchanged) ++toRestore_;
        if (s == BlockState::Unexplained || s == BlockState::Unreadable) {
            uint64_t rest;
            const std::string member = memberOf(set, b.block.offset, &rest);
            listBlock("%s at 0x%.10" PRIx64 ", %u bytes: %s.\n", member.c_str(), rest,
                      unsigned(b.block.length),
                      s == BlockState::Unreadable ? "cannot be read"
                                                  : "holds bytes the journal cannot explain");
            changed_ = true;
        }
    }
    endListing();
}

// The last journaled block first: where blocks overlap, the earlier record
// holds the older bytes, and those are written last.
int UndoRun::restore() {
    FileSet& set = file_.fileSet();
    bool failed = false;
    size_t restored = 0;
    std::vector<uint8_t> old;
    for (size_t i = j_.blocks.size(); i-- > 0;) {
        if (states_[i] == BlockState::Unchanged) continue;
        const JournaledBlock& b = j_.blocks[i];
        uint64_t rest;
        const std::string member = memberOf(set, b.block.offset, &rest);
        if (o_.dryRun) {
            out_.out("Would restore %s at 0x%.10" PRIx64 ", %u bytes\n", member.c_str(), rest,
                     unsigned(b.block.length));
            ++restored;
            continue;
        }
        old.resize(b.block.length);
        if (source_->read(b.oldAt, old.data(), old.size()) &&
            set.writeAt(b.block.offset, old.data(), old.size())) {
            out_.out("Restored %s at 0x%.10" PRIx64 ", %u bytes\n", member.c_str(), rest,
                     unsigned(b.block.length));
            ++restored;
        } else {
            listBlock("Unable to restore %s at 0x%.10" PRIx64 ", %u bytes.\n", member.c_str(),
                      rest, unsigned(b.block.length));
            failed = true;
        }
    }
    endListing();
    return finishRestore(restored, failed);
}

int UndoRun::finishRestore(size_t restored, bool failed) {
    FileSet& set = file_.fileSet();
    const size_t held = j_.blocks.size() - toRestore_;
    if (o_.dryRun) {
        out_.out(
            "Dry run: %zu block(s) would be restored, %zu hold their old bytes; nothing "
            "was written.\n",
            restored, held);
        reportTornTail();
        return incomplete() ? undo::kError : undo::kRestored;
    }
    for (const Status& s : failures(set.close())) {
        out_.write(Stream::Err, describe("Unable to flush " + printable(s.name), s));
        failed = true;
    }
    out_.out("Restored %zu block(s), %zu held their old bytes already.\n", restored, held);
    if (j_.damaged) {
        out_.err("The journal is damaged at byte %" PRIu64
                 ": only the blocks recorded before it were restored.\n",
                 j_.damageAt);
    }
    reportTornTail();
    // A block not restored (a failed write, a damaged journal's rest, a
    // write past the journal's end) makes the status 2.
    return failed || incomplete() ? undo::kError : undo::kRestored;
}

}  // namespace

int runUndo(int argc, const char* const* argv, Output& out, Platform& platform) {
    UndoOptions o;
    if (int status = parseOptions(argc, argv, out, &o); status >= 0) return status;
    try {
        return UndoRun(o, out, platform).run();
    } catch (const std::bad_alloc&) {
        out.err("Out of memory while reading undo journal <%s>.\n", printable(o.journal).c_str());
        return undo::kError;
    }
}
