// survey: every Btrieve file under the folders, checked by the engine as the
// tabulon program checks it without a fix mask, several files at a time; its
// text and JSON forms.
#include "inspect/folders/survey.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fileio/platform.h"
#include "format/le.h"
#include "inspect/common/progress.h"
#include "inspect/common/names.h"
#include "inspect/common/workers.h"
#include "inspect/repairs/advise.h"

using namespace tabulon;

namespace inspect {

namespace {

namespace fs = std::filesystem;

// Extension files (.^01 to .^7f) and the delta file (.^^^) go with their
// main file.
bool isMemberName(const fs::path& p) {
    const std::string ext = pathText(p.extension());
    if (ext.size() != 4 || ext[0] != '.' || ext[1] != '^') return false;
    if (ext[2] == '^' && ext[3] == '^') return true;
    if (!std::isxdigit(static_cast<unsigned char>(ext[2])) ||
        !std::isxdigit(static_cast<unsigned char>(ext[3]))) {
        return false;
    }
    const int k = std::stoi(ext.substr(2), nullptr, 16);
    return k >= 1 && k < kMaxMembers;
}

// The first bytes of a file: enough for both FCR copies of any page size.
constexpr size_t kHeadBytes = 2 * 65536;

std::string systemReason(uint32_t code) {
    std::string t = systemPlatform().errorText(code);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    return t;
}

const char* const kLinkReason = "a symbolic link, not followed";

// Whether the bytes of a file cut shorter than one FCR page begin as an FCR
// does: its signature, or a zero first word and the version code of a known
// family behind it. An empty file carries nothing of an FCR.
bool beginsLikeFcr(const uint8_t* head, size_t n) {
    if (n >= 2 && (head[fcr::signature0] == 'F' || head[fcr::signature1] == 'C')) return true;
    if (n < size_t(fcr::versionPlain) + 2 || le32(head) != 0) return false;
    const uint16_t v = le16(head + fcr::versionPlain);
    return v >= 0x0100 && v <= 0x1FFF;
}

// A folder of the walk, held open while its files wait for their look.
class Folder {
  public:
    Folder(FolderHandle handle, fs::path path) : handle(handle), path(std::move(path)) {}
    ~Folder() { closeFolder(handle); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    const FolderHandle handle;
    const fs::path path;
};
using FolderRef = std::shared_ptr<const Folder>;

// The members of a candidate's set, each opened once from the candidate's
// folder without following a link, for every check of the set: the main
// file's handle is the one its first bytes were read through. Records each
// member's stamp at its open, to tell whether it changed.
class SetHandles : public MemberOpener {
  public:
    SetHandles(const Folder& folder, std::string name, PlatformHandle main)
        : folder_(folder), name_(std::move(name)), main_(main) {}
    ~SetHandles() override {
        for (auto& [k, m] : members_) {
            if (m.ok) systemPlatform().close(m.handle);
        }
    }
    SetHandles(const SetHandles&) = delete;
    SetHandles& operator=(const SetHandles&) = delete;

    bool open(int k, const std::string&, int mode, PlatformHandle* handle,
              uint32_t* error) override {
        if (k == 0) {
            *handle = main_;
            return true;
        }
        auto it = members_.find(k);
        if (it == members_.end()) {
            Member m;
            std::string name;
            memberName(name_, k, &name);
            m.ok = openInFolder(folder_.handle, name, mode, &m.handle, &m.error) &&
                   systemPlatform().stamp(m.handle, &m.stamp);
            it = members_.emplace(k, m).first;
        }
        *handle = it->second.handle;
        *error = it->second.error;
        return it->second.ok;
    }

    // Whether a member changed since its open or the last restamp().
    bool membersChanged() const {
        for (const auto& [k, m] : members_) {
            FileStamp now;
            if (m.ok && (!systemPlatform().stamp(m.handle, &now) || !(now == m.stamp))) return true;
        }
        return false;
    }
    void restamp() {
        for (auto& [k, m] : members_) {
            if (m.ok) systemPlatform().stamp(m.handle, &m.stamp);
        }
    }

