// survey: every Btrieve file under the folders, checked by the engine as the
// tabulon program checks it without a fix mask, several files at a time; its
// text and JSON forms.
#include "inspect/survey.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "inspect/names.h"
#include "inspect/workers.h"

using namespace tabulon;

namespace inspect {

namespace {

namespace fs = std::filesystem;

// Extension files (.^01 to .^7f) and the delta file (.^^^) go with their
// main file.
bool isMemberName(const fs::path& p) {
    const std::string ext = p.extension().string();
    if (ext.size() != 4 || ext[0] != '.' || ext[1] != '^') return false;
    if (ext[2] == '^' && ext[3] == '^') return true;
    if (!std::isxdigit(static_cast<unsigned char>(ext[2])) ||
        !std::isxdigit(static_cast<unsigned char>(ext[3]))) {
        return false;
    }
    const int k = std::stoi(ext.substr(2), nullptr, 16);
    return k >= 1 && k < kMaxMembers;
}

// Whether the file begins with an FCR: a signature or the zero first word,
// a version code of a known family and a page size a file can have.
bool looksLikeBtrieve(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> head(fcr::firstReadMin);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    if (in.gcount() < std::streamsize(head.size())) return false;
    FcrVersion v;
    if (!decodeFcrVersion(head.data(), &v)) return false;
    if (v.folded < 0x0100 || v.folded > 0x1FFF) return false;
    FileGeometry g;
    decodeGeometry(head.data(), v.folded, &g);
    if (g.pageSize == 0 || g.pageSize % 512 != 0) return false;
    return v.folded < version::v600 || geometryUsable(g);
}

void checkOne(SurveyRow& row, bool shared, bool keepList) {
    NullOutput out;
    BtrieveFile file(out);
    if (row.path.string().size() > size_t(kMaxPathLength)) {
        row.error = strf("the path is longer than %d characters", kMaxPathLength);
        return;
    }
    if (file.open(row.path.string(), shared ? Unprotected : ExclusiveRead, false) == 0) {
        const tabulon::Status& s = file.openStatus();
        const std::string line = s.failure == tabulon::Failure::NotBtrieve
                                     ? s.text
                                     : "Failed to Open File <" + s.name + ">, Status Code " +
                                           std::to_string(s.code) + ", " + s.text;
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

// Adds the rows of one folder (or of one file named instead of a folder).
bool walk(const std::string& dir, size_t index, bool several, Survey* s, std::string* why) {
    std::error_code ec;
    const fs::path root(dir);
    auto shownOf = [&](const fs::path& p) {
        return several ? p.lexically_normal().generic_string()
                       : p.lexically_relative(root).generic_string();
    };
    if (fs::is_regular_file(root, ec)) {
        SurveyRow row;
        row.path = root;
        row.dir = index;
        row.rel = root.filename().generic_string();
        row.shown = several ? shownOf(root) : row.rel;
        s->rows.push_back(std::move(row));
        return true;
    }
    if (!fs::is_directory(root, ec)) {
        *why = dir + " is not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        *why = "cannot read " + dir + ": " + ec.message();
        return false;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) {
            s->walkErrors.push_back(dir + ": " + ec.message());
            break;
        }
        std::error_code fe;
        if (!it->is_regular_file(fe) || isMemberName(it->path())) continue;
        SurveyRow row;
        row.path = it->path();
        row.dir = index;
        row.rel = it->path().lexically_relative(root).generic_string();
        row.shown = shownOf(it->path());
        s->rows.push_back(std::move(row));
    }
    return true;
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

bool runSurvey(const std::vector<std::string>& dirs, unsigned jobs, bool shared, bool keepLists,
               Survey* s, std::string* why) {
    s->time = surveyTime();
    s->dirs = dirs;
    std::vector<SurveyRow> all;
    for (size_t i = 0; i < dirs.size(); ++i) {
        if (!walk(dirs[i], i, dirs.size() > 1, s, why)) return false;
    }
    std::sort(s->rows.begin(), s->rows.end(), [](const SurveyRow& a, const SurveyRow& b) {
        return a.dir != b.dir ? a.dir < b.dir : a.shown < b.shown;
    });

    // Which files are Btrieve files is decided in the workers too: reading
    // every file's first sector is part of the survey's work.
    std::vector<char> btrieve(s->rows.size(), 0);
    runJobs(s->rows.size(), jobs, [&](size_t i) {
        if (!looksLikeBtrieve(s->rows[i].path)) return;
        btrieve[i] = 1;
        checkOne(s->rows[i], shared, keepLists);
    });
    for (size_t i = 0; i < s->rows.size(); ++i) {
        if (btrieve[i]) all.push_back(std::move(s->rows[i]));
    }
    s->rows = std::move(all);
    return true;
}

int surveyStatus(const Survey& s) {
    if (s.count(RowState::Failed) > 0 || !s.walkErrors.empty()) return kStatusFailed;
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
        }
    }
    t += strf("%-*s %-7s %9s %9s | %s | %s\n", width,
              strf("total: %zu files", s.rows.size()).c_str(), "", "", "",
              countersText(total).c_str(), severityText(all).c_str());
    const size_t checked = s.count(RowState::Checked);
    t += strf(
        "%zu checked (%zu with damage, %zu with findings on unused entries only), "
        "%zu pre-6.x, %zu not checked%s\n",
        checked, s.damaged(), s.unusedOnly(), s.count(RowState::PreSix), s.count(RowState::Failed),
        s.strict ? "; strict: every finding is damage" : "");
    for (const SurveyRow& r : s.rows) {
        if (r.damaged(s.strict)) t += "damage: " + displayName(r.shown) + "\n";
    }
    for (const std::string& e : s.walkErrors) t += "walk stopped: " + displayName(e) + "\n";
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
        f["error"] = r.state == RowState::Failed ? Json(r.error) : Json(nullptr);
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
    putCounters(tot, total);
    tot["findingCounts"] = severityJson(all);
    j["totals"] = tot;
    j["walkErrors"] = s.walkErrors;
    j["status"] = surveyStatus(s);
    return j;
}

int cmdSurvey(Context& cx, const SurveyArgs& a) {
    Survey s;
    s.strict = a.strict;
    std::string why;
    if (!runSurvey(a.dirs, a.jobs, cx.shared, false, &s, &why)) return fail(cx.out, why);
    int status = surveyStatus(s);
    const std::string format = cx.json ? "json" : a.format;
    std::string text;
    if (format == "json") {
        text = dumpJson(surveyJson(s)) + "\n";
    } else if (format == "prometheus") {
        text = surveyPrometheus(s);
    } else if (format == "nagios") {
        text = surveyNagios(s, &status);
    } else {
        text = surveyText(s);
    }
    if (a.output.empty()) {
        cx.out.write(Stream::Out, text);
    } else if (!writeAtomically(a.output, text, &why)) {
        fail(cx.out, why);
        return format == "nagios" ? kNagiosUnknown : kStatusFailed;
    }
    return status;
}

}  // namespace inspect
