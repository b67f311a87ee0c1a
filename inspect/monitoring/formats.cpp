// The survey for monitoring systems: the Prometheus text exposition format
// (for node_exporter's textfile collector) and the Nagios plugin line.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/common/names.h"
#include "inspect/folders/survey.h"

using namespace tabulon;

namespace inspect {

namespace {

struct Family {
    std::string& out;
    Family(std::string& o, const char* name, const char* help) : out(o) {
        out += strf("# HELP tabulon_%s %s\n# TYPE tabulon_%s gauge\n", name, help, name);
    }
};

// The bytes of a character or an escape of a name's text at `at`: every
// backslash there begins an escape (\\, \xNN, \uNNNN).
size_t tokenLength(const std::string& text, size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    size_t n = 1;
    if (c == '\\' && at + 1 < text.size()) {
        n = text[at + 1] == 'x' ? 4 : text[at + 1] == 'u' ? 6 : 2;
    } else if (c >= 0xF0) {
        n = 4;
    } else if (c >= 0xE0) {
        n = 3;
    } else if (c >= 0xC0) {
        n = 2;
    }
    return std::min(n, text.size() - at);
}

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string fileLabels(const Survey& s, const SurveyRow& r) {
    return "dir=\"" + prometheusLabel(s.rowDir(r)) + "\",path=\"" + prometheusLabel(r.rel) + "\"";
}

}  // namespace

std::string prometheusLabel(std::string_view name) {
    std::string text = displayName(name);
    if (text.size() > kLabelBytes) {
        size_t at = 0;
        while (at < text.size() && at + tokenLength(text, at) <= kLabelKeptBytes) {
            at += tokenLength(text, at);
        }
        text = text.substr(0, at) + "\\~" + hex(fnv1a64(name), 16).substr(2);
    }
    std::string r;
    for (char c : text) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
    }
    return r;
}

int64_t lastSuccessIn(const std::string& exposition) {
    const std::string key = "\ntabulon_survey_last_success_timestamp_seconds ";
    const size_t at = exposition.find(key);
    if (at == std::string::npos) return 0;
    return std::strtoll(exposition.c_str() + at + key.size(), nullptr, 10);
}

namespace {

void surveyFamilies(std::string& t, const Survey& s, int64_t lastSuccess) {
    Family(t, "survey_timestamp_seconds", "When the survey began, in seconds since 1970.");
    t += strf("tabulon_survey_timestamp_seconds %lld\n", (long long)s.time);
    Family(t, "survey_last_run_timestamp_seconds",
           "When the last survey began, complete or not, in seconds since 1970.");
    t += strf("tabulon_survey_last_run_timestamp_seconds %lld\n", (long long)s.time);
    if (lastSuccess > 0) {
        Family(t, "survey_last_success_timestamp_seconds",
               "When the last complete survey began, in seconds since 1970.");
        t += strf("tabulon_survey_last_success_timestamp_seconds %lld\n", (long long)lastSuccess);
    }
    Family(t, "survey_complete",
           "1 when every folder was read and every Btrieve file found was checked, 0 when not.");
    t += strf("tabulon_survey_complete %d\n", s.complete() ? 1 : 0);
    Family(t, "survey_files", "Btrieve files the survey found, by what it could do with them.");
    t += strf("tabulon_survey_files{state=\"checked\"} %zu\n", s.count(RowState::Checked));
    t += strf("tabulon_survey_files{state=\"pre6x\"} %zu\n", s.count(RowState::PreSix));
    t += strf("tabulon_survey_files{state=\"not_checked\"} %zu\n", s.count(RowState::Failed));
    t += strf("tabulon_survey_files{state=\"changing\"} %zu\n", s.count(RowState::Changing));
    t += strf("tabulon_survey_files{state=\"skipped\"} %zu\n", s.count(RowState::Skipped));
    Family(t, "survey_damaged_files", "Files with damage.");
    t += strf("tabulon_survey_damaged_files %zu\n", s.damaged());
    Family(t, "survey_folder_files",
           "Btrieve files found under each folder named (0 when none: an empty folder, or one "
           "that could not be read).");
    std::set<std::string> seen;
    for (size_t i = 0; i < s.dirs.size(); ++i) {
        const std::string labels = "dir=\"" + prometheusLabel(s.dirs[i]) + "\"";
        if (!seen.insert(labels).second) continue;  // a folder named twice
        t += "tabulon_survey_folder_files{" + labels + "} " +
             std::to_string(i < s.folderFiles.size() ? s.folderFiles[i] : 0) + "\n";
    }
    if (s.expect > 0) {
        Family(t, "survey_folder_expected_files",
               "The least number of Btrieve files each folder named should hold (--expect).");
        seen.clear();
        for (size_t i = 0; i < s.dirs.size(); ++i) {
            const std::string labels = "dir=\"" + prometheusLabel(s.dirs[i]) + "\"";
            if (!seen.insert(labels).second) continue;
            t += "tabulon_survey_folder_expected_files{" + labels + "} " +
                 std::to_string(s.expect) + "\n";
        }
    }
    Family(t, "survey_folder_unreadable",
           "1 for each folder the survey could not read (the files under it are not counted).");
    seen.clear();
    for (const WalkError& e : s.walkErrors) {
        const std::string labels =
            "dir=\"" + prometheusLabel(s.dirs[e.dir]) + "\",path=\"" + prometheusLabel(e.path) + "\"";
        if (seen.insert(labels).second) t += "tabulon_survey_folder_unreadable{" + labels + "} 1\n";
    }
}

}  // namespace