  private:
    struct Member {
        bool ok = false;
        PlatformHandle handle = kInvalidHandle;
        uint32_t error = 0;
        FileStamp stamp;
    };
    const Folder& folder_;
    const std::string name_;
    const PlatformHandle main_;
    std::map<int, Member> members_;
};

// What one look at the main file saw through its handle: its stamp and its
// FCR pages.
struct Look {
    bool ok = false;
    FileStamp stamp;
    std::vector<uint8_t> head;
    bool operator==(const Look& o) const {
        return ok == o.ok && stamp == o.stamp && head == o.head;
    }
};

Look lookAt(PlatformHandle h) {
    Platform& p = systemPlatform();
    Look l;
    l.head.resize(kHeadBytes);
    size_t got = 0;
    l.ok = p.stamp(h, &l.stamp) && p.readAt(h, 0, l.head.data(), l.head.size(), &got);
    l.head.resize(got);
    return l;
}

// The reason a set could not be opened whole: its main file, or an
// extension file that is there but was not opened (a link is refused).
std::string setFailure(const tabulon::Status& s, bool member) {
    const std::string name = pathText(fsPath(s.name).filename());
    if (member && isLinkRefusal(s.code)) return "extension file " + name + " is " + kLinkReason;
    if (member) return "extension file " + name + " cannot be opened: " + systemReason(s.code);
    const std::string line = describe(s);
    return line.substr(0, line.find_first_of("\r\n"));
}

// The set's bytes past its FCR's pages, in whole gigabytes, when they are
// far more than slack: a finding, and nothing the check reads.
void notePastPages(const BtrieveFile& file, SurveyRow& row, bool keepList) {
    const FileGeometry& g = file.geometry();
    const uint64_t need = tabulon::pageOffset(g, g.pageCount);
    const uint64_t total = file.fileSet().totalSize();
    if (total <= need || total - need < tabulon::kFarPastPages) return;
    Finding f;
    f.code = Problem::LongerThanPages;
    f.expected = g.pageCount;
    f.found = uint32_t(std::min<uint64_t>((total - need) >> 30, UINT32_MAX));
    addFinding(row.findings, f, keepList);
}

void checkOne(SurveyRow& row, const SurveyOptions& o, SetHandles& handles) {
    const bool shared = o.shared, keepList = o.keepLists;
    EventSink quiet;
    const std::string path = pathText(row.path);
    if (!pathFits(path.size())) {
        row.error = strf("the path is longer than %d characters", kMaxPathLength);
        return;
    }
    // Every member through its handle, and all of them: a member that did
    // not open is no set to check. A first FCR copy that is no FCR, beside a
    // sound second copy: the file is read from the second copy, and that is
    // damage.
    CheckEnvironment env{systemPlatform(), quiet, &handles, shared ? Unprotected : SharedRead};
    env.eitherFcrCopy = true;
    env.wholeSet = true;
    auto opened = CheckedFile::open(path, quietOptions(shared), env);
    if (const auto* s = std::get_if<tabulon::Status>(&opened)) {
        if (s->failure == Failure::Open || s->failure == Failure::Size) {
            row.error = setFailure(*s, s->name != path);
        } else {
            const std::string line = describe(*s);
            row.error =
                "not a usable Btrieve file (" + line.substr(0, line.find_first_of("\r\n")) + ")";
        }
        return;
    }
    CheckedFile& checked = std::get<CheckedFile>(opened);
    const BtrieveFile& file = checked.file();
    const FileGeometry& g = file.geometry();
    row.version = g.versionCode;
    row.pages = g.pageCount;
    if (!checked.hasPat()) {
        row.state = RowState::PreSix;
        return;
    }
    row.lastPair = file.lastPatPair();
    // The members by their names: they lie beside the main file.
    SetExtent extent = checked.extent();
    for (std::string* member : {&extent.nextMember, &extent.lastMember}) {
        if (!member->empty()) *member = pathText(fsPath(*member).filename());
    }
    // PAT pairs named past the end alone are the info finding
    // last-pair-past-end; pages missing are damage.
    if (extent.heldPages < extent.fcrPages) row.incomplete = incompleteSetText(extent);
    std::unique_ptr<FileLook> look = o.look ? o.look() : nullptr;
    row.findings =
        gatherFindings(checked, keepList, look ? look->sinks(checked) : std::vector<EventSink*>{});
    // The walk's own findings, before the survey adds its own.
    FileFindings walked;
    if (look) walked = row.findings;
    if (file.firstFcrCopyDamaged()) {
        Finding f;
        f.code = Problem::FcrCopyDamaged;
        f.copy = 0;
        addFinding(row.findings, f, keepList);
    }
    notePastPages(file, row, keepList);
    row.state = RowState::Checked;
    // The look may keep the checked file (closed): the last use here.
    if (look) {
        look->done(checked, path, walked);
        row.look = std::move(look);
    }
}

// Checks a file through its one handle, and again after a short wait when
// its stamp or its FCR pages, or the stamp of a member, changed meanwhile
// (the engine wrote to it): a file written while it is read can show damage
// that is gone a moment later. A file that changes during every check is
// reported as changing, not checked, with the findings of its last check:
// damage seen is never hidden.
void checkSteady(SurveyRow& row, const SurveyOptions& o, const Folder& folder,
                 const std::string& name, PlatformHandle main, uint64_t* bytes) {
    SetHandles handles(folder, name, main);
    const std::string path = pathText(row.path);
    const size_t checks = 1 + o.backoffMs.size();
    for (size_t pass = 0; pass < checks; ++pass) {
        if (pass > 0 && o.backoffMs[pass - 1] > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(o.backoffMs[pass - 1]));
        }
        handles.restamp();
        const Look before = lookAt(main);
        SurveyRow fresh;
        fresh.path = row.path;
        checkOne(fresh, o, handles);
        if (o.afterCheck) o.afterCheck(path, int(pass));
        const Look after = lookAt(main);
        row.state = fresh.state;
        row.version = fresh.version;
        row.pages = fresh.pages;
        row.lastPair = fresh.lastPair;
        row.findings = std::move(fresh.findings);
        row.error = std::move(fresh.error);
        row.incomplete = std::move(fresh.incomplete);
        row.look = std::move(fresh.look);
        *bytes += after.stamp.size;
        const bool steady = before == after && !handles.membersChanged();
        if (steady || row.state == RowState::Failed) return;
    }
    if (row.state != RowState::Checked) return;  // a pre-6.x file has no findings to trust
    row.state = RowState::Changing;
    row.error = strf("not checked: the file changed during each of its %zu checks; the findings "
                     "are those of the last",
                     checks);
}

void add(ScanCounters& to, const ScanCounters& c) {
    to.patPagesExamined += c.patPagesExamined;
    to.dataPagesExamined += c.dataPagesExamined;
    to.indexPagesExamined += c.indexPagesExamined;
    to.otherPagesExamined += c.otherPagesExamined;
    to.totalPagesExamined += c.totalPagesExamined;
    to.patProblems += c.patProblems;
    to.dataProblems += c.dataProblems;
    to.indexProblems += c.indexProblems;
    to.otherProblems += c.otherProblems;
    to.zeroPointerProblems += c.zeroPointerProblems;
    to.totalProblems += c.totalProblems;
}

std::string countersText(const ScanCounters& c) {
    return strf("%5lu %8lu %7lu %7lu %8lu | %4lu %6lu %6lu %6lu %5lu %6lu",
                (unsigned long)c.patPagesExamined, (unsigned long)c.dataPagesExamined,
                (unsigned long)c.indexPagesExamined, (unsigned long)c.otherPagesExamined,
                (unsigned long)c.totalPagesExamined, (unsigned long)c.patProblems,
                (unsigned long)c.dataProblems, (unsigned long)c.indexProblems,
                (unsigned long)c.otherProblems, (unsigned long)c.zeroPointerProblems,
                (unsigned long)c.totalProblems);
}

std::string severityText(const FileFindings& f) {
    return strf("%6llu %6llu %4llu", (unsigned long long)f.bySeverity(Damage),
                (unsigned long long)f.bySeverity(UnusedEntry),
                (unsigned long long)f.bySeverity(Info));
}

// What a file that is no Btrieve file by its bytes is reported as, when it
// is reported: its name says it is one, it was named itself, or (for a file
// not read at all) Btrieve files lie beside it.
enum class Aside : uint8_t {
    None,        // a Btrieve file, or a file of no interest
    Unreadable,  // could not be opened or read (a lock of another program too)
    Link,        // a symbolic link
    Short,       // shorter than one FCR page, and its bytes begin as an FCR does
};

// A file the walk found, waiting for its look: opened once, from its
// folder, without following a link; its first bytes read through that
// handle; checked through it when they are those of a Btrieve file.
struct Candidate {
    FolderRef folder;
    std::string name;  // in its folder
    fs::path path;
    size_t dir = 0;
    bool named = false;  // named on the command line itself
    bool link = false;
    bool followed = false;  // a link followed: folder and name are its target's
    Aside aside = Aside::None;
    std::string reason;
    bool btrieve = false;
    SurveyRow row;
};

// A file that could not be read is reported when it would be surveyed: its
// name says so, it was named itself, or Btrieve files lie beside it.
bool candidateByName(const fs::path& p) {
    std::string ext = pathText(p.extension());
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".dat" || ext == ".btr" || ext == ".mkd" || ext == ".ddf";
}

struct FileIdLess {
    bool operator()(const FileId& a, const FileId& b) const {
        return a.device != b.device ? a.device < b.device : a.file < b.file;
    }
};

// The walk over the folders, a batch of files looked at a time on the
// workers: only the Btrieve files (and the files reported without a check)
// are kept, so memory grows with them, not with the whole tree. Each folder
// is walked once, however often it is reached.
class Walker {
  public:
    Walker(const SurveyOptions& o, Survey* s) : o_(o), s_(s) {}

