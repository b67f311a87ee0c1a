// What the inspector's commands share: the open of a file set with its
// library lines kept aside, the walk over the PAT pairs as the check makes
// it, and small text helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "access/btrfile.h"
#include "check/entries.h"
#include "check/scan.h"
#include "fileio/output.h"

namespace inspect {

constexpr int kStatusFailed = 2;

struct Context {
    Output& out;
    bool json = false;
    bool shared = false;
};

// printf into a string.
std::string strf(const char* format, ...) TABULON_PRINTF(1, 2);

// Prints "tabulon-inspect: <line>" on standard error; returns status 2.
int fail(Output& out, const std::string& line);

// An open file set. The library's own lines (open failures, FCR warnings,
// preload figures) go to `lines`, never to the user directly.
class OpenSet {
  public:
    OpenSet() : file_(lines) {}
    // Opens as the check does without a fix mask (ExclusiveRead), or as /U
    // does (Unprotected). On failure returns false with one clear line in
    // *why.
    bool open(const std::string& path, bool shared, std::string* why);
    BtrieveFile& file() { return file_; }
    const FileGeometry& geometry() const { return file_.geometry(); }
    bool hasPat() const { return file_.geometry().versionCode >= version::v600; }

    BufferOutput lines;

  private:
    BtrieveFile file_;
};

// Opens for a command; on failure prints the line and returns false.
bool openForCommand(Context& cx, OpenSet& set, const std::string& path, bool needPat);

// One PAT pair as loaded by the check.
struct PairRecord {
    uint32_t n = 0;
    uint64_t offset = 0;
    uint32_t usage[2] = {0, 0};
    uint32_t current = 0;
    bool idsMatch = true;
    uint32_t used = 0, free = 0;
    PatHeaderFinding header;
};

// Visits the pairs from `first` through `last` as the check's scan does: it
// stops at the first pair that cannot be loaded (past the end of the set),
// and without a pair stride only pair 1 can be located. The scanner's
// PatPair holds the pair during the visit. Returns the number of the pair
// that could not be loaded, or 0 when every pair was visited.
uint32_t walkPairs(Scanner& scanner, uint32_t first, uint32_t last,
                   const std::function<void(const PairRecord&)>& visit);

// Builds the header cache as the check does (not for page-compressed files).
void preloadLikeCheck(Scanner& scanner);

// ScanOptions of a check without a fix mask and without progress lines.
ScanOptions quietOptions(bool shared);

std::string hex(uint64_t v, int digits);
std::string versionText(uint16_t folded);  // "8.00", "9.50"
std::string verdictKey(EntryVerdict v);    // JSON form: "sound", "elsewhere", ...

// page on an FCR copy or a PAT copy: decodes it into j and t; false for any
// other page.
bool describeTablePage(OpenSet& set, bool shared, uint64_t offset, nlohmann::ordered_json* j,
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
    std::string format = "text";  // text, json, prometheus, nagios
    std::string output;           // -o: the file to write instead of standard output
};
int cmdSurvey(Context& cx, const SurveyArgs& args);
int cmdReport(Context& cx, const SurveyArgs& args);

}  // namespace inspect
