#include "undo/undo.h"

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <sstream>
#include <string>
#include <vector>

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
    app.set_version_flag("--version", std::string("tabulon-undo ") + TABULON_VERSION);
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

// Reads the journal; prints why when it cannot.
bool readJournal(Platform& platform, const std::string& name, std::vector<uint8_t>* bytes,
                 Output& out) {
    PlatformHandle h = kInvalidHandle;
    uint32_t error = 0;
    if (!platform.open(name.c_str(), ExclusiveRead, &h, &error)) {
        out.err("Unable to open undo journal <%s>, Status Code %lu, %s", name.c_str(),
                (unsigned long)error, platform.errorText(error).c_str());
        return false;
    }
    uint64_t size = 0;
    bool ok = platform.size(h, &size) && size <= SIZE_MAX;
    if (ok) {
        bytes->resize(size_t(size));
        size_t got = 0;
        ok = platform.readAt(h, 0, bytes->data(), bytes->size(), &got) && got == bytes->size();
    }
    platform.close(h);
    if (!ok) out.err("Unable to read undo journal <%s>.\n", name.c_str());
    return ok;
}

enum class BlockState { Unchanged, Restorable, Unexplained, Unreadable };

const char* memberOf(const FileSet& set, uint64_t offset, uint64_t* rest) {
    uint16_t m;
    set.mapOffset(offset, &m, rest);
    return m < set.memberCount() ? set.memberFileName(m).c_str() : "(beyond the set)";
}

}  // namespace

int runUndo(int argc, const char* const* argv, Output& out, Platform& platform) {
    UndoOptions o;
    if (int status = parseOptions(argc, argv, out, &o); status >= 0) return status;

    std::vector<uint8_t> bytes;
    if (!readJournal(platform, o.journal, &bytes, out)) return undo::kError;
    JournalContents j;
    std::string why;
    if (!parseJournal(bytes, &j, &why)) {
        out.err("Undo journal <%s> cannot be used: %s.\n", o.journal.c_str(), why.c_str());
        return undo::kError;
    }

    const std::string mainPath = o.mainPath.empty() ? j.identity.mainPath : o.mainPath;
    out.out("Undo journal %s: file set %s, %zu block(s) in %u group(s); %s\n", o.journal.c_str(),
            mainPath.c_str(), j.blocks.size(), unsigned(j.groups),
            j.closed ? "the run completed."
                     : "no closing record: the run was cut short; restoring all the same.");

    FileSet set(platform);
    BufferOutput openLines;
    if (set.open(mainPath, Repair, openLines, false) == 0) {
        out.write(Stream::Err, openReport(set, false));
        out.err("Unable to open the file set %s.\n", mainPath.c_str());
        return undo::kError;
    }

    // The set must be the one the journal names.
    bool changed = false;
    const auto& members = j.identity.members;
    if (set.memberCount() != members.size()) {
        out.err("The set has %u member(s), the journal recorded %zu.\n",
                unsigned(set.memberCount()), members.size());
        changed = true;
    }
    for (size_t k = 0; k < members.size() && k < set.memberCount(); ++k) {
        if (o.mainPath.empty() && set.memberFileName(int(k)) != members[k].first) {
            out.err("Member %zu is %s, the journal recorded %s.\n", k,
                    set.memberFileName(int(k)).c_str(), members[k].first.c_str());
            changed = true;
        }
        if (set.memberSize(int(k)) != members[k].second) {
            out.err("Member %s is %" PRIu64 " bytes, the journal recorded %" PRIu64 ".\n",
                    set.memberFileName(int(k)).c_str(), set.memberSize(int(k)), members[k].second);
            changed = true;
        }
    }
    {
        std::vector<uint8_t> fcr(j.identity.fcrSpan);
        if (!readSetSpan(set, 0, fcr.data(), fcr.size()) ||
            crc32(fcr.data(), fcr.size()) != j.identity.fcrCrc) {
            out.err("The FCR copies differ from those the journal recorded.\n");
            changed = true;
        }
    }

    // What each block holds now.
    std::vector<BlockState> states(j.blocks.size(), BlockState::Unreadable);
    std::vector<uint8_t> now;
    size_t toRestore = 0;
    for (size_t i = 0; i < j.blocks.size(); ++i) {
        const JournaledBlock& b = j.blocks[i];
        now.resize(b.block.length);
        BlockState& s = states[i];
        if (!set.readUntracedAt(b.block.offset, now.data(), now.size())) {
            s = BlockState::Unreadable;
        } else if (now == b.old) {
            s = BlockState::Unchanged;
        } else if (j.closed) {
            s = crc32(now.data(), now.size()) == j.finalCrcs[i] ? BlockState::Restorable
                                                                : BlockState::Unexplained;
        } else {
            s = BlockState::Restorable;
            for (const auto& [start, length] : b.block.kept) {
                if (!std::equal(now.begin() + start, now.begin() + start + length,
                                b.old.begin() + start)) {
                    s = BlockState::Unexplained;
                }
            }
        }
        if (s != BlockState::Unchanged) ++toRestore;
        if (s == BlockState::Unexplained || s == BlockState::Unreadable) {
            uint64_t rest;
            const char* member = memberOf(set, b.block.offset, &rest);
            out.err("%s at 0x%.10" PRIx64 ", %u bytes: %s.\n", member, rest,
                    unsigned(b.block.length),
                    s == BlockState::Unreadable ? "cannot be read"
                                                : "holds bytes the journal cannot explain");
            changed = true;
        }
    }

    if (changed && !o.force) {
        out.err(
            "Refused: the file set has changed since the run; nothing was written "
            "(--force restores all the same).\n");
        return undo::kRefused;
    }
    if (toRestore == 0) {
        out.out("Nothing to restore: every journaled block holds its old bytes.\n");
        return undo::kRestored;
    }

    // The last journaled block first: where blocks overlap, the earlier
    // record holds the older bytes, and those are written last.
    bool failed = false;
    size_t restored = 0;
    for (size_t i = j.blocks.size(); i-- > 0;) {
        if (states[i] == BlockState::Unchanged) continue;
        const JournaledBlock& b = j.blocks[i];
        uint64_t rest;
        const char* member = memberOf(set, b.block.offset, &rest);
        if (o.dryRun) {
            out.out("Would restore %s at 0x%.10" PRIx64 ", %u bytes\n", member, rest,
                    unsigned(b.block.length));
            ++restored;
            continue;
        }
        if (set.writeAt(b.block.offset, b.old.data(), b.old.size())) {
            out.out("Restored %s at 0x%.10" PRIx64 ", %u bytes\n", member, rest,
                    unsigned(b.block.length));
            ++restored;
        } else {
            out.err("Unable to restore %s at 0x%.10" PRIx64 ", %u bytes.\n", member, rest,
                    unsigned(b.block.length));
            failed = true;
        }
    }
    if (o.dryRun) {
        out.out(
            "Dry run: %zu block(s) would be restored, %zu hold their old bytes; nothing "
            "was written.\n",
            restored, j.blocks.size() - toRestore);
        return undo::kRestored;
    }
    if (!set.close()) {
        for (size_t i = 0; i < set.failedFlushes().size(); ++i) {
            const uint32_t e = set.flushErrors()[i];
            out.err("Unable to flush %s, Status Code %lu, %s",
                    set.memberFileName(set.failedFlushes()[i]).c_str(), (unsigned long)e,
                    platform.errorText(e).c_str());
        }
        failed = true;
    }
    out.out("Restored %zu block(s), %zu held their old bytes already.\n", restored,
            j.blocks.size() - toRestore);
    return failed ? undo::kError : undo::kRestored;
}
