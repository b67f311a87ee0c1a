// One cut point of the crash lab, examined: the check against the model's
// truth, every candidate mask's real repair on a copy against advise's
// prediction for it, and the logical pages each repair recovers or loses.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "crashlab/model.h"

namespace crashlab {

// How the check fared: a cut whose table has an entry naming a page that
// holds no complete version of it must be reported as damage.
enum class CheckVerdict {
    Right,        // damage reported exactly when the table has such an entry
    FalseAlarm,   // damage reported, every entry names a complete version
    MissedSeen,   // not reported although a wrong entry's page header names another page
    MissedStale,  // not reported; the wrong entries' pages carry their own id and type (a
                  // torn or older version that no header check tells apart)
    MissedBeyond  // not reported; the wrong entries of committed pages lie past the FCR's
                  // page count
};
const char* verdictName(CheckVerdict v);

// Why a logical page is lost after a repair.
enum class Loss {
    Reset,          // its entry is free (reset by the repair, or free in the torn table)
    HeaderWritten,  // its entry names a page whose header the repair wrote (bit 1)
    TornNewest,     // its entry names the new version, whose write was torn
    OlderVersion,   // its entry names an older version that no update wrote over
    Elsewhere,      // its entry names a page of another logical page
    NewInUse,       // a page the cut transaction adds, in use on a page that holds no version
};
constexpr size_t kLosses = 6;
const char* lossName(Loss l);
using LossCounts = std::array<std::uint32_t, kLosses>;

struct CutResult {
    std::string id;  // "kind order transaction.write.sectors[ torn]"
    bool torn = false;
    bool extension = false;  // the set has an extension file
    CheckVerdict verdict = CheckVerdict::Right;
    bool damage = false;       // the check found damage
    bool incomplete = false;   // advise gives no advice: the set holds less than the FCR names
    std::uint32_t scored = 0;  // logical pages that have a version
    std::uint32_t lostUnrepaired = 0;     // lost before any repair
    std::vector<std::uint32_t> lost;      // per candidate mask, when the check found damage
    std::vector<LossCounts> causes;       // per candidate mask
    int advised = -1;                     // index of the advised mask, -1 when none
    std::uint32_t lostAdvised = 0;        // the advised mask's, or the unrepaired when none
    std::vector<std::string> mismatches;  // predictions the real repair did not bear out
    std::string behindWhy;  // when the advice loses more: the ledger's rows against the truth
    bool adviceBehind() const { return lostAdvised > bestLost(); }
    std::uint32_t bestLost() const;
    std::uint32_t lostBy(size_t mask) const { return lost.empty() ? lostUnrepaired : lost[mask]; }
};

// releaseOrder: the repairs and advise's runs in the first release's order
// for relabelled pages.
CutResult examine(const Workload& w, const Cut& c, bool releaseOrder);

}  // namespace crashlab
