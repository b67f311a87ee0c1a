#include "crashlab/lab.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "access/btrfile.h"
#include "cli/run.h"
#include "crashlab/memplatform.h"
#include "inspect/repairs/advise.h"
#include "inspect/common/findings.h"
#include "inspect/common/session.h"

namespace crashlab {

namespace {

const char* kMain = "LAB.DAT";
const char* kExtension = "LAB.^01";  // extension file 1 of LAB.DAT

using Entries = std::vector<tbuild::PageId>;

// The bytes of a file set on a MemoryPlatform: the main file, then
// extension file 1; zero past the end.
class View {
  public:
    explicit View(MemoryPlatform& p)
        : main_(p.files[kMain]), ext_(p.files.count(kExtension) ? p.files[kExtension] : none()) {}
    std::uint64_t size() const { return main_.size() + ext_.size(); }
    std::uint8_t operator[](std::uint64_t at) const {
        if (at < main_.size()) return main_[at];
        at -= main_.size();
        return at < ext_.size() ? ext_[at] : 0;
    }
    // n bytes from `at`, or nothing when they reach past the end.
    bool get(std::uint64_t at, size_t n, std::uint8_t* out) const {
        if (at + n > size()) return false;
        for (size_t i = 0; i < n; ++i) out[i] = (*this)[at + i];
        return true;
    }

