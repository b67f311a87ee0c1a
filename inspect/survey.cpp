// survey: every Btrieve file under a folder, checked by the engine as the
// tabulon program checks it without a fix mask, several files at a time.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "inspect/json.h"
#include "inspect/session.h"
#include "inspect/workers.h"

using namespace tabulon;

namespace inspect {

namespace {

namespace fs = std::filesystem;

enum class RowState { Checked, PreSix, Failed };

struct Row {
    fs::path path;
    std::string shown;  // relative to the folder, with forward slashes
    RowState state = RowState::Failed;
    uint16_t version = 0;
    uint32_t pages = 0;
    uint32_t pairs = 0;
    ScanCounters counters;
    tabulon::SeverityCounts severities;  // findings per severity
    std::string error;
};

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

void checkOne(Row& row, bool shared) {
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
    row.pairs = file.lastPatPair();
    {
        Scanner scanner(file, quietOptions(shared));
        scanner.scanPatPairs();
        row.counters = scanner.counters();
        row.severities = scanner.severities();
    }
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

std::string countersText(const ScanCounters& c, const tabulon::SeverityCounts& s) {
    using tabulon::Severity;
    return strf("%5lu %8lu %7lu %7lu %8lu | %4lu %6lu %6lu %6lu %5lu %6lu | %6lu %6lu %5lu",
                (unsigned long)c.patPagesExamined, (unsigned long)c.dataPagesExamined,
                (unsigned long)c.indexPagesExamined, (unsigned long)c.otherPagesExamined,
                (unsigned long)c.totalPagesExamined, (unsigned long)c.patProblems,
                (unsigned long)c.dataProblems, (unsigned long)c.indexProblems,
                (unsigned long)c.otherProblems, (unsigned long)c.zeroPointerProblems,
                (unsigned long)c.totalProblems, (unsigned long)s.of(Severity::Damage),
                (unsigned long)s.of(Severity::UnusedEntry), (unsigned long)s.of(Severity::Info));
}

// The regular files under dir that are no extension or delta files, in path
// order; false when dir cannot be read at all.
bool findFiles(const std::string& dir, std::vector<Row>& rows, std::vector<std::string>& walkErrors,
               std::error_code& ec) {
    const fs::path root(dir);
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) return false;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) {
            walkErrors.push_back(ec.message());
            break;
        }
        std::error_code fe;
        if (!it->is_regular_file(fe) || isMemberName(it->path())) continue;
        Row row;
        row.path = it->path();
        row.shown = it->path().lexically_relative(root).generic_string();
        rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return a.shown < b.shown; });
    return true;
}

}  // namespace

int cmdSurvey(Context& cx, const std::string& dir, unsigned jobs) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail(cx.out, dir + " is not a folder");

    std::vector<Row> rows;
    std::vector<std::string> walkErrors;
    if (!findFiles(dir, rows, walkErrors, ec)) {
        return fail(cx.out, "cannot read " + dir + ": " + ec.message());
    }

    // Which files are Btrieve files is decided in the workers too: reading
    // every file's first sector is part of the survey's work.
    std::vector<char> btrieve(rows.size(), 0);
    runJobs(rows.size(), jobs, [&](size_t i) {
        if (!looksLikeBtrieve(rows[i].path)) return;
        btrieve[i] = 1;
        checkOne(rows[i], cx.shared);
    });

    Json files = Json::array();
    std::string t = strf("%-40s %-7s %9s %6s | %-40s | %-40s | %s\n", "", "", "", "",
                         "pages examined", "problems found", "findings");
    t += strf("%-40s %-7s %9s %6s | %5s %8s %7s %7s %8s | %4s %6s %6s %6s %5s %6s | %6s %6s %5s\n",
              "file", "version", "pages", "pairs", "pat", "data", "index", "other", "total", "pat",
              "data", "index", "other", "zero", "total", "damage", "unused", "info");
    ScanCounters total;
    tabulon::SeverityCounts totalSeverities;
    size_t checked = 0, failed = 0, preSix = 0, withProblems = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!btrieve[i]) continue;
        const Row& r = rows[i];
        Json f;
        f["path"] = r.shown;
        f["version"] = r.state == RowState::Failed ? Json(nullptr) : Json(r.version);
        f["pages"] = r.state == RowState::Failed ? Json(nullptr) : Json(r.pages);
        f["pairs"] = r.state == RowState::Checked ? Json(r.pairs) : Json(nullptr);
        std::string name =
            r.shown.size() > 40 ? "..." + r.shown.substr(r.shown.size() - 37) : r.shown;
        switch (r.state) {
            case RowState::Checked: {
                putCounters(f, r.counters);
                f["severities"] = severitiesJson(r.severities);
                f["error"] = nullptr;
                add(total, r.counters);
                totalSeverities += r.severities;
                ++checked;
                if (r.counters.totalProblems > 0) ++withProblems;
                t += strf("%-40s %-7s %9lu %6lu | %s\n", name.c_str(), hex(r.version, 4).c_str(),
                          (unsigned long)r.pages, (unsigned long)r.pairs,
                          countersText(r.counters, r.severities).c_str());
                break;
            }
            case RowState::PreSix:
                f["examined"] = nullptr;
                f["problems"] = nullptr;
                f["severities"] = nullptr;
                f["error"] = nullptr;
                f["note"] = "pre-6.x file: no PAT";
                ++preSix;
                t += strf("%-40s %-7s %9lu %6s | pre-6.x file: no PAT to check\n", name.c_str(),
                          hex(r.version, 4).c_str(), (unsigned long)r.pages, "-");
                break;
            case RowState::Failed:
                f["examined"] = nullptr;
                f["problems"] = nullptr;
                f["severities"] = nullptr;
                f["error"] = r.error;
                ++failed;
                t += strf("%-40s %-7s %9s %6s | not checked: %s\n", name.c_str(), "-", "-", "-",
                          r.error.c_str());
                break;
        }
        files.push_back(f);
    }
    t += strf("%-40s %-7s %9s %6s | %s\n",
              strf("total: %zu files", checked + preSix + failed).c_str(), "", "", "",
              countersText(total, totalSeverities).c_str());
    t += strf("%zu checked (%zu with problems), %zu pre-6.x, %zu not checked\n", checked,
              withProblems, preSix, failed);
    for (const std::string& e : walkErrors) t += "walk stopped: " + e + "\n";

    Json j;
    j["dir"] = dir;
    j["files"] = files;
    Json tot;
    tot["files"] = checked + preSix + failed;
    tot["checked"] = checked;
    tot["withProblems"] = withProblems;
    tot["preSix"] = preSix;
    tot["notChecked"] = failed;
    putCounters(tot, total);
    tot["severities"] = severitiesJson(totalSeverities);
    j["total"] = tot;
    cx.out.write(Stream::Out, cx.json ? j.dump(2) + "\n" : t);
    if (failed > 0 || !walkErrors.empty()) return kStatusFailed;
    return withProblems > 0 ? 1 : 0;
}

}  // namespace inspect
