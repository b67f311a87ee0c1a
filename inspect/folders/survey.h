// The survey of folders: every Btrieve file under them checked as the check
// does without a fix mask, with its findings by severity; and the forms the
// result is written in (text, JSON, Prometheus, Nagios, the HTML report).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fileio/platform.h"
#include "inspect/common/findings.h"
#include "inspect/common/json.h"
#include "inspect/common/session.h"

namespace inspect {

// Checked: the PAT checked. PreSix: a file before 6.x, without a PAT.
// Failed: not checked (the reason in `error`). Changing: the file changed
// during each of its checks, so it counts as not checked; its findings are
// those of the last check, and damage among them still counts.
// Skipped: left alone on purpose (the reason in `error`): a symbolic link,
// or another name of a file checked under its first name.
enum class RowState { Checked, PreSix, Failed, Changing, Skipped };

// A further look at each file the survey checks, from the survey's own open
// and walk of it: sinks that take the walk's stream beside the survey's, then
// the checked file, still open, once the walk is done. The report takes each
// file's FCR, page map and advice this way, without opening it again.
class FileLook {
  public:
    virtual ~FileLook() = default;
    virtual std::vector<tabulon::EventSink*> sinks(tabulon::CheckedFile& file) = 0;
    // `walked`: the findings of the walk alone. The look may close the
    // file and keep it (its header table outlives the close): the survey
    // does not use it afterwards. The survey's own handles stay open until
    // the file's checks are done.
    virtual void done(tabulon::CheckedFile& file, const std::string& path,
                      const FileFindings& walked) = 0;
};

struct SurveyRow {
    std::filesystem::path path;  // as opened: the folder as given joined with rel
    size_t dir = 0;     // index into Survey::dirs
    bool named = false;  // a file named itself, not found in a folder
    bool viaLink = false;  // reached through a symbolic link followed (--follow-links)
    std::string rel;    // relative to its folder (rowDir), with forward slashes
    std::string shown;  // relative to its folder (to the working folder with several
                        // folders), with forward slashes
    RowState state = RowState::Failed;
    uint16_t version = 0;
    uint32_t pages = 0;
    uint32_t lastPair = 0;  // the FCR's last-pair field
    FileFindings findings;
    std::string error;
    // What the set lacks against its FCR ("" for a whole set): a main file
    // without an extension file, or members shorter than the FCR's pages.
    // Such a set counts as damaged, whatever its findings.
    std::string incomplete;
    // The file's identity on its system, to check a file of several names
    // (hard links, folders named twice) once.
    tabulon::FileId id;
    bool identified = false;
    bool another = false;  // a name of a file checked under another name
    std::shared_ptr<FileLook> look;  // what the options' look kept of the file's last check

    // Whether the file counts as damaged: a file with damage, or with
    // `strict` any finding of a problem (for a changing file, at its last
    // check).
    bool damaged(bool strict) const {
        return (state == RowState::Checked || state == RowState::Changing) &&
               (findings.damage(strict) > 0 || !incomplete.empty());
    }
};

struct Survey;

// A folder the walk could not read (or a folder named that is none): the
// files under it are not in the survey.
struct WalkError {
    size_t dir = 0;      // index into Survey::dirs
    std::string path;    // the folder, relative to its named folder ("" for that one)
    std::string reason;  // the system's words
    std::string text(const Survey& s) const;  // "DIR/PATH: reason"
};

struct Survey {
    std::vector<std::string> dirs;
    std::vector<SurveyRow> rows;  // the Btrieve files, by path
    std::vector<WalkError> walkErrors;
    // The Btrieve files found under each folder named (by index into dirs):
    // every row but the skipped ones (links, other names of a file). A folder
    // named twice, or inside another named folder, counts the files under it
    // though they were walked once, under the first.
    std::vector<size_t> folderFiles;
    // --expect: the least number of Btrieve files each folder named should
    // hold; 0 for no expectation.
    unsigned expect = 0;
    int64_t time = 0;  // when the survey began, seconds since 1970 (SOURCE_DATE_EPOCH if set)
    double seconds = 0;  // how long the survey took
    bool strict = false;

