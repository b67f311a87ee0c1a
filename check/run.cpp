#include "check/run.h"

#include <memory>
#include <optional>

#include "access/btrfile.h"
#include "access/undoplan.h"
#include "check/checked.h"
#include "fileio/journal.h"

namespace tabulon {

namespace {

// Whether a name reaches a member of the set at this main path: the main
// file, an extension file or the delta file.
bool namesMember(const std::string& mainPath, const std::string& name) {
    for (int k = kDeltaMember; k < kMaxMembers; ++k) {
        std::string member;
        if (memberName(mainPath, k, &member) && sameFile(member, name)) return true;
    }
    return false;
}

// The state of one run, step by step.
class Run {
  public:
    Run(const std::string& path, const ScanOptions& o, const RunEnvironment& env)
        : path_(path),
          o_(o),
          env_(env),
          sink_(env.events) {}

    bool open();
    bool startJournal();
    bool gate();
    void scan();
    bool close();
    int finish(int status);
    void report();
    void describeSet(RunResult& result) const;
    ScanCounters counters;

  private:
    void fail(NoticeKind kind, const std::string& text) {
        sink_.emit(kind, Stream::Err, text, 0, Notice::flushOutBefore);
    }
    void openFailed();

    const std::string& path_;
    const ScanOptions& o_;
    const RunEnvironment& env_;
    EventSink& sink_;
    std::optional<CheckedFile> checked_;
    std::unique_ptr<UndoPlan> plan_;
    std::unique_ptr<JournalWriter> journal_;
    bool writesFailed_ = false;
};

void Run::openFailed() {
    sink_.emit(NoticeKind::OpenFailure, Stream::Err,
               "Unable to open files. Make sure nobody is using them before using Tabulon!\n");
    sink_.emit(NoticeKind::OpenFailure, Stream::Err,
               "While you're at it, please make an extra backup copy, too!\n");
}

// Opens the set and loads the FCR; false (the lines said) when either failed.
bool Run::open() {
    // A path longer than a name buffer is refused before anything is opened.
    if (!pathFits(path_.size())) {
        openFailed();
        return false;
    }
    sink_.emitf(NoticeKind::RunHeader, Stream::Out,
                "Scanning file %s for PAT inconsistencies...\n\n", path_.c_str());
    sink_.notice(Notice{NoticeKind::RunHeader, Stream::Out, Notice::flushAfter, 0, {}});
    auto opened = CheckedFile::open(path_, o_, CheckEnvironment{env_.platform, sink_});
    if (auto* checked = std::get_if<CheckedFile>(&opened)) {
        checked_.emplace(std::move(*checked));
        return true;
    }
    // The FCR's failure has a line of its own; a set that did not open has
    // said so in the open's lines.
    const Status& s = std::get<Status>(opened);
    const bool setOpened = s.failure != Failure::Open && s.failure != Failure::Size;
    fail(NoticeKind::OpenFailure, setOpened ? s.text : std::string());
    openFailed();
    return false;
}

// With a fix mask and an undo journal, every block's old bytes go to the
// journal before the first write into it; without a journal that can be
// created nothing is written at all.
bool Run::startJournal() {
    const std::string& name = env_.undoJournal;
    if (o_.fixMask == 0 || name.empty()) return true;
    // A journal among the members would be overwritten by the repair it
    // protects, or taken for a member by the next run.
    if (namesMember(path_, name)) {
        checked_->close();
        fail(NoticeKind::Journal,
             "Undo journal <" + name + "> names a member of the file set: refused.\n");
        return false;
    }
    BtrieveFile& file = checked_->file();
    plan_ = std::make_unique<UndoPlan>(file);
    journal_ = std::make_unique<JournalWriter>(file.fileSet(), *plan_, sink_);
    uint32_t error = 0;
    if (journal_->create(name, &error)) {
        file.fileSet().addObserver(journal_.get());
        return true;
    }
    checked_->close();
    if (error == 0) {
        fail(NoticeKind::Journal,
             "Unable to create undo journal <" + name + ">: the FCR copies cannot be read.\n");
    } else {
        const Status s{Failure::Journal, name, error, env_.platform.errorText(error)};
        fail(NoticeKind::Journal, describe("Unable to create undo journal <" + name + ">", s));
    }
    return false;
}

// False for a file before 6.x: it has no PAT.
bool Run::gate() {
    if (checked_->hasPat()) return true;
    sink_.emit(NoticeKind::OldVersion, Stream::Out,
               "File Version is Pre-6.x. There is no PAT to check!\n");
    return false;
}

void Run::scan() {
    const FileGeometry& g = checked_->geometry();
    if (o_.progress) {
        sink_.emitf(NoticeKind::PageCount, Stream::Err, uint64_t(g.pageCount),
                    "Checking %ld pages...\r\n", long(int32_t(g.pageCount)));
    }
    checked_->check(sink_, env_.ledger, env_.headers);
    counters = checked_->counters();
    writesFailed_ = !checked_->writeFailures().empty();
}

// Closes the set, reporting each member whose repairs could not be flushed,
// and ends the journal; false when either failed.
bool Run::close() {
    if (journal_) journal_->takeFinalChecksums();
    const Status closed = checked_->close();
    for (const Status& s : failures(closed)) fail(NoticeKind::FlushFailure, describe(s));
    const bool flushed = closed.ok();
    bool journaled = true;
    if (journal_) {
        checked_->file().fileSet().removeObserver(journal_.get());
        journaled = journal_->finish(flushed);
        // A journal of no block takes nothing back: it is not kept.
        if (journal_->blockCount() == 0) {
            removeFile(env_.undoJournal);
            journal_.reset();
        }
    }
    return flushed && journaled && !writesFailed_;
}

void Run::report() {
    if (o_.progress) sink_.emit(NoticeKind::ScanComplete, Stream::Err, "Scan complete.\n\n");
    sink_.report(ReportEvent{counters, o_.fixMask});
}

void Run::describeSet(RunResult& result) const {
    const FileSet& set = checked_->file().fileSet();
    result.geometry = checked_->geometry();
    result.extent = checked_->extent();
    for (int k = 0; k < set.memberCount(); ++k) {
        result.members.push_back(set.memberFileName(k));
        result.memberSizes.push_back(set.memberSize(k));
    }
}

// The command that takes a run's repairs back. The journal names the set by
// the path the run was given; tabulon-undo takes that path only from the
// folder the run ran in, and only a relative one that stays in that folder
// and passes through no linked folder. Any other set is named with --set, by
// an absolute path, with the journal's absolute path: that command works
// from any folder.
std::string undoCommand(const std::string& journal, const std::string& mainPath) {
    std::string realFolder;
    if (namedSetPlace(mainPath, &realFolder) == NamedSetPlace::InFolder) {
        return "tabulon-undo " + commandWord(journal);
    }
    auto absolute = [](const std::string& p) { return isAbsolutePath(p) ? p : resolvedPath(p); };
    return "tabulon-undo " + commandWord(absolute(journal)) + " --set " +
           commandWord(absolute(mainPath));
}

// The last line of a run that journaled blocks says where the journal is.
int Run::finish(int status) {
    if (journal_) {
        const std::string& name = env_.undoJournal;
        fail(NoticeKind::Journal, "Undo journal: " + name + " (" + undoCommand(name, path_) +
                                      " takes these repairs back)\n");
    }
    return status;
}

}  // namespace

RunResult runCheck(const std::string& path, const ScanOptions& options, const RunEnvironment& env) {
    RunResult result;
    Run run(path, options, env);
    if (!run.open()) {
        result.status = kRunFailed;
        return result;
    }
    run.describeSet(result);
    if (!run.startJournal()) {
        result.status = kRunFailed;
        return result;
    }
    if (!run.gate()) {
        result.status = run.finish(run.close() ? 0 : kRunFailed);
        return result;
    }
    run.scan();
    const bool closed = run.close();
    run.report();
    result.counters = run.counters;
    result.status = run.finish(closed ? 0 : kRunFailed);
    return result;
}

}  // namespace tabulon