    void walkNamed(size_t index) {
        const std::string& dir = o_.dirs[index];
        FolderHandle h = kInvalidFolder;
        uint32_t code = 0;
        if (openFolder(dir, &h, &code)) {
            walkFolder(std::make_shared<Folder>(h, fsPath(dir)), index);
        } else if (isNotFolder(code)) {
            // A file named itself: looked at from its folder, as any other.
            const fs::path named = fsPath(dir);
            const fs::path parent = named.has_parent_path() ? named.parent_path() : fs::path(".");
            if (openFolder(pathText(parent), &h, &code)) {
                add(std::make_shared<Folder>(h, parent), pathText(named.filename()), false, index,
                    true);
            } else {
                s_->walkErrors.push_back({index, "", systemReason(code)});
            }
        } else {
            s_->walkErrors.push_back({index, "", systemReason(code)});
        }
        lookAtBatch();
    }

    // With --follow-links, once every folder is walked: each link whose
    // target lies in a folder the walk went through (by the folder's
    // identity, opened from the target's full path) is looked at as that
    // file, opened from that folder without following a link; its members
    // are the target's. Any other link stays aside, with why.
    void followLinks() {
        for (Candidate& c : links_) {
            const fs::path target = fsPath(resolvedPath(pathText(c.path)));
            FolderHandle h = kInvalidFolder;
            uint32_t code = 0;
            FileId id;
            c.link = false;
            c.aside = Aside::Link;
            if (openFolder(pathText(target), &h, &code)) {
                const bool inside = folderId(h, &id) && walked_.count(id) > 0;
                closeFolder(h);
                c.reason = inside ? "a symbolic link to a folder of the survey, walked under its "
                                    "own name"
                                  : "a symbolic link to a folder outside the surveyed folders, not "
                                    "followed";
                aside_.push_back(std::move(c));
                continue;
            }
            if (!openFolder(pathText(target.parent_path()), &h, &code)) {
                c.reason = "a symbolic link whose target cannot be reached: " + systemReason(code);
                aside_.push_back(std::move(c));
                continue;
            }
            auto folder = std::make_shared<Folder>(h, target.parent_path());
            if (!folderId(h, &id) || walked_.count(id) == 0) {
                c.reason = "a symbolic link to a file outside the surveyed folders, not followed";
                aside_.push_back(std::move(c));
                continue;
            }
            // A target that cannot be resolved is the link itself again.
            FileId own;
            if (target.filename() == fsPath(c.name) && folderId(c.folder->handle, &own) &&
                own == id) {
                c.reason = "a symbolic link whose target cannot be reached";
                aside_.push_back(std::move(c));
                continue;
            }
            c.aside = Aside::None;
            c.folder = std::move(folder);
            c.name = pathText(target.filename());
            c.followed = true;
            batch_.push_back(std::move(c));
        }
        links_.clear();
        lookAtBatch();
    }

