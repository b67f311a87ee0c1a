#include "crashlab/model.h"

#include <algorithm>

namespace crashlab {

namespace {

constexpr std::uint32_t kInitialPages = 150;  // past the first sector of every PAT page
constexpr std::uint32_t kStalePages = 6;      // free pages holding older versions at the start
constexpr std::uint32_t kZeroPages = 3;       // zero free pages at the start
constexpr size_t kTransactions = 8;

std::uint32_t le32(const Bytes& b, std::uint32_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// The usage count of a page's next version: one above, with the valid bit
// on data pages.
std::uint16_t nextUsage(std::uint16_t usage, std::uint16_t type) {
    const std::uint16_t count = std::uint16_t(((usage & 0x7FFF) + 1) & 0x7FFF);
    return tbuild::isDataType(type) ? std::uint16_t(count | 0x8000) : count;
}

void apply(Bytes& set, const Write& w, size_t n) {
    if (set.size() < w.offset + n) set.resize(size_t(w.offset + n), 0);
    std::copy(w.bytes.begin(), w.bytes.begin() + std::ptrdiff_t(n),
              set.begin() + std::ptrdiff_t(w.offset));
}

}  // namespace

const std::vector<FileKind>& fileKinds() {
    static const std::vector<FileKind> kinds = {
        {"0600-1k", 0x0600, 1024, false}, {"0600-4k", 0x0600, 4096, false},
        {"0600-1k-gap", 0x0600, 1024, true}, {"0800-1k", 0x0800, 1024, false},
        {"0800-4k", 0x0800, 4096, false}, {"0950-1k", 0x0950, 1024, false},
        {"0950-4k", 0x0950, 4096, false},
    };
    return kinds;
}

const char* orderName(Order o) {
    return o == Order::Flushed ? "A" : "B";
}

bool CrashState::intact(std::uint32_t logical, std::uint32_t phys) const {
    auto c = committed.find(logical);
    if (c != committed.end() && c->second == phys) return true;
    auto n = inflight.find(logical);
    return n != inflight.end() && n->second == phys;
}

Bytes CrashState::setBytes() const {
    Bytes set = main;
    set.insert(set.end(), ext.begin(), ext.end());
    return set;
}

Workload::Workload(const FileKind& kind, Order order, std::uint32_t seed)
    : kind_(kind), order_(order) {
    tbuild::FileParams p;
    p.storedVersion = kind.version;
    p.pageSize = kind.pageSize;
    p.logicalPages = kInitialPages;
    p.pairs = kind.gap ? 32 : 1;
    tbuild::BtrFile disk = tbuild::makeHealthy(p);
    layout_ = disk.layout();
    std::mt19937 rng(seed);
    std::map<std::uint32_t, std::uint32_t> committed;
    for (std::uint32_t l = 1; l <= kInitialPages; ++l) {
        const std::uint32_t phys = disk.home(l);
        const tbuild::PageRecord* r = disk.page(phys);
        types_[l] = r->type;
        committed[l] = phys;
        disk.setUsage(phys, std::uint16_t(r->usage + 2));
    }
    // Free pages: older versions of some pages, left by earlier updates, and
    // zero pages the engine allocated ahead when it last grew the file.
    for (std::uint32_t k = 0; k < kStalePages + kZeroPages; ++k) {
        if (k % 3 == 1) {
            const std::uint32_t phys = disk.nextUnreserved(disk.physicalPages());
            disk.setSize(tbuild::pageOffset(layout_, phys) + layout_.pageUnit);
            free_.push_back(phys);
            continue;
        }
        const std::uint32_t l = 1 + rng() % kInitialPages;
        const std::uint16_t usage = std::uint16_t(disk.page(committed[l])->usage - 1);
        free_.push_back(disk.appendPage(tbuild::PageId{l, types_[l]}, usage));
    }
    split_ = disk.size();
    for (size_t t = 0; t < kTransactions; ++t) {
        before_.push_back(disk.bytes());
        committed_.push_back(committed);
        txns_.push_back(plan(disk, t, rng));
        for (const auto& [l, phys] : txns_.back().newPhys) {
            if (committed.count(l)) free_.push_back(committed[l]);
            committed[l] = phys;
        }
    }
}

Transaction Workload::plan(tbuild::BtrFile& disk, size_t t, std::mt19937& rng) {
    Transaction tx;
    tbuild::BtrFile next = disk;
    const auto count = std::uint32_t(types_.size());
    const std::uint32_t k = 2 + rng() % 3;
    // A free page for each new version, or a page appended to the file.
    auto place = [&](std::uint32_t l, std::uint16_t usage) {
        const tbuild::PageId header{l, types_[l]};
        if (free_.empty()) return next.appendPage(header, usage);
        const std::uint32_t phys = free_.front();
        free_.erase(free_.begin());
        next.setPage(phys, header, usage);
        return phys;
    };
    while (tx.newPhys.size() < k) {
        const std::uint32_t l = 1 + rng() % count;
        if (tx.newPhys.count(l)) continue;
        tx.newPhys[l] = place(l, nextUsage(disk.page(disk.entryOf(l).id)->usage, types_[l]));
    }
    // Some transactions add logical pages; the file grows into its extension.
    const bool grow = t % 3 == 2;
    for (std::uint32_t l = count + 1; grow && l <= count + 2; ++l) {
        types_[l] = tbuild::generatedType(layout_, tbuild::TypeMix::Mixed, l);
        tx.newPhys[l] = place(l, tbuild::generatedUsage(types_[l], l));
    }
    const tbuild::Layout& lay = layout_;
    for (const auto& [l, phys] : tx.newPhys) {
        const std::uint64_t at = tbuild::pageOffset(lay, phys);
        tx.writes.push_back({Write::Page, at, next.read(at, lay.pageUnit), l, phys});
    }
    // The PAT copy that is not current gets the new entries, one usage above.
    const int cur = disk.currentCopy(1), other = 1 - cur;
    next.pat(1, other) = next.pat(1, cur);
    for (const auto& [l, phys] : tx.newPhys) {
        next.setEntry(1, other, tbuild::slotOfLogical(lay, l), tbuild::PageId{phys, types_[l]});
    }
    next.setPatUsage(1, other, le32(disk.pat(1, cur), lay.usageOffset) + 1);
    const std::uint64_t patAt = tbuild::pairOffset(lay, 1) + std::uint64_t(other) * lay.patPageSize;
    tx.writes.push_back({Write::Pat, patAt, next.read(patAt, lay.patPageSize), 0, 0});
    // Then the FCR copy that is not current, with the page count when pages were added.
    const int fcur = disk.currentFcr(), fother = 1 - fcur;
    next.fcr(fother) = next.fcr(fcur);
    next.setFcrUsage(fother, le32(disk.fcr(fcur), lay.usageOffset) + 1);
    if (grow) next.setPageCount(tbuild::defaultPageCount(lay.version, count + 2), fother);
    const std::uint64_t fcrAt = std::uint64_t(fother) * lay.patPageSize;
    tx.writes.push_back({Write::Fcr, fcrAt, next.read(fcrAt, lay.patPageSize), 0, 0});
    if (order_ == Order::Unordered) std::shuffle(tx.writes.begin(), tx.writes.end(), rng);
    disk = next;
    return tx;
}

std::vector<Cut> Workload::cuts() const {
    std::vector<Cut> out;
    for (size_t t = 0; t < txns_.size(); ++t) {
        for (size_t w = 0; w < txns_[t].writes.size(); ++w) {
            const std::uint32_t n = txns_[t].writes[w].sectors();
            for (std::uint32_t s = 1; s <= n; ++s) out.push_back({t, w, s, s < n});
        }
    }
    return out;
}

CrashState Workload::at(const Cut& c) const {
    CrashState s;
    s.layout = layout_;
    Bytes set = before_[c.txn];
    const Transaction& tx = txns_[c.txn];
    for (size_t w = 0; w <= c.write; ++w) {
        const Write& wr = tx.writes[w];
        const bool whole = w < c.write || !c.torn;
        apply(set, wr, whole ? wr.bytes.size() : size_t(c.sectors) * kSector);
        if (whole && wr.kind == Write::Page) s.inflight[wr.logical] = wr.phys;
    }
    s.inflightPage = tx.newPhys;
    s.committed = committed_[c.txn];
    s.types = types_;
    s.main.assign(set.begin(), set.begin() + std::ptrdiff_t(split_));
    s.ext.assign(set.begin() + std::ptrdiff_t(split_), set.end());
    return s;
}

}  // namespace crashlab