std::string surveyPrometheus(const Survey& s, int64_t lastSuccess) {
    std::string t;
    surveyFamilies(t, s, lastSuccess);
    // Each file's labels, once: a name reached twice as the same dir and
    // path (a file named twice) has its series once, from its first row.
    std::vector<std::string> labels(s.rows.size());
    std::vector<bool> once(s.rows.size());
    std::set<std::string> seen;
    for (size_t i = 0; i < s.rows.size(); ++i) {
        labels[i] = fileLabels(s, s.rows[i]);
        once[i] = seen.insert(labels[i]).second;
    }
    auto each = [&](auto&& f) {
        for (size_t i = 0; i < s.rows.size(); ++i) {
            if (once[i]) f(s.rows[i], labels[i]);
        }
    };
    Family(t, "file_checked",
           "1 when the file could be opened and read (a pre-6.x file has no PAT to check), 0 when "
           "not.");
    each([&](const SurveyRow& r, const std::string& l) {
        const bool read = r.state == RowState::Checked || r.state == RowState::PreSix;
        t += "tabulon_file_checked{" + l + "} " + (read ? "1" : "0") + "\n";
    });
    Family(t, "file_damaged",
           "1 when the file has damage (a changing file: at its last check), 0 when not.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state != RowState::Checked && r.state != RowState::Changing) return;
        t += "tabulon_file_damaged{" + l + "} " + (r.damaged(s.strict) ? "1" : "0") + "\n";
    });
    Family(t, "file_incomplete",
           "1 when the set lacks what its FCR names (an extension file, or pages): damage.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state != RowState::Checked && r.state != RowState::Changing) return;
        t += "tabulon_file_incomplete{" + l + "} " + (r.incomplete.empty() ? "0" : "1") + "\n";
    });
    Family(t, "file_changing",
           "1 when the file changed during each of its checks (not checked), 0 when not.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state == RowState::Skipped) return;
        t += "tabulon_file_changing{" + l + "} " + (r.state == RowState::Changing ? "1" : "0") +
             "\n";
    });
    Family(t, "file_findings", "Findings of the check, by severity and counter class.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state != RowState::Checked) return;
        for (int v = 0; v < kSeverities; ++v) {
            for (int c = 0; c < kClasses; ++c) {
                t += strf("tabulon_file_findings{%s,severity=\"%s\",class=\"%s\"} %llu\n",
                          l.c_str(), severityName(v), className(c),
                          (unsigned long long)r.findings.count[c][v]);
            }
        }
    });
    Family(t, "file_pages_examined", "Pages the check examined, by counter class.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state != RowState::Checked) return;
        const ScanCounters& c = r.findings.counters;
        const uint32_t n[kClasses] = {c.patPagesExamined, c.dataPagesExamined, c.indexPagesExamined,
                                      c.otherPagesExamined};
        for (int k = 0; k < kClasses; ++k) {
            t += strf("tabulon_file_pages_examined{%s,class=\"%s\"} %lu\n", l.c_str(),
                      className(k), (unsigned long)n[k]);
        }
    });
    Family(t, "file_pages", "Pages the FCR counts.");
    each([&](const SurveyRow& r, const std::string& l) {
        if (r.state != RowState::Checked && r.state != RowState::PreSix) return;
        t += "tabulon_file_pages{" + l + "} " + std::to_string(r.pages) + "\n";
    });
    return t;
}

