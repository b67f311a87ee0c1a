// survey: every Btrieve file under the folders, checked by the engine as the
// tabulon program checks it without a fix mask, several files at a time; its
// text and JSON forms.
#include "inspect/survey.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "fileio/platform.h"
#include "inspect/progress.h"
#include "inspect/names.h"
#include "inspect/workers.h"

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

// Whether bytes begin with an FCR: a signature or the zero first word, a
// version code of a known family and a page size a file can have.
bool looksLikeBtrieve(const uint8_t* head, size_t n) {
    return fcrHeadFault(head, n) == FcrFault::None;
}

std::string systemReason(uint32_t code) {
    std::string t = systemPlatform().errorText(code);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    return t;
}

// What one look at a file saw: its stamp and its FCR pages.
struct Look {
    bool ok = false;
    FileStamp stamp;
    std::vector<uint8_t> head;
    bool operator==(const Look& o) const {
        return ok == o.ok && stamp.size == o.stamp.size &&
               stamp.modifiedNs == o.stamp.modifiedNs && head == o.head;
    }
};

Look lookAt(const std::string& path) {
    Look l;
    l.head.resize(kHeadBytes);
    size_t got = 0;
    uint32_t code = 0;
    l.ok = readFileHead(path, l.head.data(), l.head.size(), &got, &l.stamp, &code);
    l.head.resize(got);
    return l;
}

void checkOne(SurveyRow& row, bool shared, bool keepList) {
    NullOutput out;
    BtrieveFile file(out);
    const std::string path = pathText(row.path);
    if (path.size() > size_t(kMaxPathLength)) {
        row.error = strf("the path is longer than %d characters", kMaxPathLength);
        return;
    }
    const tabulon::Status s = file.open(path, shared ? Unprotected : ExclusiveRead, false);
    if (!s.ok()) {
        const std::string line = describe(s);
        const std::string first = line.substr(0, line.find_first_of("\r\n"));
        row.error = s.failure == tabulon::Failure::NotBtrieve
                        ? "not a usable Btrieve file (" + first + ")"
                        : first;
        return;
    }
    const FileGeometry& g = file.geometry();
    row.version = g.versionCode;
    row.pages = g.pageCount;
    if (g.versionCode < version::v600) {
        row.state = RowState::PreSix;
        file.close();
        return;
    }
    row.lastPair = file.lastPatPair();
    row.findings = gatherFindings(file, shared, keepList);
    file.close();
    row.state = RowState::Checked;
}