    // The files reported without a check: by their name, or by the Btrieve
    // files found in their folder.
    void keepAside() {
        std::vector<std::string> folders;
        for (const SurveyRow& r : s_->rows) folders.push_back(pathText(r.path.parent_path()));
        std::sort(folders.begin(), folders.end());
        for (Candidate& c : aside_) {
            const bool beside = c.aside != Aside::Short &&
                                std::binary_search(folders.begin(), folders.end(),
                                                   pathText(c.path.parent_path()));
            if (!c.named && !beside && !candidateByName(c.path)) continue;
            SurveyRow row = rowOf(c);
            row.error = c.reason;
            row.state = c.aside == Aside::Link ? RowState::Skipped : RowState::Failed;
            s_->rows.push_back(std::move(row));
        }
        aside_.clear();
    }

  private:
    static constexpr size_t kBatch = 4096;

    // A folder waiting to be walked: its name in the folder before it.
    struct Pending {
        FolderRef parent;
        std::string name;
    };

    // Whether a folder was walked before (a folder named twice, or inside
    // another named one); notes it as walked.
    bool seenBefore(const Folder& f, fs::path* first) {
        FileId id;
        if (!folderId(f.handle, &id)) return false;
        const auto [at, isNew] = walked_.emplace(id, f.path);
        *first = at->second;
        return !isNew;
    }

    void walkFolder(FolderRef top, size_t index) {
        const fs::path root = top->path;
        std::vector<Pending> pending;
        FolderRef folder = std::move(top);
        bool named = true;
        for (;;) {
            if (folder) {
                fs::path first;
                if (!seenBefore(*folder, &first)) {
                    list(folder, root, index, pending);
                } else if (named) {
                    walkedAs_[index] = first;  // its files are counted under that path
                }
            }
            named = false;
            folder.reset();
            if (pending.empty()) break;
            Pending next = std::move(pending.back());
            pending.pop_back();
            FolderHandle h = kInvalidFolder;
            uint32_t code = 0;
            const fs::path path = next.parent->path / fsPath(next.name);
            if (openSubfolder(next.parent->handle, next.name, &h, &code)) {
                folder = std::make_shared<Folder>(h, path);
            } else if (!isLinkRefusal(code)) {
                // A folder that became a link meanwhile is not followed.
                s_->walkErrors.push_back({index, relative(path, root), systemReason(code)});
            }
        }
    }

    void list(const FolderRef& folder, const fs::path& root, size_t index,
              std::vector<Pending>& pending) {
        uint32_t code = 0;
        const bool listed = listFolder(folder->handle, [&](const std::string& name, EntryKind kind,
                                                           uint32_t unknown) {
            if (kind == EntryKind::Unknown) {
                // What the entry is could not be read: a file or a folder
                // under it may go unseen.
                s_->walkErrors.push_back({index, relative(folder->path / fsPath(name), root),
                                          "cannot tell what it is: " + systemReason(unknown)});
            } else if (kind == EntryKind::Folder) {
                pending.push_back({folder, name});
            } else if ((kind == EntryKind::File || kind == EntryKind::Link) &&
                       !isMemberName(fsPath(name))) {
                add(folder, name, kind == EntryKind::Link, index, false);
            }
        }, &code);
        if (!listed) s_->walkErrors.push_back({index, relative(folder->path, root), systemReason(code)});
    }

    static std::string relative(const fs::path& path, const fs::path& root) {
        const std::string rel = genericPathText(path.lexically_relative(root));
        return rel == "." ? "" : rel;
    }

    void add(const FolderRef& folder, const std::string& name, bool link, size_t index,
             bool named) {
        Candidate c;
        c.folder = folder;
        c.name = name;
        c.path = folder->path / fsPath(name);
        c.dir = index;
        c.named = named;
        c.link = link;
        if (link && o_.followLinks) {
            links_.push_back(std::move(c));  // followed once every folder is walked
            return;
        }
        batch_.push_back(std::move(c));
        if (batch_.size() >= kBatch) lookAtBatch();
    }

