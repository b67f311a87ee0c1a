// What the inspector's commands share: the open of a file set with its
// library lines kept aside, the findings of the engine in the inspector's
// words, and small text helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "check/checked.h"
#include "fileio/output.h"
#include "inspect/common/json.h"

namespace inspect {

constexpr int kStatusFailed = 2;

struct Context {
    tabulon::Output& out;
    tabulon::Platform& platform;  // every OS call of the commands
    bool json = false;
    bool shared = false;
    std::string command;  // the command line, as the report states it
    tabulon::EventSink quiet;  // the library's lines of the files the commands open
};

// printf into a string.
std::string strf(const char* format, ...) TABULON_PRINTF(1, 2);

// Prints "tabulon-inspect: <line>" on standard error; returns status 2.
int fail(tabulon::Output& out, const std::string& line);

// Writes an output file (-o) through a temporary file and a rename
// (tabulon::replaceFile): a reader sees the old file or the whole new one,
// and only a regular file is replaced. On failure nothing changed and *why
// holds "cannot write PATH: " and the reason, the system's where it gave one.
bool writeAtomically(const std::string& path, const std::string& text, std::string* why);

// One line for a failed open: "cannot open NAME: TEXT (system error N)",
// "PATH is not a Btrieve file", or that the path is too long.
std::string openFailure(const std::string& path, const tabulon::Status& s);

// Opens the set at `path` for a look: as the check opens it without a fix
// mask (ExclusiveRead), or as /U does (Unprotected). The library's own lines
// (FCR warnings) go to `quiet`, which must outlive the file; what went wrong
// comes back as one clear line in *why. With `eitherFcrCopy`, a file whose
// first FCR copy is damaged is read from its second, where the check reads
// the first only.
std::optional<tabulon::CheckedFile> openForLook(tabulon::Platform& platform,
                                                const std::string& path, bool shared,
                                                tabulon::NoticeSink& quiet, std::string* why,
                                                bool eitherFcrCopy = false);

// Opens for a command; on failure, or a file before 6.x where `needPat`,
// prints the line and returns none.
std::optional<tabulon::CheckedFile> openForCommand(Context& cx, const std::string& path,
                                                   bool needPat, bool eitherFcrCopy = false);

// ScanOptions of a check without a fix mask and without progress lines.
tabulon::ScanOptions quietOptions(bool shared);

// The problems of an entry as the inspector shows them: the labels of its
// findings with their severities ("points at another page [damage]"), or
// "sound" or "free".
std::string entryVerdict(const tabulon::EntryCheck& e);
// [{"code": ..., "severity": ...}] of a list of findings.
Json problemsJson(const tabulon::Finding* findings, int count);

std::string hex(uint64_t v, int digits);
std::string versionText(uint16_t folded);  // "8.00", "9.50"

// page on an FCR copy or a PAT copy: decodes it into j and t; false for any
// other page.
bool describeTablePage(tabulon::CheckedFile& file, uint64_t offset, nlohmann::ordered_json* j,
                       std::string* t);

// Commands.
int cmdInfo(Context& cx, const std::string& path);
int cmdPairs(Context& cx, const std::string& path);
int cmdEntries(Context& cx, const std::string& path, std::optional<uint32_t> pair, bool problems);
int cmdPage(Context& cx, const std::string& path, const std::string& page);
int cmdMap(Context& cx, const std::string& path, const std::string& outPath);
struct SurveyArgs {
    std::vector<std::string> dirs;
    unsigned jobs = 1;
    bool strict = false;
    unsigned expect = 0;          // --expect: the least number of Btrieve files per folder
    bool followLinks = false;     // --follow-links: links to files inside the folders
    std::string format = "text";  // text, json, prometheus, nagios
    std::string output;           // -o: the file to write instead of standard output
};
int cmdSurvey(Context& cx, const SurveyArgs& args);
int cmdReport(Context& cx, const SurveyArgs& args);

}  // namespace inspect