// Checks a file, and once more when its size, its modification time or its
// FCR pages changed meanwhile (the engine wrote to it): a file written while
// it is read can show damage that is gone a moment later. A file that changes
// during both checks is reported as changing, not by its findings.
void checkSteady(SurveyRow& row, const SurveyOptions& o, uint64_t* bytes) {
    const std::string path = pathText(row.path);
    for (int pass = 0; pass < 2; ++pass) {
        const Look before = lookAt(path);
        SurveyRow fresh;
        fresh.path = row.path;
        checkOne(fresh, o.shared, o.keepLists);
        if (o.afterCheck) o.afterCheck(path, pass);
        const Look after = lookAt(path);
        row.state = fresh.state;
        row.version = fresh.version;
        row.pages = fresh.pages;
        row.lastPair = fresh.lastPair;
        row.findings = std::move(fresh.findings);
        row.error = std::move(fresh.error);
        *bytes += after.stamp.size;
        if (before == after || row.state == RowState::Failed) return;
    }
    row.state = RowState::Changing;
    row.error = "the file changed while it was checked, twice";
    row.findings = FileFindings();
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

// A regular file the walk found, waiting for the look at its first bytes.
struct Candidate {
    fs::path path;
    size_t dir = 0;
    bool named = false;  // named on the command line itself
    bool btrieve = false;
    std::string error;  // why it could not be read
};

// A file that could not be read is reported when it would be surveyed: its
// name says so, it was named itself, or Btrieve files lie beside it.
bool candidateByName(const fs::path& p) {
    std::string ext = pathText(p.extension());
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".dat" || ext == ".btr" || ext == ".mkd" || ext == ".ddf";
}

// The walk over the folders, a batch of files looked at a time on the
// workers: only the Btrieve files (and the files that could not be read)
// are kept, so memory grows with them, not with the whole tree.
class Walker {
  public:
    Walker(const SurveyOptions& o, Survey* s) : o_(o), s_(s) {}

    void walkNamed(size_t index) {
        const std::string& dir = o_.dirs[index];
        std::error_code ec;
        const fs::path root = fsPath(dir);
        const fs::file_status st = fs::status(root, ec);
        if (fs::is_regular_file(st)) {
            add(root, index, true);
        } else if (ec || !fs::is_directory(st)) {
            s_->walkErrors.push_back(
                {index, "", ec ? ec.message() : std::string("not a folder nor a file")});
        } else {
            walkFolder(root, index);
        }
        lookAtBatch();
    }

    // The files that could not be read and are reported: by their name,
    // or by the Btrieve files found in their folder.
    void keepUnreadable() {
        std::vector<std::string> folders;
        for (const SurveyRow& r : s_->rows) folders.push_back(pathText(r.path.parent_path()));
        std::sort(folders.begin(), folders.end());
        for (Candidate& c : unreadable_) {
            const bool beside =
                std::binary_search(folders.begin(), folders.end(), pathText(c.path.parent_path()));
            if (!c.named && !beside && !candidateByName(c.path)) continue;
            SurveyRow row = rowOf(c);
            row.error = "cannot read it: " + c.error;
            s_->rows.push_back(std::move(row));
        }
        unreadable_.clear();
    }

  private:
    static constexpr size_t kBatch = 4096;

    void walkFolder(const fs::path& root, size_t index) {
        std::vector<fs::path> folders{root};
        while (!folders.empty()) {
            const fs::path folder = std::move(folders.back());
            folders.pop_back();
            std::error_code ec;
            fs::directory_iterator it(folder, ec), end;
            for (; !ec && it != end; it.increment(ec)) {
                std::error_code te;
                const fs::file_type type = it->symlink_status(te).type();
                if (type == fs::file_type::directory) {
                    folders.push_back(it->path());
                } else if (it->is_regular_file(te) && !isMemberName(it->path())) {
                    add(it->path(), index, false);
                }
            }
            if (ec) {
                const std::string rel = genericPathText(folder.lexically_relative(root));
                s_->walkErrors.push_back({index, rel == "." ? "" : rel, ec.message()});
            }
        }
    }

    void add(const fs::path& p, size_t index, bool named) {
        Candidate c;
        c.path = p;
        c.dir = index;
        c.named = named;
        batch_.push_back(std::move(c));
        if (batch_.size() >= kBatch) lookAtBatch();
    }

    void lookAtBatch() {
        runJobs(batch_.size(), o_.jobs, [&](size_t i) {
            Candidate& c = batch_[i];
            std::vector<uint8_t> head(static_cast<size_t>(fcr::firstReadMin));
            size_t got = 0;
            FileStamp stamp;
            uint32_t code = 0;
            if (!readFileHead(pathText(c.path), head.data(), head.size(), &got, &stamp, &code)) {
                c.error = systemReason(code);
            } else {
                c.btrieve = looksLikeBtrieve(head.data(), got);
            }
        });
        if (o_.progress) o_.progress->advance(batch_.size(), 0);
        for (Candidate& c : batch_) {
            if (c.btrieve) {
                s_->rows.push_back(rowOf(c));
            } else if (!c.error.empty()) {
                unreadable_.push_back(std::move(c));
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
        row.rel = c.named ? genericPathText(c.path.filename())
                          : genericPathText(c.path.lexically_relative(root));
        row.shown = several ? genericPathText(c.path.lexically_normal()) : row.rel;
        return row;
    }

    const SurveyOptions& o_;
    Survey* s_;
    std::vector<Candidate> batch_, unreadable_;
};

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
    return walkErrors.empty() && count(RowState::Failed) == 0;
}

void runSurvey(const SurveyOptions& o, Survey* s) {
    s->time = surveyTime();
    s->dirs = o.dirs;
    s->strict = o.strict;
    if (o.progress) o.progress->start("looking for Btrieve files", 0);
    Walker walker(o, s);
    for (size_t i = 0; i < o.dirs.size(); ++i) walker.walkNamed(i);
    walker.keepUnreadable();
    std::sort(s->rows.begin(), s->rows.end(), [](const SurveyRow& a, const SurveyRow& b) {
        return a.dir != b.dir ? a.dir < b.dir : a.shown < b.shown;
    });
    if (o.progress) o.progress->start("checking", s->rows.size());
    runJobs(s->rows.size(), o.jobs, [&](size_t i) {
        SurveyRow& row = s->rows[i];
        if (!row.error.empty()) return;  // could not be read at all
        uint64_t bytes = 0;
        checkSteady(row, o, &bytes);
        if (o.progress) o.progress->done(bytes);
    });
    if (o.progress) o.progress->clear();
}

int surveyStatus(const Survey& s) {
    if (!s.complete()) return kStatusFailed;
    return s.damaged() > 0 ? 1 : 0;
}

std::string surveyText(const Survey& s) {
    size_t w = 40;
    for (const SurveyRow& r : s.rows) w = std::max(w, displayName(r.shown).size());
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
        const std::string shown = displayName(r.shown);
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
                t += strf("%-*s %-7s %9lu %9s | changing: %s\n", width, name,
                          versionHex(r.version).c_str(), (unsigned long)r.pages, "-",
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
        "%zu pre-6.x, %zu not checked%s%s\n",
        checked, s.damaged(), s.unusedOnly(), s.count(RowState::PreSix), s.count(RowState::Failed),
        s.count(RowState::Changing) > 0
            ? strf(", %zu changing while checked", s.count(RowState::Changing)).c_str()
            : "",
        s.strict ? "; strict: every finding is damage" : "");
    for (const SurveyRow& r : s.rows) {
        if (r.damaged(s.strict)) t += "damage: " + displayName(r.shown) + "\n";
    }
    for (const WalkError& e : s.walkErrors) t += "folder not read: " + displayName(e.text(s)) + "\n";
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
        default: return "notChecked";
    }
}

}  // namespace

