// tabulon-inspect advise: which fix mask to run. Each candidate mask is run
// by the engine over a copy-on-write layer of the files, the layered state is
// checked once more, and the candidates are compared by the damage they leave
// and the data they give up. Nothing reaches the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "access/cache.h"
#include "check/finding.h"
#include "check/ledger.h"
#include "fileio/overlay.h"
#include "fileio/platform.h"
#include "inspect/common/findings.h"
#include "inspect/common/session.h"

namespace inspect {

// What one fix mask does to the set, run in memory.
struct MaskOutcome {
    int32_t mask = 0;
    int status = 0;               // the repair run's exit status
    uint64_t damageLeft = 0;      // findings of severity damage after the repair
    std::vector<tabulon::Finding> remaining;  // those findings
    std::vector<uint32_t> givenUp;       // logical pages whose entry, in use, was reset
    // Where each entry the run changes or leaves damaged ends, beside every
    // other version of its logical page.
    tabulon::VersionLedger ledger;
    size_t orphaned = 0;          // versions the run leaves out of reach
    size_t resetWithVersion = 0;  // entries reset to free space while a version exists
    size_t headersRewritten = 0;  // physical pages whose header was written
    size_t writes = 0;
    uint64_t bytes = 0;
    // The bytes the run leaves changed: two masks with equal ones leave the
    // same files.
    tabulon::ChangedBytes changes;
    int sameAs = -1;  // an earlier candidate that leaves the same files

    bool clean() const { return status == 0 && damageLeft == 0; }
};

// Runs `tabulon path /F<mask> /R` over a copy-on-write layer on `base`, then
// checks the layered files as the check does without a fix mask. This is the
// one place where a candidate is run. With `releaseRepairOrder`, the repair
// takes the first release's order for relabelled pages (see ScanOptions).
// With `headers`, the header cache of a check of the set on `base` (opened
// the same way), the run and the second check start from its table instead
// of reading every page header again.
MaskOutcome runCandidate(tabulon::Platform& base, const std::string& path, int32_t mask,
                         bool shared, bool releaseRepairOrder = false,
                         const tabulon::HeaderCache* headers = nullptr);

// The masks advise compares, simplest first.
const std::vector<int32_t>& candidateMasks();

struct Advice {
    std::string path;
    std::string error;     // why the set could not be checked; empty when it was
    // Why no repair may be advised although the set could be checked: its
    // members hold less than the FCR names. Empty when the set is whole.
    std::string incomplete;
    uint64_t damage = 0;   // findings of severity damage before any repair
    std::vector<tabulon::Finding> findings;  // those findings
    std::vector<MaskOutcome> candidates;
    int chosen = -1;       // the candidate advised, or -1 when none helps
    std::string why;       // one line

    bool checked() const { return error.empty(); }
    bool clean() const { return chosen >= 0 && candidates[size_t(chosen)].clean(); }
    // 0 when nothing needs repair, 1 when the file is damaged, 2 when it
    // could not be checked or no repair may be advised for an incomplete set.
    int status() const;
};

// Checks the set on `base` and, when it has damage, runs every candidate
// (in the first release's repair order with `releaseRepairOrder`).
Advice adviseFile(tabulon::Platform& base, const std::string& path, bool shared,
                  bool releaseRepairOrder = false);

// What a check of the set without a fix mask found, for the candidates to
// start from: its damage findings, what its members hold, and the header
// table of its walk (none: each candidate reads every header).
struct AdviceBaseline {
    uint64_t damage = 0;
    std::vector<tabulon::Finding> findings;  // those of severity damage, in order
    tabulon::SetExtent extent;
    const tabulon::HeaderCache* headers = nullptr;
};

// The same from a baseline made elsewhere (the survey's walk of the file).
Advice adviseFrom(tabulon::Platform& base, const std::string& path, bool shared,
                  AdviceBaseline baseline, bool releaseRepairOrder = false);

// The baseline of a walk that is done: its damage findings from `walked`
// (kept with their list), the set's extent and the walk's header table.
AdviceBaseline baselineOf(tabulon::CheckedFile& file, const FileFindings& walked);

// What a set that holds less than its FCR names lacks, in one sentence ("the
// set holds 300 of the FCR's 901 pages: is ORDERS.^01 missing?"); empty for
// a whole set.
std::string incompleteSetText(const tabulon::SetExtent& e);

// The ledger's rows, one line each, at most `limit` of them (then a count).
std::string ledgerText(const tabulon::VersionLedger& ledger, size_t limit, const char* indent);
Json ledgerJson(const tabulon::VersionLedger& ledger);
Json findingJson(const tabulon::Finding& f);

// "/F12", "/F-1".
std::string maskOption(int32_t mask);
// The command that runs the advised mask with an undo journal beside the file.
std::string adviceCommand(const std::string& path, int32_t mask);

std::string adviceText(const Advice& a);
Json adviceJson(const Advice& a);
// The advice as a section of the HTML report, for a file with damage.
std::string adviceHtml(tabulon::Platform& platform, const std::string& path, bool shared);
// The same for an advice made already.
std::string adviceHtml(const Advice& a);

int cmdAdvise(Context& cx, const std::string& path);

}  // namespace inspect
