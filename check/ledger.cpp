#include "check/ledger.h"

#include <algorithm>

#include "format/pageheader.h"

namespace tabulon {

const char* ledgerClassKey(LedgerClass c) {
    switch (c) {
        case LedgerClass::Kept: return "kept";
        case LedgerClass::Orphaned: return "orphaned";
        case LedgerClass::OlderKept: return "older-kept";
        case LedgerClass::NothingToKeep: return "nothing-to-keep";
    }
    return "kept";
}

const LedgerVersion* LedgerRow::newestOther() const {
    const LedgerVersion* best = nullptr;
    for (const LedgerVersion& v : others) {
        if (!best || v.usage > best->usage) best = &v;
    }
    return best;
}

size_t VersionLedger::count(LedgerClass c) const {
    return size_t(std::count_if(rows.begin(), rows.end(),
                                [c](const LedgerRow& r) { return r.kind == c; }));
}

size_t VersionLedger::resetWithVersion() const {
    return size_t(std::count_if(rows.begin(), rows.end(), [](const LedgerRow& r) {
        return r.changed && r.endsFree && !r.others.empty();
    }));
}

void LedgerBuilder::noteDamagedEntry(uint32_t logical, uint32_t physical, uint16_t type) {
    if (at_.count(logical)) return;
    at_[logical] = entries_.size();
    Entry e;
    e.logical = logical;
    e.physical = e.endPhysical = physical;
    e.type = type;
    entries_.push_back(e);
}

void LedgerBuilder::noteAction(const Action& a) {
    if (a.outcome != Outcome::Written) return;
    if (a.kind == ActionKind::PageId) {
        written_.insert(a.physical);
        return;
    }
    if (a.kind == ActionKind::PatHeader) return;
    const auto it = at_.find(a.logical);
    if (it == at_.end()) return;
    Entry& e = entries_[it->second];
    e.changed = true;
    // Fix bit 2 keeps the physical page below 8.x and stores type 0: the
    // entry is free all the same.
    e.endsFree = a.kind == ActionKind::FreeSpace || a.kind == ActionKind::ResetToFree;
    e.endPhysical = a.physical;
}

namespace {

LedgerClass classify(const LedgerRow& r) {
    const bool versionOutside = !r.others.empty();
    if (r.endsFree || !r.namesIt || r.headerWritten) {
        return versionOutside ? LedgerClass::Orphaned : LedgerClass::NothingToKeep;
    }
    const LedgerVersion* newest = r.newestOther();
    return newest && newest->usage > r.usage ? LedgerClass::OlderKept : LedgerClass::Kept;
}

}  // namespace

VersionLedger LedgerBuilder::finish(const FileGeometry& g, PageIndex& index) const {
    VersionLedger ledger;
    ledger.rows.reserve(entries_.size());
    for (const Entry& e : entries_) {
        LedgerRow r;
        r.logical = e.logical;
        r.type = e.type;
        r.changed = e.changed;
        r.endsFree = e.endsFree;
        r.physical = e.endPhysical;
        PageHeader h{};
        if (!r.endsFree && index.header(r.physical, h)) {
            const PageIdentity id = decodePageHeader(g, h);
            r.namesIt = id.pageId == e.logical;
            r.usage = h.usageCount & pagetype::usageValue;
            r.headerWritten = written_.count(r.physical) != 0;
        }
        // The versions that were there before the run: a header this run
        // wrote was a zero header, which names no logical page.
        index.forEachNaming(e.logical, [&](uint32_t p, const PageHeader& ph) {
            if (p == r.physical && !r.endsFree) return;
            if (written_.count(p)) return;
            r.others.push_back(LedgerVersion{p, uint16_t(ph.usageCount & pagetype::usageValue)});
        });
        r.kind = classify(r);
        ledger.rows.push_back(std::move(r));
    }
    std::sort(ledger.rows.begin(), ledger.rows.end(),
              [](const LedgerRow& a, const LedgerRow& b) { return a.logical < b.logical; });
    return ledger;
}

}  // namespace tabulon