Json surveyJson(const Survey& s) {
    Json files = Json::array();
    ScanCounters total;
    FileFindings all;
    for (const SurveyRow& r : s.rows) {
        const bool known = r.state != RowState::Failed;
        Json f;
        f["path"] = r.shown;
        f["state"] = stateKey(r.state);
        f["version"] = known ? Json(r.version) : Json(nullptr);
        f["versionHex"] = known ? Json(versionHex(r.version)) : Json(nullptr);
        f["fcrPages"] = known ? Json(r.pages) : Json(nullptr);
        f["lastPair"] = r.state == RowState::Checked ? Json(r.lastPair) : Json(nullptr);
        if (r.state == RowState::Checked) {
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
    putCounters(tot, total);
    tot["findingCounts"] = severityJson(all);
    j["totals"] = tot;
    Json walkErrors = Json::array();
    for (const WalkError& e : s.walkErrors) walkErrors.push_back(e.text(s));
    j["walkErrors"] = walkErrors;
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
    if (a.output.empty()) {
        cx.out.write(Stream::Out, text);
    } else if (!writeAtomically(a.output, text, &why)) {
        fail(cx.out, why);
        return format == "nagios" ? kNagiosUnknown : kStatusFailed;
    }
    // The folders not read, on standard error too beside the metrics: the
    // service's log says why the survey is incomplete.
    if (format == "prometheus") {
        for (const WalkError& e : s.walkErrors) {
            cx.out.write(Stream::Err, "tabulon-inspect: cannot read " + e.text(s) + "\n");
        }
    }
    return status;
}

}  // namespace inspect