    size_t count(RowState s) const;
    size_t damaged() const;
    // Files with findings of unused entries and no damage.
    size_t unusedOnly() const;
    // Whether every folder was read and every Btrieve file found checked
    // (a changing file is not).
    bool complete() const;
    // The folder a row's rel is relative to: the folder named as given, or
    // for a file named itself the folder in its name ("." for none).
    std::string rowDir(const SurveyRow& r) const;
    // Whether folder `dir` holds fewer Btrieve files than expected.
    bool belowExpected(size_t dir) const {
        return dir < folderFiles.size() && folderFiles[dir] < expect;
    }
    // Folders that hold fewer Btrieve files than expected.
    size_t foldersBelowExpected() const;
    // "DIR holds no Btrieve file, expected at least 1" for a folder below
    // what is expected.
    std::string belowExpectedText(size_t dir) const;
};

class ProgressLine;

struct SurveyOptions {
    std::vector<std::string> dirs;
    unsigned jobs = 1;
    bool shared = false;     // --shared: the engine may write the files meanwhile
    // --follow-links: a symbolic link to a file in a folder the survey walks
    // is followed (its target checked once, under its first name); any other
    // link stays skipped.
    bool followLinks = false;
    bool keepLists = false;  // keep each finding, for the report
    // Makes the further look at each file, when given.
    std::function<std::unique_ptr<FileLook>()> look;
    bool strict = false;
    unsigned expect = 0;  // --expect: the least number of Btrieve files per folder
    ProgressLine* progress = nullptr;  // where the work is shown, if anywhere
    // Called after each file's single open, with the system's handle, before
    // anything is read from it: where tests swap names between the open and
    // the reads.
    std::function<void(const std::string& path)> afterOpen;
    // The waits before each check again of a file that changed while it was
    // checked, in milliseconds: 50, 200 and 800 ms, so a file is checked at
    // most four times.
    std::vector<unsigned> backoffMs = {50, 200, 800};
    // Called after each check of a file (pass 0, then 1, 2, ... for the
    // checks again of a file that changed): the place where tests change a
    // file while it is surveyed.
    std::function<void(const std::string& path, int pass)> afterCheck;
};

// Walks the folders and checks every Btrieve file found on `jobs` threads.
// A folder that cannot be read (one named included) is kept in walkErrors and
// the walk goes on with the others; a file that changes while it is checked
// is checked once more.
void runSurvey(const SurveyOptions& options, Survey* survey);

// The exit status: 2 when the survey is incomplete, else 1 when a file has
// damage or a folder holds fewer Btrieve files than expected, else 0.
int surveyStatus(const Survey& s);

std::string surveyText(const Survey& s);
// The survey's story for a log, whatever the format: a line for each folder
// not read or below its expected files, each file damaged, not checked or
// changing, and one summary line with the figures and the duration
// ("duration=0.012s"), each line begun with `prefix`.
std::string surveyLog(const Survey& s, const std::string& prefix);
Json surveyJson(const Survey& s);
// `lastSuccess`: when the last complete survey began, carried over from the
// file the metrics replace when this one is incomplete (0: unknown).
std::string surveyPrometheus(const Survey& s, int64_t lastSuccess = 0);
// A name as a Prometheus label value: its text (the escaping of the text
// forms), escaped for the exposition. A text longer than kLabelBytes keeps
// its first whole characters and escapes up to kLabelKeptBytes, then the
// marker \~ and the 16 hex digits of the FNV-1a 64-bit hash of the whole
// name: no text holds \~ (each of its backslashes begins an escape), so a
// cut value is never the value of a name, and two cut names differ but for
// a collision of the hash.
constexpr size_t kLabelBytes = 256, kLabelKeptBytes = 236;
std::string prometheusLabel(std::string_view name);
// The last-success time in an exposition written before, or 0.
int64_t lastSuccessIn(const std::string& exposition);
// The Nagios plugin line; *status receives the plugin's exit status.
std::string surveyNagios(const Survey& s, int* status);
// The report states the version that made it and `command`, the command
// line.
std::string surveyReport(tabulon::Platform& platform, const Survey& s, bool shared,
                         const std::string& command);

constexpr int kNagiosUnknown = 3;

// The FCR figures the report shows of a file.
std::string versionHex(uint16_t v);  // "0x0800"

}  // namespace inspect