  private:
    static const Bytes& none() {
        static const Bytes empty;
        return empty;
    }
    const Bytes& main_;
    const Bytes& ext_;
};

std::uint32_t le32(const View& b, std::uint64_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// The entry of every logical page in the current copy of its PAT pair, as
// the builder reads them.
Entries currentEntries(const CrashState& s, const View& set) {
    const tbuild::Layout& l = s.layout;
    Entries e(s.logicalPages);
    for (std::uint32_t logical = 1; logical <= s.logicalPages; ++logical) {
        const std::uint64_t at = tbuild::pairOffset(l, tbuild::pairOfLogical(l, logical));
        const std::uint32_t u0 = le32(set, at + l.usageOffset);
        const std::uint32_t u1 = le32(set, at + l.patPageSize + l.usageOffset);
        const std::uint64_t slot = at + (u1 >= u0 ? l.patPageSize : 0) +
                                   tbuild::slotOffset(l, tbuild::slotOfLogical(l, logical));
        std::uint8_t b[8];
        if (set.get(slot, l.slotSize, b)) e[logical - 1] = tbuild::decodeEntry(l, b);
    }
    return e;
}

bool inUse(const tbuild::Layout& l, const tbuild::PageId& e) {
    return e.type != 0 && !(l.wideEntries() && e.id == l.freeSpacePointer());
}

tbuild::PageId headerAt(const tbuild::Layout& l, const View& set, std::uint32_t phys) {
    std::uint8_t b[24];
    return set.get(tbuild::pageOffset(l, phys), l.headerSize, b) ? tbuild::decodeHeader(l, b)
                                                                 : tbuild::PageId{};
}

// Whether entry e of a logical page in `set` reaches a complete version of
// it: a page that held one at the cut and still carries its header.
bool right(const CrashState& s, const View& set, std::uint32_t logical, const tbuild::PageId& e) {
    auto t = s.types.find(logical);
    return t != s.types.end() && t->second == e.type && s.intact(logical, e.id) &&
           headerAt(s.layout, set, e.id) == tbuild::PageId{logical, e.type};
}

// Logical pages lost in a set: a page with a complete version whose entry
// is free or does not reach one; a page new in the cut transaction only
// when its entry is in use and wrong and the FCR's page count reaches it
// (`visible`): free, or past the page count, it is as the last complete
// state had it, absent.
std::vector<std::uint32_t> lostPages(const CrashState& s, const View& set, const Entries& e,
                                     std::uint32_t visible, std::uint32_t* scored) {
    std::vector<std::uint32_t> lost;
    std::uint32_t n = 0;
    auto judge = [&](std::uint32_t logical, bool hasCommitted) {
        const tbuild::PageId& entry = e[logical - 1];
        if (!hasCommitted && (!inUse(s.layout, entry) || logical > visible)) return;
        ++n;
        if (!inUse(s.layout, entry) || !right(s, set, logical, entry)) lost.push_back(logical);
    };
    for (const auto& [logical, phys] : s.committed) judge(logical, true);
    for (const auto& [logical, phys] : s.inflightPage) {
        if (!s.committed.count(logical)) judge(logical, false);
    }
    if (scored) *scored = n;
    return lost;
}

// The check's verdict against the truth; `reported` is whether it found damage.
CheckVerdict judgeCheck(const CrashState& s, const View& set, const Entries& e, bool reported,
                        std::uint32_t pageCount) {
    bool seen = false, stale = false, beyond = false;
    for (std::uint32_t j = 0; j < e.size(); ++j) {
        const std::uint32_t logical = j + 1;
        if (!inUse(s.layout, e[j]) || right(s, set, logical, e[j])) continue;
        if (logical > pageCount + 1) {
            beyond = beyond || s.committed.count(logical);
            continue;
        }
        (headerAt(s.layout, set, e[j].id) == tbuild::PageId{logical, e[j].type} ? stale : seen) =
            true;
    }
    if (reported) return seen || stale || beyond ? CheckVerdict::Right : CheckVerdict::FalseAlarm;
    if (seen) return CheckVerdict::MissedSeen;
    if (stale) return CheckVerdict::MissedStale;
    return beyond ? CheckVerdict::MissedBeyond : CheckVerdict::Right;
}

// Physical pages outside the FCR and the PAT pairs whose header bytes differ.
size_t headersChanged(const CrashState& s, const View& a, const View& b) {
    const tbuild::Layout& l = s.layout;
    const std::uint64_t size = std::max(a.size(), b.size());
    auto differs = [&](std::uint64_t at) {
        for (std::uint64_t i = at; i < at + l.headerSize; ++i) {
            if (a[i] != b[i]) return true;
        }
        return false;
    };
    size_t n = 0;
    for (std::uint32_t p = 0; size && p <= tbuild::pageAtOrBefore(l, size - 1); ++p) {
        const std::uint64_t at = tbuild::pageOffset(l, p);
        if (!differs(at)) continue;
        bool reserved = at < tbuild::pairOffset(l, 1);
        for (std::uint32_t k = 1; k <= s.pairs && !reserved; ++k) {
            const std::uint64_t pair = tbuild::pairOffset(l, k);
            reserved = at < pair + 2ull * l.patPageSize && at + l.pageUnit > pair;
        }
        n += !reserved;
    }
    return n;
}

// What a real repair did to a copy.
struct RealRepair {
    int status = 0;
    std::uint64_t damageLeft = 0;
    std::vector<std::uint32_t> givenUp;
    std::vector<std::uint32_t> lost;
    LossCounts causes{};
    Entries after;
    size_t headers = 0;
};

// Why each logical page is lost after a repair.
LossCounts lossCauses(const CrashState& s, const View& crashed, const View& repaired,
                      const Entries& after, const std::vector<std::uint32_t>& lost) {
    LossCounts n{};
    for (std::uint32_t logical : lost) {
        const tbuild::PageId& e = after[logical - 1];
        Loss why = Loss::Elsewhere;
        if (!s.committed.count(logical)) {
            why = Loss::NewInUse;
        } else if (!inUse(s.layout, e)) {
            why = Loss::Reset;
        } else if (headerAt(s.layout, crashed, e.id) != headerAt(s.layout, repaired, e.id)) {
            why = Loss::HeaderWritten;
        } else if (headerAt(s.layout, repaired, e.id).id == logical) {
            auto it = s.inflightPage.find(logical);
            const bool newest = it != s.inflightPage.end() && it->second == e.id;
            why = newest ? Loss::TornNewest : Loss::OlderVersion;
        }
        ++n[size_t(why)];
    }
    return n;
}

RealRepair repairCopy(const CrashState& s, MemoryPlatform& crashed, const Entries& before,
                      std::uint32_t visible, std::int32_t mask, bool releaseOrder) {
    RealRepair r;
    MemoryPlatform copy;
    copy.files = crashed.files;
    const std::string fix = inspect::maskOption(mask);
    const char* argv[] = {"tabulon", kMain, fix.c_str(), "/R"};
    tabulon::NullOutput quiet;
    RunSettings settings;
    settings.releaseRepairOrder = releaseOrder;
    r.status = runTabulon(4, argv, quiet, copy, nullptr, settings);
    std::string why;
    if (auto file = inspect::openForLook(copy, kMain, false, quiet, &why)) {
        r.damageLeft = inspect::gatherFindings(*file, false).bySeverity(inspect::Damage);
        file->close();
    }
    const View repaired(copy), cut(crashed);
    r.after = currentEntries(s, repaired);
    for (std::uint32_t j = 0; j < before.size(); ++j) {
        if (inUse(s.layout, before[j]) && !inUse(s.layout, r.after[j])) r.givenUp.push_back(j + 1);
    }
    r.lost = lostPages(s, repaired, r.after, visible, nullptr);
    r.causes = lossCauses(s, cut, repaired, r.after, r.lost);
    r.headers = headersChanged(s, cut, repaired);
    return r;
}

std::uint32_t checkedPageCount(MemoryPlatform& p) {
    tabulon::NullOutput quiet;
    tabulon::BtrieveFile file(quiet, p);
    if (!file.open(kMain, tabulon::ExclusiveRead, false)) return 0;
    const std::uint32_t n = file.geometry().pageCount;
    file.close();
    return n;
}

std::string cutId(const Workload& w, const Cut& c) {
    return w.kind().name + " " + orderName(w.order()) + " " + std::to_string(c.txn) + "." +
           std::to_string(c.write) + "." + std::to_string(c.sectors) + (c.torn ? " torn" : "");
}

std::string hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", unsigned(v));
    return b;
}

// Where a mask leaves a logical page, and what its ledger says of it.
std::string endText(const CrashState& s, const inspect::MaskOutcome& o, std::uint32_t logical,
                    const tbuild::PageId& e) {
    std::string t =
        inspect::maskOption(o.mask) + (inUse(s.layout, e) ? " on " + hex(e.id) : " free");
    for (const tabulon::LedgerRow& row : o.ledger.rows) {
        if (row.logical == logical)
            return t + " (ledger: " + tabulon::ledgerClassKey(row.kind) + ")";
    }
    return t + " (no ledger row)";
}

// The logical pages that the advised mask and the best one do not both
// keep: where each leaves them, the ledger's class, and where the complete
// versions were.
std::string explainBehind(const CrashState& s, const inspect::Advice& a, size_t advised,
                          size_t best, const std::vector<RealRepair>& real) {
    std::vector<std::uint32_t> differ;
    std::set_symmetric_difference(real[advised].lost.begin(), real[advised].lost.end(),
                                  real[best].lost.begin(), real[best].lost.end(),
                                  std::back_inserter(differ));
    std::string t;
    for (std::uint32_t logical : differ) {
        t += "\n    logical " + hex(logical) + ": " +
             endText(s, a.candidates[advised], logical, real[advised].after[logical - 1]) + ", " +
             endText(s, a.candidates[best], logical, real[best].after[logical - 1]) + "; truth:";
        if (auto c = s.committed.find(logical); c != s.committed.end())
            t += " committed on " + hex(c->second);
        if (auto n = s.inflightPage.find(logical); n != s.inflightPage.end()) {
            t += std::string(" new on ") + hex(n->second) +
                 (s.inflight.count(logical) ? " (whole)" : " (torn)");
        }
    }
    return t;
}

}  // namespace

const char* verdictName(CheckVerdict v) {
    switch (v) {
        case CheckVerdict::Right: return "right";
        case CheckVerdict::FalseAlarm: return "false alarm";
        case CheckVerdict::MissedSeen: return "missed (visible)";
        case CheckVerdict::MissedStale: return "missed (stale header)";
        case CheckVerdict::MissedBeyond: return "missed (past page count)";
    }
    return "?";
}

const char* lossName(Loss l) {
    switch (l) {
        case Loss::Reset: return "entry free";
        case Loss::HeaderWritten: return "header written";
        case Loss::TornNewest: return "torn newest";
        case Loss::OlderVersion: return "older version";
        case Loss::Elsewhere: return "elsewhere";
        case Loss::NewInUse: return "new in use";
    }
    return "?";
}

std::uint32_t CutResult::bestLost() const {
    return lost.empty() ? lostUnrepaired : *std::min_element(lost.begin(), lost.end());
}

CutResult examine(const Workload& w, const Cut& c, bool releaseOrder) {
    CrashState s = w.at(c);
    MemoryPlatform crashed;
    crashed.files[kMain] = std::move(s.main);
    if (!s.ext.empty()) crashed.files[kExtension] = std::move(s.ext);
    const View set(crashed);
    const Entries before = currentEntries(s, set);
    CutResult r;
    r.id = cutId(w, c);
    r.torn = c.torn;
    r.extension = crashed.files.count(kExtension) > 0;
    // The logical pages the FCR's page count reaches, as far as the check reads.
    const std::uint32_t visible = checkedPageCount(crashed) + 1;
    r.lostUnrepaired = std::uint32_t(lostPages(s, set, before, visible, &r.scored).size());
    r.lostAdvised = r.lostUnrepaired;
    const inspect::Advice a = inspect::adviseFile(crashed, kMain, false, releaseOrder);
    if (!a.checked()) {
        r.mismatches.push_back("the crashed set cannot be checked: " + a.error);
        return r;
    }
    r.damage = a.damage > 0;
    r.incomplete = !a.incomplete.empty();
    r.verdict = judgeCheck(s, set, before, r.damage, visible - 1);
    if (!r.damage) return r;
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    std::vector<RealRepair> real;
    for (size_t k = 0; k < masks.size(); ++k) {
        real.push_back(repairCopy(s, crashed, before, visible, masks[k], releaseOrder));
        r.lost.push_back(std::uint32_t(real.back().lost.size()));
        r.causes.push_back(real.back().causes);
        if (a.candidates.size() != masks.size()) continue;
        const inspect::MaskOutcome& o = a.candidates[k];
        const RealRepair& got = real.back();
        const std::string m = inspect::maskOption(o.mask);
        if ((got.status == 0) != (o.status == 0)) r.mismatches.push_back(m + ": status differs");
        if (got.damageLeft != o.damageLeft) r.mismatches.push_back(m + ": damage left differs");
        if (got.givenUp != o.givenUp) r.mismatches.push_back(m + ": pages given up differ");
        if (got.headers != o.headersRewritten)
            r.mismatches.push_back(m + ": headers rewritten differ");
        for (const tabulon::LedgerRow& row : o.ledger.rows) {
            const tbuild::PageId e =
                row.logical <= got.after.size() ? got.after[row.logical - 1] : tbuild::PageId{};
            if (row.endsFree ? inUse(s.layout, e) : e.id != row.physical) {
                r.mismatches.push_back(m + ": the ledger's end of logical page " +
                                       hex(row.logical) + " differs");
            }
        }
    }
    if (a.chosen >= 0) {
        r.advised = a.chosen;
        r.lostAdvised = r.lost[size_t(a.chosen)];
    }
    if (r.adviceBehind() && a.chosen >= 0) {
        const size_t best = size_t(std::min_element(r.lost.begin(), r.lost.end()) - r.lost.begin());
        r.behindWhy = explainBehind(s, a, size_t(a.chosen), best, real);
    }
    return r;
}

}  // namespace crashlab
