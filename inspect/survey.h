// The survey of folders: every Btrieve file under them checked as the check
// does without a fix mask, with its findings by severity; and the forms the
// result is written in (text, JSON, Prometheus, Nagios, the HTML report).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "inspect/findings.h"
#include "inspect/json.h"
#include "inspect/session.h"

namespace inspect {

enum class RowState { Checked, PreSix, Failed };

struct SurveyRow {
    std::filesystem::path path;
    size_t dir = 0;     // index into Survey::dirs
    std::string rel;    // relative to its folder, with forward slashes
    std::string shown;  // relative to its folder (to the working folder with several
                        // folders), with forward slashes
    RowState state = RowState::Failed;
    uint16_t version = 0;
    uint32_t pages = 0;
    uint32_t lastPair = 0;  // the FCR's last-pair field
    FileFindings findings;
    std::string error;

    // Whether the file counts as damaged: a file with damage, or with
    // `strict` any finding of a problem.
    bool damaged(bool strict) const {
        return state == RowState::Checked && findings.damage(strict) > 0;
    }
};

struct Survey {
    std::vector<std::string> dirs;
    std::vector<SurveyRow> rows;  // the Btrieve files, by path
    std::vector<std::string> walkErrors;
    int64_t time = 0;  // when the survey began, seconds since 1970 (SOURCE_DATE_EPOCH if set)
    bool strict = false;

    size_t count(RowState s) const;
    size_t damaged() const;
    // Files with findings of unused entries and no damage.
    size_t unusedOnly() const;
};

// Walks the folders and checks every Btrieve file on `jobs` threads;
// `keepLists` keeps each finding for the report. On a folder that cannot
// be read returns false with the reason in *why.
bool runSurvey(const std::vector<std::string>& dirs, unsigned jobs, bool shared, bool keepLists,
               Survey* survey, std::string* why);

// The exit status: 2 when a file could not be checked (or the walk
// stopped), else 1 when a file has damage, else 0.
int surveyStatus(const Survey& s);

std::string surveyText(const Survey& s);
Json surveyJson(const Survey& s);
std::string surveyPrometheus(const Survey& s);
// The Nagios plugin line; *status receives the plugin's exit status.
std::string surveyNagios(const Survey& s, int* status);
// The report states the version that made it and `command`, the command
// line.
std::string surveyReport(const Survey& s, bool shared, const std::string& command);

constexpr int kNagiosUnknown = 3;

// Writes text to a temporary file in the folder of `path`, then renames it
// to `path`: a reader sees the old file or the whole new one.
bool writeAtomically(const std::string& path, const std::string& text, std::string* why);

// The FCR figures the report shows of a file.
std::string versionHex(uint16_t v);  // "0x0800"

}  // namespace inspect
