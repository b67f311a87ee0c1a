#include "undo/undo.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
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

// A name as printed: control characters (and DEL) as \xNN, so that a name
// from a journal cannot move the cursor or rewrite the terminal's lines.
std::string printable(const std::string& name) {
    std::string s;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%.2x", unsigned(c));
            s += hex;
        } else {
            s += char(c);
        }
    }
    return s;
}

// Whether a path starts outside the folder the undo runs in: absolute (a
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

int undoWith(const UndoOptions& o, Output& out, Platform& platform) {
    const std::string journalName = printable(o.journal);
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    if (!platform.open(o.journal.c_str(), ExclusiveRead, &h, &error)) {
        out.write(Stream::Err, describe("Unable to open undo journal <" + journalName + ">",
                                        {Failure::Open, o.journal, error, platform.errorText(error)}));
        return undo::kError;
    }
    HandleGuard guard{platform, h};
    uint64_t journalSize = 0;
    if (!platform.size(h, &journalSize)) {
        out.err("Unable to read undo journal <%s>.\n", journalName.c_str());
        return undo::kError;
    }
    FileJournal source(platform, h, journalSize);
    JournalContents j;
    std::string why;
    if (!readJournal(source, &j, &why, false)) {
        out.err("Undo journal <%s> cannot be used: %s.\n", journalName.c_str(), why.c_str());
        return undo::kError;
    }

    // A path from the journal is taken only inside the folder the undo runs
    // in; any other set is named on the command line.
    if (o.mainPath.empty() && leavesFolder(j.identity.mainPath)) {
        out.err(
            "Undo journal <%s> names the file set %s, a path that is absolute or leads out of "
            "this folder: refused; nothing was written (name the set with --set).\n",
            journalName.c_str(), printable(j.identity.mainPath).c_str());
        return undo::kError;
    }
    const std::string mainPath = o.mainPath.empty() ? j.identity.mainPath : o.mainPath;
    const std::string mainName = printable(mainPath);
    out.out("Undo journal %s: file set %s, %zu block(s) in %u group(s); %s\n", journalName.c_str(),
            mainName.c_str(), j.blocks.size(), unsigned(j.groups),
            j.closed    ? "the run completed."
            : j.damaged ? "the journal is damaged."
                        : "no closing record: the run was cut short; restoring all the same.");
    if (j.tornTail) {
        out.out("The journal's last record, from byte %" PRIu64 " (%" PRIu64
                " bytes), was cut short: the run stopped while writing it, and no write it would "
                "have covered was made.\n",
                j.tornAt, j.tornBytes);
    }
    if (j.damaged) {
        out.err("Undo journal <%s> is damaged: %s.\n", journalName.c_str(), j.damage.c_str());
        if (!o.force) {
            out.err(
                "Refused: nothing was written (--force restores the %zu block(s) recorded before "
                "byte %" PRIu64 ").\n",
                j.blocks.size(), j.damageAt);
            return undo::kError;
        }
        out.out("--force: restoring the %zu block(s) recorded before byte %" PRIu64
                "; whatever the journal held from there on is not taken back.\n",
                j.blocks.size(), j.damageAt);
    }

    // The set, read-only for a dry run; every member a regular file.
    BufferOutput openLines;
    BtrieveFile file(openLines, platform);
    const int mode = (o.dryRun ? ExclusiveRead : Repair) | PlainFileOnly;
    const bool opened = file.open(mainPath, mode, false).ok();
    FileSet& set = file.fileSet();
    if (set.memberCount() == 0) {
        error = set.endError();
        out.write(Stream::Err, describe("Unable to open the file set " + mainName,
                                        {Failure::Open, mainPath, error, platform.errorText(error)}));
        if (o.mainPath.empty()) {
            out.err(
                "(The path is the one the journal names, as the repair was given it: run "
                "tabulon-undo in the folder the repair ran in, or name the set with --set.)\n");
        }
        return undo::kError;
    }
    if (set.endError() != 0 && set.endError() != kNotFound) {
        std::string name;
        memberName(mainPath, set.memberCount(), &name);
        error = set.endError();
        out.write(Stream::Err, describe("Unable to open member " + printable(name),
                                        {Failure::Open, name, error, platform.errorText(error)}));
        out.err(
            "Refused: every member must be a regular file (no symbolic link, folder, device or "
            "pipe) that can be opened; nothing was written.\n");
        return undo::kError;
    }
    const FileGeometry& g = file.geometry();
    if (!opened || g.versionCode < version::v600 || g.patPageSize == 0) {
        out.err(
            "Refused: %s is not a Btrieve file of version 6.x or later; nothing was "
            "written.\n",
            mainName.c_str());
        return undo::kError;
    }
    out.out("File set: %s\n", printable(resolvedPath(mainPath)).c_str());

    // The set must be the one the journal was made on; --force never waives
    // this.
    UndoPlan plan(file);
    const JournalIdentity& id = j.identity;
    bool foreign = false;
    auto differs = [&](const char* what, unsigned now, unsigned recorded) {
        if (now == recorded) return;
        out.err("The set's %s is %u (0x%.4x), the journal recorded %u (0x%.4x).\n", what, now, now,
                recorded, recorded);
        foreign = true;
    };
    differs("member count", set.memberCount(), unsigned(id.members.size()));
    differs("version code", g.versionCode, id.versionCode);
    differs("page size", g.pageSize, id.pageSize);
    differs("PAT page size", g.patPageSize, id.patPageSize);
    differs("FCR span", plan.identitySpan(), id.fcrSpan);
    if (foreign) {
        out.err(
            "Refused: this is not the file set the journal was made on; nothing was written "
            "(--force does not override this).\n");
        return undo::kError;
    }
    // Every block must be one the repair could have written into.
    bool outside = false;
    for (size_t i = 0; i < j.blocks.size(); ++i) {
        const JournalBlock& b = j.blocks[i].block;
        if (plan.blockPlanned(b.offset, b.length)) continue;
        out.err(
            "Block %zu of the journal, at set offset 0x%.10" PRIx64
            ", %u bytes, is neither a PAT copy nor a page header inside one member of the set.\n",
            i + 1, b.offset, unsigned(b.length));
        outside = true;
    }
    if (outside) {
        out.err(
            "Refused: the journal holds blocks no repair of this set writes; nothing was written "
            "(--force does not override this).\n");
        return undo::kError;
    }

    // Has the set changed since the run?
    bool changed = false;
    const auto& members = id.members;
    for (size_t k = 0; k < members.size(); ++k) {
        if (o.mainPath.empty() && set.memberFileName(int(k)) != members[k].first) {
            out.err("Member %zu is %s, the journal recorded %s.\n", k,
                    printable(set.memberFileName(int(k))).c_str(),
                    printable(members[k].first).c_str());
            changed = true;
        }
        if (set.memberSize(int(k)) != members[k].second) {
            out.err("Member %s is %" PRIu64 " bytes, the journal recorded %" PRIu64 ".\n",
                    printable(set.memberFileName(int(k))).c_str(), set.memberSize(int(k)),
                    members[k].second);
            changed = true;
        }
    }
    {
        std::vector<uint8_t> fcr(plan.identitySpan());
        if (!readSetSpan(set, 0, fcr.data(), fcr.size()) ||
            crc32(fcr.data(), fcr.size()) != id.fcrCrc) {
            out.err("The FCR copies differ from those the journal recorded.\n");
            changed = true;
        }
    }

    // What each block holds now, against its old bytes read from the journal.
    std::vector<BlockState> states(j.blocks.size(), BlockState::Unreadable);
    std::vector<uint8_t> now, old;
    size_t toRestore = 0;
    bool laterRun = false;
    for (size_t i = 0; i < j.blocks.size(); ++i) {
        const JournaledBlock& b = j.blocks[i];
        now.resize(b.block.length);
        old.resize(b.block.length);
        BlockState& s = states[i];
        if (!set.readUntracedAt(b.block.offset, now.data(), now.size()) ||
            !source.read(b.oldAt, old.data(), old.size())) {
            s = BlockState::Unreadable;
        } else if (now == old) {
            s = BlockState::Unchanged;
        } else if (j.closed) {
            s = crc32(now.data(), now.size()) == j.finalCrcs[i] ? BlockState::Restorable
                                                                : BlockState::Unexplained;
            if (s == BlockState::Unexplained) laterRun = true;
        } else {
            s = BlockState::Restorable;
            for (const auto& [start, length] : b.block.kept) {
                if (!std::equal(now.begin() + start, now.begin() + start + length,
                                old.begin() + start)) {
                    s = BlockState::Unexplained;
                }
            }
        }
        if (s != BlockState::Unchanged) ++toRestore;
        if (s == BlockState::Unexplained || s == BlockState::Unreadable) {
            uint64_t rest;
            const std::string member = memberOf(set, b.block.offset, &rest);
            out.err("%s at 0x%.10" PRIx64 ", %u bytes: %s.\n", member.c_str(), rest,
                    unsigned(b.block.length),
                    s == BlockState::Unreadable ? "cannot be read"
                                                : "holds bytes the journal cannot explain");
            changed = true;
        }
    }
    // The rest of the table as the run left it: another run since, undone
    // first, would have left it as it is.
    if (j.closed && toRestore > 0) {
        std::vector<std::pair<uint64_t, uint32_t>> spans;
        for (const JournaledBlock& b : j.blocks) spans.emplace_back(b.block.offset, b.block.length);
        uint32_t fingerprint = 0;
        if (!plan.fingerprint(spans, &fingerprint) || fingerprint != j.fingerprint) {
            out.err("The FCR copies or PAT pages differ from those the run left.\n");
            changed = true;
            laterRun = true;
        }
    }

    if (changed && laterRun) {
        out.err(
            "A later run (or another program) has changed the file set since: undo that run's "
            "journal first.\n");
    }
    if (changed && !o.force) {
        out.err(
            "Refused: the file set has changed since the run; nothing was written "
            "(--force restores all the same).\n");
        return undo::kRefused;
    }
    if (toRestore == 0) {
        out.out("Nothing to restore: every journaled block holds its old bytes.\n");
        return j.damaged ? undo::kError : undo::kRestored;
    }

    // The last journaled block first: where blocks overlap, the earlier
    // record holds the older bytes, and those are written last.
    bool failed = false;
    size_t restored = 0;
    for (size_t i = j.blocks.size(); i-- > 0;) {
        if (states[i] == BlockState::Unchanged) continue;
        const JournaledBlock& b = j.blocks[i];
        uint64_t rest;
        const std::string member = memberOf(set, b.block.offset, &rest);
        if (o.dryRun) {
            out.out("Would restore %s at 0x%.10" PRIx64 ", %u bytes\n", member.c_str(), rest,
                    unsigned(b.block.length));
            ++restored;
            continue;
        }
        old.resize(b.block.length);
        if (source.read(b.oldAt, old.data(), old.size()) &&
            set.writeAt(b.block.offset, old.data(), old.size())) {
            out.out("Restored %s at 0x%.10" PRIx64 ", %u bytes\n", member.c_str(), rest,
                    unsigned(b.block.length));
            ++restored;
        } else {
            out.err("Unable to restore %s at 0x%.10" PRIx64 ", %u bytes.\n", member.c_str(), rest,
                    unsigned(b.block.length));
            failed = true;
        }
    }
    if (o.dryRun) {
        out.out(
            "Dry run: %zu block(s) would be restored, %zu hold their old bytes; nothing "
            "was written.\n",
            restored, j.blocks.size() - toRestore);
        return j.damaged ? undo::kError : undo::kRestored;
    }
    const Status closed = set.close();
    for (const Status& s : failures(closed)) {
        out.write(Stream::Err, describe("Unable to flush " + printable(s.name), s));
        failed = true;
    }
    out.out("Restored %zu block(s), %zu held their old bytes already.\n", restored,
            j.blocks.size() - toRestore);
    if (j.damaged) {
        out.err("The journal is damaged at byte %" PRIu64
                ": only the blocks recorded before it were restored.\n",
                j.damageAt);
    }
    return failed || j.damaged ? undo::kError : undo::kRestored;
}

}  // namespace

int runUndo(int argc, const char* const* argv, Output& out, Platform& platform) {
    UndoOptions o;
    if (int status = parseOptions(argc, argv, out, &o); status >= 0) return status;
    try {
        return undoWith(o, out, platform);
    } catch (const std::bad_alloc&) {
        out.err("Out of memory while reading undo journal <%s>.\n", printable(o.journal).c_str());
        return undo::kError;
    }
}
