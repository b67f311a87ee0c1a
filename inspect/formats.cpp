// The survey for monitoring systems: the Prometheus text exposition format
// (for node_exporter's textfile collector) and the Nagios plugin line; and
// the atomic write of an output file.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "inspect/names.h"
#include "inspect/survey.h"

using namespace tabulon;

namespace inspect {

namespace {

struct Family {
    std::string& out;
    Family(std::string& o, const char* name, const char* help) : out(o) {
        out += strf("# HELP tabulon_%s %s\n# TYPE tabulon_%s gauge\n", name, help, name);
    }
};

std::string fileLabels(const Survey& s, const SurveyRow& r) {
    return "dir=\"" + labelValue(s.dirs[r.dir]) + "\",path=\"" + labelValue(r.rel) + "\"";
}

}  // namespace

std::string surveyPrometheus(const Survey& s) {
    std::string t;
    Family(t, "survey_timestamp_seconds", "When the survey began, in seconds since 1970.");
    t += strf("tabulon_survey_timestamp_seconds %lld\n", (long long)s.time);
    Family(t, "survey_files", "Btrieve files the survey found, by what it could do with them.");
    t += strf("tabulon_survey_files{state=\"checked\"} %zu\n", s.count(RowState::Checked));
    t += strf("tabulon_survey_files{state=\"pre6x\"} %zu\n", s.count(RowState::PreSix));
    t += strf("tabulon_survey_files{state=\"not_checked\"} %zu\n", s.count(RowState::Failed));
    Family(t, "survey_damaged_files", "Files with damage.");
    t += strf("tabulon_survey_damaged_files %zu\n", s.damaged());
    Family(t, "survey_complete", "1 when the walk over the folders reached every file.");
    t += strf("tabulon_survey_complete %d\n", s.walkErrors.empty() ? 1 : 0);

    Family(t, "file_checked",
           "1 when the file could be opened and read (a pre-6.x file has no PAT to check), 0 when "
           "not.");
    for (const SurveyRow& r : s.rows) {
        t += "tabulon_file_checked{" + fileLabels(s, r) + "} " +
             (r.state == RowState::Failed ? "0" : "1") + "\n";
    }
    Family(t, "file_damaged", "1 when the file has damage.");
    for (const SurveyRow& r : s.rows) {
        if (r.state != RowState::Checked) continue;
        t += "tabulon_file_damaged{" + fileLabels(s, r) + "} " + (r.damaged(s.strict) ? "1" : "0") +
             "\n";
    }
    Family(t, "file_findings", "Findings of the check, by severity and counter class.");
    for (const SurveyRow& r : s.rows) {
        if (r.state != RowState::Checked) continue;
        for (int v = 0; v < kSeverities; ++v) {
            for (int c = 0; c < kClasses; ++c) {
                t += strf("tabulon_file_findings{%s,severity=\"%s\",class=\"%s\"} %llu\n",
                          fileLabels(s, r).c_str(), severityName(v), className(c),
                          (unsigned long long)r.findings.count[c][v]);
            }
        }
    }
    Family(t, "file_pages_examined", "Pages the check examined, by counter class.");
    for (const SurveyRow& r : s.rows) {
        if (r.state != RowState::Checked) continue;
        const ScanCounters& c = r.findings.counters;
        const uint32_t n[kClasses] = {c.patPagesExamined, c.dataPagesExamined, c.indexPagesExamined,
                                      c.otherPagesExamined};
        for (int k = 0; k < kClasses; ++k) {
            t += strf("tabulon_file_pages_examined{%s,class=\"%s\"} %lu\n",
                      fileLabels(s, r).c_str(), className(k), (unsigned long)n[k]);
        }
    }
    Family(t, "file_pages", "Pages the FCR counts.");
    for (const SurveyRow& r : s.rows) {
        if (r.state == RowState::Failed) continue;
        t += "tabulon_file_pages{" + fileLabels(s, r) + "} " + std::to_string(r.pages) + "\n";
    }
    return t;
}

namespace {

// Plugin output may not hold '|' (it starts the performance data) nor a
// line break; names are written as the text forms write them.
std::string pluginText(const std::string& s) {
    std::string r = displayName(s);
    for (char& c : r) c = c == '|' ? '?' : c;
    return r;
}

std::string listOf(const Survey& s, bool (*pick)(const Survey&, const SurveyRow&)) {
    std::string names;
    size_t n = 0, shown = 0;
    for (const SurveyRow& r : s.rows) {
        if (!pick(s, r)) continue;
        if (++n > 5) continue;
        names += (shown++ ? ", " : "") + pluginText(r.shown);
    }
    if (n > 5) names += strf(" and %zu more", n - 5);
    return names;
}

}  // namespace

std::string surveyNagios(const Survey& s, int* status) {
    const size_t checked = s.count(RowState::Checked), failed = s.count(RowState::Failed);
    const size_t damaged = s.damaged();
    uint64_t bySeverity[kSeverities] = {};
    for (const SurveyRow& r : s.rows) {
        for (int v = 0; v < kSeverities; ++v) bySeverity[v] += r.findings.bySeverity(v);
    }
    const bool incomplete = failed > 0 || !s.walkErrors.empty();
    std::string state, summary;
    if (damaged > 0 || (s.strict && incomplete)) {
        *status = 2;
        state = "CRITICAL";
    } else if (incomplete) {
        *status = kNagiosUnknown;
        state = "UNKNOWN";
    } else if (s.rows.empty()) {
        *status = 1;
        state = "WARNING";
    } else {
        *status = 0;
        state = "OK";
    }
    if (damaged > 0) {
        summary +=
            strf("%zu of %zu files with damage: ", damaged, checked) +
            listOf(s, [](const Survey& v, const SurveyRow& r) { return r.damaged(v.strict); });
    }
    if (incomplete) {
        if (!summary.empty()) summary += "; ";
        summary += strf("%zu files not checked", failed);
        if (failed > 0) {
            summary += ": " + listOf(s, [](const Survey&, const SurveyRow& r) {
                           return r.state == RowState::Failed;
                       });
        }
        if (!s.walkErrors.empty()) summary += "; the walk stopped: " + pluginText(s.walkErrors[0]);
    }
    if (summary.empty()) {
        summary = s.rows.empty() ? std::string("no Btrieve file found")
                                 : strf("%zu files checked, no damage", checked);
        if (s.unusedOnly() > 0) {
            summary += strf(" (%zu with findings on unused entries only)", s.unusedOnly());
        }
    }
    std::string perf = strf("files=%zu;;;0 checked=%zu;;;0 damaged=%zu;;1;0 not_checked=%zu;;;0",
                            s.rows.size(), checked, damaged, failed);
    perf += strf(" damage=%llu;;;0 unused_entry=%llu;;;0 info=%llu;;;0",
                 (unsigned long long)bySeverity[Damage],
                 (unsigned long long)bySeverity[UnusedEntry], (unsigned long long)bySeverity[Info]);
    return "TABULON " + state + " - " + summary + " | " + perf + "\n";
}

bool writeAtomically(const std::string& path, const std::string& text, std::string* why) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    std::random_device random;
    std::string name = ".";
    name += target.filename().string();
    name += strf(".%08x.tmp", unsigned(random()));
    const fs::path temp = target.parent_path() / name;
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        f.write(text.data(), std::streamsize(text.size()));
        f.close();
        if (!f) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            *why = "cannot write " + path;
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        *why = "cannot write " + path + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace inspect
