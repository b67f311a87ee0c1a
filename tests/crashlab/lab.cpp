#include "crashlab/lab.h"

#include <algorithm>

#include "access/btrfile.h"
#include "cli/run.h"
#include "crashlab/memplatform.h"
#include "inspect/advise.h"
#include "inspect/findings.h"

namespace crashlab {

namespace {

const char* kMain = "LAB.DAT";
const char* kExtension = "LAB.^01";  // extension file 1 of LAB.DAT

using Entries = std::vector<tbuild::PageId>;

std::uint32_t le32(const Bytes& b, std::uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// The entries of the current copy of PAT pair 1, as the builder reads them.
Entries currentEntries(const tbuild::Layout& l, const Bytes& set) {
    const std::uint64_t at = tbuild::pairOffset(l, 1);
    const std::uint32_t u0 = le32(set, at + l.usageOffset);
    const std::uint32_t u1 = le32(set, at + l.patPageSize + l.usageOffset);
    const std::uint64_t copy = at + (u1 >= u0 ? l.patPageSize : 0);
    Entries e;
    for (std::uint32_t j = 0; j < l.slotsOnDisk(); ++j) {
        const std::uint64_t slot = copy + tbuild::slotOffset(l, j);
        e.push_back(slot + l.slotSize <= set.size() ? tbuild::decodeEntry(l, set.data() + slot)
                                                    : tbuild::PageId{});
    }
    return e;
}

bool inUse(const tbuild::Layout& l, const tbuild::PageId& e) {
    return e.type != 0 && !(l.wideEntries() && e.id == l.freeSpacePointer());
}

bool right(const CrashState& s, std::uint32_t logical, const tbuild::PageId& e) {
    auto t = s.types.find(logical);
    return t != s.types.end() && t->second == e.type && s.intact(logical, e.id);
}

// Logical pages lost in a set: a page with a committed version whose entry
// is free or names a page without a complete version of it; a page new in
// the cut transaction only when its entry is in use and wrong.
std::uint32_t lostPages(const CrashState& s, const Entries& e, std::uint32_t* scored) {
    std::uint32_t lost = 0, n = 0;
    auto judge = [&](std::uint32_t logical, bool hasCommitted) {
        const tbuild::PageId& entry = e[logical - 1];
        if (!inUse(s.layout, entry)) {
            n += hasCommitted;
            lost += hasCommitted;
            return;
        }
        ++n;
        lost += !right(s, logical, entry);
    };
    for (const auto& [logical, phys] : s.committed) judge(logical, true);
    for (const auto& [logical, phys] : s.inflight) {
        if (!s.committed.count(logical)) judge(logical, false);
    }
    if (scored) *scored = n;
    return lost;
}

// The check's verdict against the truth; `reported` is whether it found damage.
CheckVerdict judgeCheck(const CrashState& s, const Bytes& set, const Entries& e, bool reported,
                        std::uint32_t pageCount) {
    bool seen = false, stale = false, beyond = false;
    for (std::uint32_t j = 0; j < e.size(); ++j) {
        const std::uint32_t logical = j + 1;
        if (!inUse(s.layout, e[j]) || right(s, logical, e[j])) continue;
        if (logical > pageCount + 1) {
            beyond = true;
            continue;
        }
        const std::uint64_t at = tbuild::pageOffset(s.layout, e[j].id);
        const bool readable = at + s.layout.headerSize <= set.size();
        const tbuild::PageId header =
            readable ? tbuild::decodeHeader(s.layout, set.data() + at) : tbuild::PageId{};
        (header == tbuild::PageId{logical, e[j].type} ? stale : seen) = true;
    }
    if (reported) return seen || stale || beyond ? CheckVerdict::Right : CheckVerdict::FalseAlarm;
    if (seen) return CheckVerdict::MissedSeen;
    if (stale) return CheckVerdict::MissedStale;
    return beyond ? CheckVerdict::MissedBeyond : CheckVerdict::Right;
}

MemoryPlatform platformOf(const CrashState& s) {
    MemoryPlatform p;
    p.files[kMain] = s.main;
    if (!s.ext.empty()) p.files[kExtension] = s.ext;
    return p;
}

Bytes setOf(MemoryPlatform& p) {
    Bytes set = p.files[kMain];
    if (p.files.count(kExtension)) {
        const Bytes& ext = p.files[kExtension];
        set.insert(set.end(), ext.begin(), ext.end());
    }
    return set;
}

// What a real repair did to a copy.
struct RealRepair {
    int status = 0;
    std::uint64_t damageLeft = 0;
    std::vector<std::uint32_t> givenUp;
    std::uint32_t lost = 0;
    LossCounts causes{};
};

tbuild::PageId headerAt(const tbuild::Layout& l, const Bytes& set, std::uint32_t phys) {
    const std::uint64_t at = tbuild::pageOffset(l, phys);
    return at + l.headerSize <= set.size() ? tbuild::decodeHeader(l, set.data() + at)
                                           : tbuild::PageId{};
}

// Why each logical page with a committed version is lost after a repair.
LossCounts lossCauses(const CrashState& s, const Bytes& crashed, const Bytes& repaired,
                      const Entries& after) {
    LossCounts n{};
    for (const auto& [logical, phys] : s.committed) {
        const tbuild::PageId& e = after[logical - 1];
        if (inUse(s.layout, e) && right(s, logical, e)) continue;
        Loss why = Loss::Elsewhere;
        if (!inUse(s.layout, e)) {
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

RealRepair repairCopy(const CrashState& s, const MemoryPlatform& crashed, const Bytes& crashedSet,
                      const Entries& before, std::int32_t mask) {
    RealRepair r;
    MemoryPlatform copy;
    copy.files = crashed.files;
    const std::string fix = inspect::maskOption(mask);
    const char* argv[] = {"tabulon", kMain, fix.c_str(), "/R"};
    tabulon::NullOutput quiet;
    r.status = runTabulon(4, argv, quiet, copy, nullptr, RunSettings{});
    tabulon::BtrieveFile file(quiet, copy);
    if (file.open(kMain, tabulon::ExclusiveRead, false)) {
        r.damageLeft = inspect::gatherFindings(file, false, false).bySeverity(inspect::Damage);
        file.close();
    }
    const Bytes repaired = setOf(copy);
    const Entries after = currentEntries(s.layout, repaired);
    r.causes = lossCauses(s, crashedSet, repaired, after);
    for (std::uint32_t j = 0; j < before.size(); ++j) {
        if (inUse(s.layout, before[j]) && !inUse(s.layout, after[j])) r.givenUp.push_back(j + 1);
    }
    r.lost = lostPages(s, after, nullptr);
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
    }
    return "?";
}

std::uint32_t CutResult::bestLost() const {
    return lost.empty() ? lostUnrepaired : *std::min_element(lost.begin(), lost.end());
}

bool CutResult::adviceBehind() const {
    return lostAdvised > bestLost();
}

CutResult examine(const Workload& w, const Cut& c) {
    const CrashState s = w.at(c);
    MemoryPlatform crashed = platformOf(s);
    const Bytes set = s.setBytes();
    const Entries before = currentEntries(s.layout, set);
    CutResult r;
    r.id = cutId(w, c);
    r.lostUnrepaired = lostPages(s, before, &r.scored);
    const inspect::Advice a = inspect::adviseFile(crashed, kMain, false);
    if (!a.checked()) {
        r.mismatches.push_back("the crashed set cannot be checked: " + a.error);
        return r;
    }
    r.verdict = judgeCheck(s, set, before, a.damage > 0, checkedPageCount(crashed));
    r.lostAdvised = r.lostUnrepaired;
    for (const inspect::MaskOutcome& o : a.candidates) {
        const RealRepair real = repairCopy(s, crashed, set, before, o.mask);
        r.lost.push_back(real.lost);
        r.causes.push_back(real.causes);
        const std::string m = inspect::maskOption(o.mask);
        if ((real.status == 0) != (o.status == 0)) r.mismatches.push_back(m + ": status differs");
        if (real.damageLeft != o.damageLeft) r.mismatches.push_back(m + ": damage left differs");
        if (real.givenUp != o.givenUp) r.mismatches.push_back(m + ": pages given up differ");
    }
    if (a.chosen >= 0) {
        r.advised = a.chosen;
        r.lostAdvised = r.lost[size_t(a.chosen)];
    }
    return r;
}

}  // namespace crashlab
