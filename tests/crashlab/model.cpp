#include "crashlab/model.h"

#include <algorithm>
#include <cstdio>

namespace crashlab {

namespace {

constexpr std::uint32_t kSecondPair = 150;  // logical pages of PAT pair 2 at the start
constexpr std::uint32_t kStalePages = 3;    // free pages holding older versions at the start
constexpr std::uint32_t kZeroPages = 6;     // free pages with zero headers at the start
constexpr std::uint32_t kGrowth = 4;        // logical pages a growing transaction adds
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

// The usage word a zero-header free page keeps from its earlier life: none,
// a low count, a high one, or any value.
std::uint16_t leftOverUsage(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0: return 0;
        case 1: return std::uint16_t(1 + rng() % 8);
        case 2: return std::uint16_t(0xF000 | (rng() & 0x0FFF));
        default: return std::uint16_t(rng());
    }
}

// The first n bytes of a write, into the main file or, past its end
// (`split`), extension file 1; no write crosses that end.
void apply(Bytes& main, Bytes& ext, std::uint64_t split, const Write& w, size_t n) {
    Bytes& file = w.offset < split ? main : ext;
    const std::uint64_t at = w.offset < split ? w.offset : w.offset - split;
    if (file.size() < at + n) file.resize(size_t(at + n), 0);
    std::copy(w.bytes.begin(), w.bytes.begin() + std::ptrdiff_t(n),
              file.begin() + std::ptrdiff_t(at));
}

}  // namespace

std::string FileKind::family() const {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", unsigned(version));
    return b;
}