namespace {

// Plugin output may not hold '|' (it starts the performance data) nor a
// line break; names are written as the text forms write them, and a '|' as
// the escape of its byte, which no other name prints as.
std::string pluginText(const std::string& s) {
    std::string r;
    for (char c : displayName(s)) r += c == '|' ? std::string("\\x7c") : std::string(1, c);
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

namespace {

std::string nagiosState(const Survey& s, int* status) {
    const bool incomplete = !s.complete();
    if (s.damaged() > 0 || s.foldersBelowExpected() > 0 || (s.strict && incomplete)) {
        *status = 2;
        return "CRITICAL";
    }
    if (incomplete) {
        *status = kNagiosUnknown;
        return "UNKNOWN";
    }
    *status = s.rows.empty() ? 1 : 0;
    return s.rows.empty() ? "WARNING" : "OK";
}

std::string nagiosSummary(const Survey& s) {
    const size_t checked = s.count(RowState::Checked), failed = s.count(RowState::Failed);
    const size_t damaged = s.damaged();
    std::string summary;
    if (damaged > 0) {
        summary +=
            strf("%zu of %zu files with damage: ", damaged, checked) +
            listOf(s, [](const Survey& v, const SurveyRow& r) { return r.damaged(v.strict); });
    }
    if (!s.walkErrors.empty()) {
        if (!summary.empty()) summary += "; ";
        summary += strf("%zu folders not read: ", s.walkErrors.size()) +
                   pluginText(s.walkErrors[0].text(s));
        if (s.walkErrors.size() > 1) summary += strf(" and %zu more", s.walkErrors.size() - 1);
    }
    if (s.foldersBelowExpected() > 0) {
        if (!summary.empty()) summary += "; ";
        size_t n = 0;
        for (size_t i = 0; i < s.dirs.size(); ++i) {
            if (!s.belowExpected(i)) continue;
            if (n++ == 0) summary += pluginText(s.belowExpectedText(i));
        }
        if (n > 1) summary += strf(" and %zu more folders below expected", n - 1);
    }
    if (failed > 0) {
        if (!summary.empty()) summary += "; ";
        summary += strf("%zu files not checked: ", failed) +
                   listOf(s, [](const Survey&, const SurveyRow& r) {
                       return r.state == RowState::Failed;
                   });
    }
    if (summary.empty()) {
        summary = s.rows.empty() ? std::string("no Btrieve file found")
                                 : strf("%zu files checked, no damage", checked);
        if (s.unusedOnly() > 0) {
            summary += strf(" (%zu with findings on unused entries only)", s.unusedOnly());
        }
    }
    if (s.count(RowState::Changing) > 0) {
        summary += strf("; %zu changing while checked", s.count(RowState::Changing));
    }
    if (s.count(RowState::Skipped) > 0) {
        summary += strf("; %zu skipped", s.count(RowState::Skipped));
    }
    return summary;
}

}  // namespace

std::string surveyNagios(const Survey& s, int* status) {
    const std::string state = nagiosState(s, status);
    uint64_t bySeverity[kSeverities] = {};
    for (const SurveyRow& r : s.rows) {
        for (int v = 0; v < kSeverities; ++v) bySeverity[v] += r.findings.bySeverity(v);
    }
    // The critical thresholds say what the status says: a damaged file (and,
    // with --strict, a file not checked) is critical, "0" meaning above 0.
    std::string perf = strf("files=%zu;;;0 checked=%zu;;;0 damaged=%zu;;0;0 not_checked=%zu;;%s;0",
                            s.rows.size(), s.count(RowState::Checked), s.damaged(),
                            s.count(RowState::Failed), s.strict ? "0" : "");
    perf += strf(" folders_not_read=%zu;;%s;0 changing=%zu;;;0 skipped=%zu;;;0",
                 s.walkErrors.size(), s.strict ? "0" : "", s.count(RowState::Changing),
                 s.count(RowState::Skipped));
    if (s.expect > 0) {
        perf += strf(" folders_below_expected=%zu;;0;0", s.foldersBelowExpected());
    }
    perf += strf(" damage=%llu;;;0 unused_entry=%llu;;;0 info=%llu;;;0",
                 (unsigned long long)bySeverity[Damage],
                 (unsigned long long)bySeverity[UnusedEntry], (unsigned long long)bySeverity[Info]);
    return "TABULON " + state + " - " + nagiosSummary(s) + " | " + perf + "\n";
}

}  // namespace inspect