    // Claims a file's identity for its first name; false when another name
    // of it came first.
    bool claim(const FileId& id) {
        JobLockHeld held(claims_);
        return claimed_.insert(id).second;
    }

    void lookAt(Candidate& c) {
        if (c.link) {
            c.aside = Aside::Link;
            c.reason = kLinkReason;
            return;
        }
        Platform& p = systemPlatform();
        PlatformHandle h = kInvalidHandle;
        uint32_t code = 0;
        if (!openInFolder(c.folder->handle, c.name, o_.shared ? Unprotected : SharedRead, &h,
                          &code)) {
            // A name that became a link since it was listed is a link.
            c.aside = isLinkRefusal(code) ? Aside::Link : Aside::Unreadable;
            c.reason = isLinkRefusal(code) ? (c.followed ? "a symbolic link whose target is a link "
                                                           "again, not followed"
                                                         : kLinkReason)
                                           : "cannot read it: " + systemReason(code);
            return;
        }
        if (o_.afterOpen) o_.afterOpen(pathText(c.path));
        std::vector<uint8_t> head(kHeadBytes);
        size_t got = 0;
        if (!p.readAt(h, 0, head.data(), head.size(), &got, &code)) {
            c.aside = Aside::Unreadable;
            c.reason = "cannot read it: " + systemReason(code);
        } else if (fcrHeadFault(head.data(), got) == FcrFault::None ||
                   secondFcrCopyOffset(head.data(), got) != 0) {
            c.btrieve = true;
            c.row = rowOf(c);
            c.row.identified = p.fileId(h, &c.row.id);
            if (c.row.identified && !claim(c.row.id)) {
                c.row.another = true;
                c.row.state = RowState::Skipped;
            } else {
                uint64_t bytes = 0;
                checkSteady(c.row, o_, *c.folder, c.name, h, &bytes);
                if (o_.progress) o_.progress->advance(0, bytes);
            }
        } else if (got < size_t(fcr::firstReadMin) && beginsLikeFcr(head.data(), got)) {
            c.aside = Aside::Short;
            c.reason = strf("%zu bytes, shorter than one FCR page", got);
        }
        p.close(h);
    }

    void lookAtBatch() {
        if (o_.progress) o_.progress->expect(batch_.size());
        runJobs(batch_.size(), o_.jobs, [&](size_t i) {
            lookAt(batch_[i]);
            if (o_.progress) o_.progress->advance(1, 0);
        });
        for (Candidate& c : batch_) {
            if (c.btrieve) {
                s_->rows.push_back(std::move(c.row));
            } else if (c.aside != Aside::None) {
                aside_.push_back(std::move(c));
            }
        }
        batch_.clear();
    }

    SurveyRow rowOf(const Candidate& c) const {
        const bool several = o_.dirs.size() > 1;
        const fs::path root = fsPath(o_.dirs[c.dir]);
        SurveyRow row;
        row.path = c.path;
        row.dir = c.dir;
        row.named = c.named;
        row.viaLink = c.followed;
        row.rel = c.named ? genericPathText(c.path.filename())
                          : genericPathText(c.path.lexically_relative(root));
        row.shown = several ? genericPathText(c.path.lexically_normal()) : row.rel;
        return row;
    }

  public:
    // The Btrieve files under each folder named: its rows, or those under
    // the path it was first walked by.
    void countFolders() const {
        s_->folderFiles.assign(o_.dirs.size(), 0);
        for (size_t i = 0; i < o_.dirs.size(); ++i) {
            const auto as = walkedAs_.find(i);
            for (const SurveyRow& r : s_->rows) {
                if (r.state == RowState::Skipped) continue;
                if (as == walkedAs_.end() ? r.dir == i : isUnder(r.path, as->second)) {
                    ++s_->folderFiles[i];
                }
            }
        }
    }

  private:
    static bool isUnder(const fs::path& path, const fs::path& folder) {
        auto p = path.begin();
        for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
            if (f->empty()) continue;  // a trailing separator
            if (p == path.end() || *p != *f) return false;
        }
        return true;
    }

    const SurveyOptions& o_;
    Survey* s_;
    std::vector<Candidate> batch_, aside_, links_;
    std::map<FileId, fs::path, FileIdLess> walked_;  // each with the path it was walked by
    std::map<size_t, fs::path> walkedAs_;  // named folders walked before, under another path
    JobLock claims_;
    std::set<FileId, FileIdLess> claimed_;
};

// The names of a file checked once: the check's result goes to its first
// name in the survey's order, each other name says which that is.
void settleNames(std::vector<SurveyRow>& rows) {
    // The first name of each file, a name of its own before a link followed.
    std::map<FileId, size_t, FileIdLess> first;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].identified) continue;
        const auto [at, isNew] = first.emplace(rows[i].id, i);
        if (!isNew && rows[at->second].viaLink && !rows[i].viaLink) at->second = i;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].identified) continue;
        const auto at = first.find(rows[i].id);
        if (at->second == i) continue;
        SurveyRow& keep = rows[at->second];
        SurveyRow& other = rows[i];
        if (keep.another && !other.another) {
            std::swap(keep.state, other.state);
            std::swap(keep.version, other.version);
            std::swap(keep.pages, other.pages);
            std::swap(keep.lastPair, other.lastPair);
            std::swap(keep.findings, other.findings);
            std::swap(keep.error, other.error);
            std::swap(keep.incomplete, other.incomplete);
            std::swap(keep.another, other.another);
        }
        other.state = RowState::Skipped;
        other.error = "the same file as " + keep.shown + ", checked there";
        other.findings = FileFindings();
        other.incomplete.clear();
    }
}