const std::vector<FileKind>& fileKinds() {
    static const std::vector<FileKind> kinds = {
        {"0600-1k", 0x0600, 1024, false},    {"0600-4k", 0x0600, 4096, false},
        {"0600-1k-gap", 0x0600, 1024, true}, {"0800-1k", 0x0800, 1024, false},
        {"0800-4k", 0x0800, 4096, false},    {"0950-1k", 0x0950, 1024, false},
        {"0950-4k", 0x0950, 4096, false},    {"0D00-2k", 0x0D00, 2048, false},
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

Workload::Workload(const FileKind& kind, Order order, std::uint32_t seed)
    : kind_(kind), order_(order) {
    first_ = tbuild::makeLayout(kind.version, kind.pageSize).entriesPerPage;
    tbuild::FileParams p;
    p.storedVersion = kind.version;
    p.pageSize = kind.pageSize;
    p.logicalPages = first_ + kSecondPair;
    p.pairs = pairs_ = kind.gap ? 32 : 2;
    tbuild::BtrFile disk = tbuild::makeHealthy(p);
    layout_ = disk.layout();
    // Each kind and order its own draws.
    std::seed_seq seeds{seed, std::uint32_t(kind.version), kind.pageSize, std::uint32_t(kind.gap),
                        std::uint32_t(order)};
    std::mt19937 rng(seeds);
    std::map<std::uint32_t, std::uint32_t> committed;
    for (std::uint32_t l = 1; l <= p.logicalPages; ++l) {
        const std::uint32_t phys = disk.home(l);
        const tbuild::PageRecord* r = disk.page(phys);
        types_[l] = r->type;
        committed[l] = phys;
        disk.setUsage(phys, std::uint16_t(r->usage + 2));
    }
    // Free pages at the end of the file: older versions of some pages, left
    // by earlier updates, and pages whose header is zero but whose usage
    // word is left from an earlier life.
    for (std::uint32_t k = 0; k < kStalePages + kZeroPages; ++k) {
        if (k % 3 != 0) {
            const std::uint32_t phys = disk.nextUnreserved(disk.physicalPages());
            disk.setUsage(phys, leftOverUsage(rng));
            disk.setSize(tbuild::pageOffset(layout_, phys) + layout_.pageUnit);
            free_.push_back(phys);
            continue;
        }
        const std::uint32_t l = 1 + rng() % p.logicalPages;
        const std::uint16_t usage = std::uint16_t(disk.page(committed[l])->usage - 1);
        free_.push_back(disk.appendPage(tbuild::PageId{l, types_[l]}, usage));
    }
    initial_ = disk.bytes();
    split_ = disk.size();
    for (size_t t = 0; t < kTransactions; ++t) {
        committed_.push_back(committed);
        txns_.push_back(plan(disk, t, rng));
        for (const auto& [l, phys] : txns_.back().newPhys) {
            if (committed.count(l)) free_.push_back(committed[l]);
            committed[l] = phys;
        }
    }
    committed_.push_back(committed);
}

Transaction Workload::plan(tbuild::BtrFile& disk, size_t t, std::mt19937& rng) {
    Transaction tx;
    tbuild::BtrFile next = disk;
    const auto count = std::uint32_t(types_.size());
    const std::uint32_t k = 2 + rng() % 3;
    // A free page for each new version, any of them (the one freed last as
    // likely as the oldest), or a page appended to the file.
    auto place = [&](std::uint32_t l, std::uint16_t usage) {
        const tbuild::PageId header{l, types_[l]};
        if (free_.empty()) {
            ++appended_;
            return next.appendPage(header, usage);
        }
        const size_t at = rng() % free_.size();
        const std::uint32_t phys = free_[at];
        free_.erase(free_.begin() + std::ptrdiff_t(at));
        next.setPage(phys, header, usage);
        return phys;
    };
    // The pages changed lie in either PAT pair.
    while (tx.newPhys.size() < k) {
        const std::uint32_t l =
            rng() % 2 ? 1 + rng() % first_ : first_ + 1 + rng() % (count - first_);
        if (tx.newPhys.count(l)) continue;
        tx.newPhys[l] = place(l, nextUsage(disk.page(disk.entryOf(l).id)->usage, types_[l]));
    }
    // Every other transaction adds logical pages (to pair 2); when no page
    // is free the file grows into its extension.
    const bool grow = t % 2 == 1;
    for (std::uint32_t l = count + 1; grow && l <= count + kGrowth; ++l) {
        types_[l] = tbuild::generatedType(layout_, tbuild::TypeMix::Mixed, l);
        tx.newPhys[l] = place(l, tbuild::generatedUsage(types_[l], l));
    }
    const tbuild::Layout& lay = layout_;
    for (const auto& [l, phys] : tx.newPhys) {
        const std::uint64_t at = tbuild::pageOffset(lay, phys);
        tx.writes.push_back({Write::Page, at, next.read(at, lay.pageUnit), l, phys});
    }
    // In each pair the transaction touches, the PAT copy that is not current
    // gets the current copy's entries and the new ones, one usage above.
    std::map<std::uint32_t, std::vector<std::uint32_t>> pairs;
    for (const auto& [l, phys] : tx.newPhys) pairs[tbuild::pairOfLogical(lay, l)].push_back(l);
    for (const auto& [pair, logicals] : pairs) {
        const int cur = disk.currentCopy(pair), other = 1 - cur;
        next.pat(pair, other) = next.pat(pair, cur);
        for (std::uint32_t l : logicals) {
            next.setEntry(pair, other, tbuild::slotOfLogical(lay, l),
                          tbuild::PageId{tx.newPhys[l], types_[l]});
        }
        next.setPatUsage(pair, other, le32(disk.pat(pair, cur), lay.usageOffset) + 1);
        const std::uint64_t at =
            tbuild::pairOffset(lay, pair) + std::uint64_t(other) * lay.patPageSize;
        tx.writes.push_back({Write::Pat, at, next.read(at, lay.patPageSize), pair, 0});
    }
    // Then the FCR copy that is not current, with the page count when pages were added.
    const int fcur = disk.currentFcr(), fother = 1 - fcur;
    next.fcr(fother) = next.fcr(fcur);
    next.setFcrUsage(fother, le32(disk.fcr(fcur), lay.usageOffset) + 1);
    if (grow) next.setPageCount(tbuild::defaultPageCount(lay.version, count + kGrowth), fother);
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
    s.main = initial_;
    for (size_t t = 0; t < c.txn; ++t) {
        for (const Write& w : txns_[t].writes) apply(s.main, s.ext, split_, w, w.bytes.size());
    }
    const Transaction& tx = txns_[c.txn];
    for (size_t w = 0; w <= c.write; ++w) {
        const Write& wr = tx.writes[w];
        const bool whole = w < c.write || !c.torn;
        apply(s.main, s.ext, split_, wr, whole ? wr.bytes.size() : size_t(c.sectors) * kSector);
        if (whole && wr.kind == Write::Page) s.inflight[wr.logical] = wr.phys;
    }
    s.logicalPages = std::uint32_t(types_.size());
    s.pairs = pairs_;
    s.types = types_;
    if (c.write + 1 == tx.writes.size() && !c.torn) {
        // The transaction is done: its versions are the last complete ones.
        s.committed = committed_[c.txn + 1];
        s.inflight.clear();
    } else {
        s.committed = committed_[c.txn];
        s.inflightPage = tx.newPhys;
    }
    return s;
}

}  // namespace crashlab