int64_t surveyTime() {
    if (const char* e = std::getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        const long long t = std::strtoll(e, &end, 10);
        if (end != e && *end == '\0') return t;
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string versionHex(uint16_t v) {
    return hex(v, 4);
}

size_t Survey::count(RowState st) const {
    return size_t(
        std::count_if(rows.begin(), rows.end(), [&](const SurveyRow& r) { return r.state == st; }));
}

size_t Survey::damaged() const {
    return size_t(std::count_if(rows.begin(), rows.end(),
                                [&](const SurveyRow& r) { return r.damaged(strict); }));
}

size_t Survey::unusedOnly() const {
    return size_t(std::count_if(rows.begin(), rows.end(), [&](const SurveyRow& r) {
        return r.state == RowState::Checked && !r.damaged(strict) &&
               r.findings.bySeverity(UnusedEntry) > 0;
    }));
}

std::string WalkError::text(const Survey& s) const {
    const std::string& dir = s.dirs[this->dir];
    return (path.empty() ? dir : genericPathText(fsPath(dir) / fsPath(path))) + ": " + reason;
}

bool Survey::complete() const {
    return walkErrors.empty() && count(RowState::Failed) == 0 && count(RowState::Changing) == 0;
}

void runSurvey(const SurveyOptions& o, Survey* s) {
    const auto begun = std::chrono::steady_clock::now();
    s->time = surveyTime();
    s->dirs = o.dirs;
    s->strict = o.strict;
    s->expect = o.expect;
    if (o.progress) o.progress->start("checking", 0);
    Walker walker(o, s);
    for (size_t i = 0; i < o.dirs.size(); ++i) walker.walkNamed(i);
    walker.followLinks();
    walker.keepAside();
    std::sort(s->rows.begin(), s->rows.end(), [](const SurveyRow& a, const SurveyRow& b) {
        return a.dir != b.dir ? a.dir < b.dir : a.shown < b.shown;
    });
    settleNames(s->rows);
    walker.countFolders();
    if (o.progress) o.progress->clear();
    s->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
}

std::string surveyLog(const Survey& s, const std::string& prefix) {
    std::string t;
    for (const WalkError& e : s.walkErrors) {
        t += prefix + "cannot read " + displayName(e.text(s)) + "\n";
    }
    for (size_t i = 0; i < s.dirs.size(); ++i) {
        if (s.belowExpected(i)) {
            t += prefix + "folder below expected: " + displayName(s.belowExpectedText(i)) + "\n";
        }
    }
    for (const SurveyRow& r : s.rows) {
        const std::string name = displayName(genericPathText(r.path));
        if (r.state == RowState::Changing) {
            t += prefix + "changing: " + name + ": " + displayName(r.error) +
                 strf(" (%llu damage findings)\n",
                      (unsigned long long)r.findings.bySeverity(Damage));
        } else if (r.damaged(s.strict)) {
            const uint64_t n = s.strict ? r.findings.bySeverity(Damage) +
                                              r.findings.bySeverity(UnusedEntry)
                                        : r.findings.bySeverity(Damage);
            t += prefix + "damaged: " + name +
                 strf(" (%llu %sfindings", (unsigned long long)n, s.strict ? "" : "damage ") +
                 (r.incomplete.empty() ? std::string() : "; incomplete set: " + r.incomplete) +
                 ")\n";
        } else if (r.state == RowState::Failed) {
            t += prefix + "not checked: " + name + ": " + displayName(r.error) + "\n";
        }
    }
    t += prefix +
         strf("survey: files=%zu folders=%zu checked=%zu damaged=%zu not_checked=%zu "
              "changing=%zu skipped=%zu folders_not_read=%zu folders_below_expected=%zu "
              "complete=%d duration=%.3fs\n",
              s.rows.size(), s.dirs.size(), s.count(RowState::Checked), s.damaged(),
              s.count(RowState::Failed), s.count(RowState::Changing), s.count(RowState::Skipped),
              s.walkErrors.size(), s.foldersBelowExpected(), s.complete() ? 1 : 0, s.seconds);
    return t;
}

std::string Survey::rowDir(const SurveyRow& r) const {
    if (!r.named) return dirs[r.dir];
    const fs::path given = fsPath(dirs[r.dir]);
    return given.has_parent_path() ? pathText(given.parent_path()) : std::string(".");
}

size_t Survey::foldersBelowExpected() const {
    size_t n = 0;
    for (size_t i = 0; i < dirs.size(); ++i) n += belowExpected(i) ? 1 : 0;
    return n;
}

std::string Survey::belowExpectedText(size_t dir) const {
    const size_t n = dir < folderFiles.size() ? folderFiles[dir] : 0;
    const std::string held = n == 0   ? std::string("no Btrieve file")
                             : n == 1 ? std::string("1 Btrieve file")
                                      : strf("%zu Btrieve files", n);
    return dirs[dir] + " holds " + held + ", expected at least " + std::to_string(expect);
}

int surveyStatus(const Survey& s) {
    if (!s.complete()) return kStatusFailed;
    return s.damaged() > 0 || s.foldersBelowExpected() > 0 ? 1 : 0;
}

std::string surveyText(const Survey& s) {
    size_t w = 40;
    for (const SurveyRow& r : s.rows) w = std::max(w, displayWidth(displayName(r.shown)));
    const int width = int(w);
    std::string t = strf("%-*s %-7s %9s %9s | %-40s | %-39s | %s\n", width, "", "", "", "",
                         "pages examined", "problems found", "findings");
    t +=
        strf("%-*s %-7s %9s %9s | %5s %8s %7s %7s %8s | %4s %6s %6s %6s %5s %6s | %6s %6s %4s\n",
             width, "file", "version", "pages", "last pair", "pat", "data", "index", "other",
             "total", "pat", "data", "index", "other", "zero", "total", "damage", "unused", "info");
    ScanCounters total;
    FileFindings all;
    for (const SurveyRow& r : s.rows) {
        // Padded by columns, not bytes: printf's width then adds nothing.
        const std::string shown = padToWidth(displayName(r.shown), w);
        const char* name = shown.c_str();
        switch (r.state) {
            case RowState::Checked:
                add(total, r.findings.counters);
                for (int c = 0; c < kClasses; ++c) {
                    for (int v = 0; v < kSeverities; ++v) all.count[c][v] += r.findings.count[c][v];
                }
                all.severities += r.findings.severities;
                t += strf("%-*s %-7s %9lu %9lu | %s | %s\n", width, name,
                          versionHex(r.version).c_str(), (unsigned long)r.pages,
                          (unsigned long)r.lastPair, countersText(r.findings.counters).c_str(),
                          severityText(r.findings).c_str());
                break;
            case RowState::PreSix:
                t += strf("%-*s %-7s %9lu %9s | pre-6.x file: no PAT to check\n", width, name,
                          versionHex(r.version).c_str(), (unsigned long)r.pages, "-");
                break;
            case RowState::Failed:
                t += strf("%-*s %-7s %9s %9s | not checked: %s\n", width, name, "-", "-", "-",
                          displayName(r.error).c_str());
                break;
            case RowState::Changing:
                t += strf("%-*s %-7s %9lu %9s | changing, %s; at the last: %llu damage\n", width,
                          name, versionHex(r.version).c_str(), (unsigned long)r.pages, "-",
                          displayName(r.error).c_str(),
                          (unsigned long long)r.findings.bySeverity(Damage));
                break;
            case RowState::Skipped:
                t += strf("%-*s %-7s %9s %9s | skipped: %s\n", width, name, "-", "-", "-",
                          displayName(r.error).c_str());
                break;
        }
    }
    t += strf("%-*s %-7s %9s %9s | %s | %s\n", width,
              strf("total: %zu files", s.rows.size()).c_str(), "", "", "",
              countersText(total).c_str(), severityText(all).c_str());
    const size_t checked = s.count(RowState::Checked);
    t += strf(
        "%zu checked (%zu with damage, %zu with findings on unused entries only), "
        "%zu pre-6.x, %zu not checked%s%s%s\n",
        checked, s.damaged(), s.unusedOnly(), s.count(RowState::PreSix), s.count(RowState::Failed),
        s.count(RowState::Changing) > 0
            ? strf(", %zu changing while checked", s.count(RowState::Changing)).c_str()
            : "",
        s.count(RowState::Skipped) > 0 ? strf(", %zu skipped", s.count(RowState::Skipped)).c_str()
                                       : "",
        s.strict ? "; strict: every finding is damage" : "");
    for (const SurveyRow& r : s.rows) {
        if (!r.damaged(s.strict)) continue;
        t += "damage: " + displayName(r.shown) +
             (r.incomplete.empty() ? std::string() : " (incomplete set: " + r.incomplete + ")") +
             "\n";
    }
    for (const WalkError& e : s.walkErrors) t += "folder not read: " + displayName(e.text(s)) + "\n";
    for (size_t i = 0; i < s.dirs.size(); ++i) {
        if (s.belowExpected(i)) t += "folder below expected: " + displayName(s.belowExpectedText(i)) + "\n";
    }
    return t;
}

namespace {

Json severityJson(const FileFindings& f) {
    Json j;
    for (int v = 0; v < kSeverities; ++v) j[severityKey(v)] = f.bySeverity(v);
    Json byClass;
    for (int c = 0; c < kClasses; ++c) {
        Json one;
        for (int v = 0; v < kSeverities; ++v) one[severityKey(v)] = f.count[c][v];
        byClass[className(c)] = one;
    }
    j["byClass"] = byClass;
    return j;
}

const char* stateKey(RowState st) {
    switch (st) {
        case RowState::Checked: return "checked";
        case RowState::PreSix: return "preSix";
        case RowState::Changing: return "changing";
        case RowState::Skipped: return "skipped";
        default: return "notChecked";
    }
}

}  // namespace

Json surveyJson(const Survey& s) {
    Json files = Json::array();
    ScanCounters total;
    FileFindings all;
    for (const SurveyRow& r : s.rows) {
        const bool known = r.state != RowState::Failed && r.state != RowState::Skipped;
        Json f;
        f["dir"] = s.rowDir(r);
        f["path"] = r.rel;
        f["state"] = stateKey(r.state);
        f["version"] = known ? Json(r.version) : Json(nullptr);
        f["versionHex"] = known ? Json(versionHex(r.version)) : Json(nullptr);
        f["fcrPages"] = known ? Json(r.pages) : Json(nullptr);
        f["lastPair"] = r.state == RowState::Checked ? Json(r.lastPair) : Json(nullptr);
        if (r.state == RowState::Changing) {
            // Not checked, but the damage its last check saw is not hidden.
            putCounters(f, r.findings.counters);
            f["findingCounts"] = severityJson(r.findings);
            f["damaged"] = r.damaged(s.strict);
        } else if (r.state == RowState::Checked) {
            putCounters(f, r.findings.counters);
            f["findingCounts"] = severityJson(r.findings);
            f["damaged"] = r.damaged(s.strict);
            add(total, r.findings.counters);
            for (int c = 0; c < kClasses; ++c) {
                for (int v = 0; v < kSeverities; ++v) all.count[c][v] += r.findings.count[c][v];
            }
            all.severities += r.findings.severities;
        } else {
            f["examined"] = nullptr;
            f["problemCounts"] = nullptr;
            f["findingCounts"] = nullptr;
            f["damaged"] = false;
        }
        f["error"] = r.error.empty() ? Json(nullptr) : Json(r.error);
        f["incomplete"] = r.incomplete.empty() ? Json(nullptr) : Json(r.incomplete);
        files.push_back(f);
    }
    Json j;
    j["dirs"] = s.dirs;
    j["time"] = s.time;
    j["strict"] = s.strict;
    j["files"] = files;
    Json tot;
    tot["fileCount"] = s.rows.size();
    tot["checked"] = s.count(RowState::Checked);
    tot["damagedFiles"] = s.damaged();
    tot["unusedEntryOnly"] = s.unusedOnly();
    tot["preSix"] = s.count(RowState::PreSix);
    tot["notChecked"] = s.count(RowState::Failed);
    tot["changing"] = s.count(RowState::Changing);
    tot["skipped"] = s.count(RowState::Skipped);
    tot["foldersBelowExpected"] = s.foldersBelowExpected();
    putCounters(tot, total);
    tot["findingCounts"] = severityJson(all);
    j["totals"] = tot;
    Json walkErrors = Json::array();
    for (const WalkError& e : s.walkErrors) walkErrors.push_back(e.text(s));
    j["walkErrors"] = walkErrors;
    Json folders = Json::array();
    for (size_t i = 0; i < s.dirs.size(); ++i) {
        Json f;
        f["dir"] = s.dirs[i];
        f["fileCount"] = i < s.folderFiles.size() ? s.folderFiles[i] : 0;
        f["expectedFiles"] = s.expect > 0 ? Json(s.expect) : Json(nullptr);
        f["belowExpected"] = s.belowExpected(i);
        folders.push_back(f);
    }
    j["folders"] = folders;
    j["complete"] = s.complete();
    j["status"] = surveyStatus(s);
    return j;
}

namespace {

// When the last complete survey began, from the metrics file this run
// replaces (0 when there is none).
int64_t lastSuccessBefore(const std::string& output) {
    if (output.empty()) return 0;
    std::string head(65536, '\0');
    size_t got = 0;
    FileStamp stamp;
    uint32_t code = 0;
    if (!readFileHead(output, head.data(), head.size(), &got, &stamp, &code)) return 0;
    head.resize(got);
    return lastSuccessIn(head);
}

}  // namespace

int cmdSurvey(Context& cx, const SurveyArgs& a) {
    const std::string format = cx.json ? "json" : a.format;
    ProgressLine progress(cx.out, ProgressLine::wanted(cx.out, format), "survey");
    SurveyOptions o;
    o.dirs = a.dirs;
    o.jobs = a.jobs;
    o.shared = cx.shared;
    o.strict = a.strict;
    o.followLinks = a.followLinks;
    o.expect = a.expect;
    o.progress = &progress;
    Survey s;
    runSurvey(o, &s);
    int status = surveyStatus(s);
    std::string text;
    if (format == "json") {
        text = dumpJson(surveyJson(s)) + "\n";
    } else if (format == "prometheus") {
        text = surveyPrometheus(s, s.complete() ? s.time : lastSuccessBefore(a.output));
    } else if (format == "nagios") {
        text = surveyNagios(s, &status);
    } else {
        text = surveyText(s);
    }
    std::string why;
    const bool written = a.output.empty() || writeAtomically(a.output, text, &why);
    if (a.output.empty()) cx.out.write(Stream::Out, text);
    // The story of the run on standard error, whatever the format: the
    // service's journal says what was found, and why a survey is
    // incomplete.
    cx.out.write(Stream::Err, surveyLog(s, "tabulon-inspect: "));
    if (!written) {
        fail(cx.out, why);
        return format == "nagios" ? kNagiosUnknown : kStatusFailed;
    }
    return status;
}

}  // namespace inspect
