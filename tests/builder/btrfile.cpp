#include "builder/btrfile.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "builder/bytes.h"

namespace tbuild {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::vector<int> copiesOf(int copy) {
    if (copy == -1) return {0, 1};
    if (copy != 0 && copy != 1) fail("copy must be 0 or 1");
    return {copy};
}

void need(const std::vector<std::uint8_t>& buf, std::uint32_t offset, std::uint32_t width) {
    if (static_cast<std::uint64_t>(offset) + width > buf.size()) {
        fail("offset " + std::to_string(offset) + " lies outside a " + std::to_string(buf.size()) +
             "-byte page");
    }
}

}  // namespace

std::uint32_t defaultPageCount(std::uint16_t version, std::uint32_t logicalPages) {
    if (version >= 0x0800) return logicalPages + 1;
    return logicalPages > 0 ? logicalPages - 1 : 0;
}

std::uint16_t generatedType(const Layout& l, TypeMix mix, std::uint32_t logical) {
    if (mix == TypeMix::AllData) return 0x44;
    switch (logical % 10) {
        case 3: {
            // Index pages carry the key number in their low bits.
            std::uint16_t key = static_cast<std::uint16_t>((logical / 10) % 4);
            return static_cast<std::uint16_t>((l.version < 0x0800 ? 0x80 : 0x8000) | key);
        }
        case 7:
            return 0x56;  // 'V' variable-length record page
        default:
            break;
    }
    if (logical % 20 == 9) return 0x41;  // 'A', an other page
    return 0x44;
}

std::uint16_t generatedUsage(std::uint16_t type, std::uint32_t logical) {
    auto count = static_cast<std::uint16_t>(1 + logical % 5);
    return type == 0x44 ? static_cast<std::uint16_t>(0x8000 | count) : count;
}

BtrFile::BtrFile(const Layout& layout) : layout_(layout) {
    if (layout_.pageUnit == 0 || layout_.patPageSize == 0) fail("page size must not be zero");
    for (auto& f : fcr_) f.assign(layout_.patPageSize, 0);
    size_ = 2ull * layout_.patPageSize;
}

// ---------------------------------------------------------------- FCR

void BtrFile::fcrPut8(int copy, std::uint32_t offset, std::uint32_t v) {
    for (int c : copiesOf(copy)) {
        auto& b = fcr(c);
        need(b, offset, 1);
        b[offset] = static_cast<std::uint8_t>(v & 0xFF);
    }
}

void BtrFile::fcrPut16(int copy, std::uint32_t offset, std::uint32_t v) {
    for (int c : copiesOf(copy)) {
        auto& b = fcr(c);
        need(b, offset, 2);
        putLe16(b.data() + offset, v);
    }
}

void BtrFile::fcrPut32(int copy, std::uint32_t offset, std::uint32_t v) {
    for (int c : copiesOf(copy)) {
        auto& b = fcr(c);
        need(b, offset, 4);
        putLe32(b.data() + offset, v);
    }
}

void BtrFile::setFcrUsage(int copy, std::uint32_t usage) {
    fcrPut32(copy, layout_.usageOffset, usage);
}

void BtrFile::setStoredVersion(std::uint16_t stored, FcrStyle style, int copy) {
    if (style == FcrStyle::Auto) {
        style = foldVersion(stored) >= 0x0600 ? FcrStyle::Signature : FcrStyle::Zero;
    }
    if (style == FcrStyle::Signature) {
        fcrPut8(copy, 0, 'F');
        fcrPut8(copy, 1, 'C');
        fcrPut16(copy, 74, stored);
    } else {
        // The first word must read zero; the version code then sits at 6,
        // over the upper half of a 6.x usage count or the lower half of an
        // 8.x one.
        fcrPut32(copy, 0, 0);
        fcrPut16(copy, 6, stored);
    }
}

void BtrFile::setPageSizeField(std::uint32_t pageSize, int copy) {
    fcrPut8(copy, layout_.version < 0x0800 ? 9 : 43, pageSize / 256);
}

void BtrFile::setPageCount(std::uint32_t count, int copy) {
    // Stored high half first up to 9.50.
    fcrPut32(copy, 38, layout_.version <= 0x0950 ? exchangeHalves(count) : count);
}

void BtrFile::setLastPair(std::uint32_t pair, int copy) {
    if (layout_.version < 0x0700) {
        fcrPut16(copy, 76, pair);
    } else {
        fcrPut32(copy, 76, pair);
    }
}

void BtrFile::setEncryption(const std::array<std::uint8_t, 9>& mask, int copy) {
    for (int c : copiesOf(copy)) {
        auto& b = fcr(c);
        need(b, 55, 1);
        std::copy(mask.begin(), mask.end(), b.begin() + 46);
        b[55] = static_cast<std::uint8_t>(b[55] | 0x02);
    }
    maskUsage_ = layout_.headerSize >= 8;
    usageMask_ = static_cast<std::uint16_t>(mask[0] | (mask[1] << 8));
}

void BtrFile::setCompressionFlag(std::uint32_t compressedPageSize, int copy) {
    std::uint32_t flags = layout_.version == 0x0950 ? 400 : 156;
    for (int c : copiesOf(copy)) {
        auto& b = fcr(c);
        need(b, flags, 2);
        putLe16(b.data() + flags, le16(b.data() + flags) | 0x2000u);
        need(b, 80, 2);
        putLe16(b.data() + 80, compressedPageSize);
    }
}

int BtrFile::currentFcr() const {
    std::uint32_t u0 = le32(fcr_[0].data() + layout_.usageOffset);
    std::uint32_t u1 = le32(fcr_[1].data() + layout_.usageOffset);
    return u0 < u1 ? 1 : 0;
}

// ---------------------------------------------------------------- PAT

void BtrFile::addPair(std::uint32_t usage0, std::uint32_t usage1) {
    if (!layout_.hasPat()) fail("files before 6.x have no PAT");
    std::uint32_t n = pairCount() + 1;
    pats_.emplace_back(layout_.patPageSize, 0);
    pats_.emplace_back(layout_.patPageSize, 0);
    for (int c = 0; c < 2; ++c) {
        writePatHeader(n, c, n);
        setPatUsage(n, c, c == 0 ? usage0 : usage1);
        PageId unused = unusedEntry();
        for (std::uint32_t j = 0; j < layout_.slotsOnDisk(); ++j) setEntry(n, c, j, unused);
    }
    size_ = std::max<std::uint64_t>(size_, pairOffset(layout_, n) + 2ull * layout_.patPageSize);
}

std::vector<std::uint8_t>& BtrFile::pat(std::uint32_t pair, int copy) {
    if (pair == 0 || pair > pairCount() || (copy != 0 && copy != 1)) {
        fail("no PAT pair " + std::to_string(pair) + " copy " + std::to_string(copy));
    }
    return pats_[2 * (pair - 1) + static_cast<std::size_t>(copy)];
}

const std::vector<std::uint8_t>& BtrFile::pat(std::uint32_t pair, int copy) const {
    return const_cast<BtrFile*>(this)->pat(pair, copy);
}

int BtrFile::currentCopy(std::uint32_t pair) const {
    std::uint32_t u0 = le32(pat(pair, 0).data() + layout_.usageOffset);
    std::uint32_t u1 = le32(pat(pair, 1).data() + layout_.usageOffset);
    return u1 >= u0 ? 1 : 0;
}

int BtrFile::resolveCopy(std::uint32_t pair, CopySel sel) const {
    switch (sel) {
        case CopySel::Current:
            return currentCopy(pair);
        case CopySel::Other:
            return 1 - currentCopy(pair);
        case CopySel::Copy0:
            return 0;
        case CopySel::Copy1:
            return 1;
        case CopySel::Both:
            return -1;
    }
    return -1;
}

void BtrFile::setPatUsage(std::uint32_t pair, int copy, std::uint32_t usage) {
    for (int c : copiesOf(copy)) putLe32(pat(pair, c).data() + layout_.usageOffset, usage);
}

void BtrFile::writePatHeader(std::uint32_t pair, int copy, std::uint32_t number) {
    for (int c : copiesOf(copy)) {
        auto& b = pat(pair, c);
        switch (layout_.patStyle) {
            case PatStyle::V6:
                b[0] = 'P';
                b[1] = 'P';
                break;
            case PatStyle::V7:
                b[1] = 'P';
                break;
            case PatStyle::V8:
                b[3] = 'P';
                b[4] = 'P';
                break;
            case PatStyle::None:
                break;
        }
    }
    writePatNumber(pair, copy, number);
}

void BtrFile::writePatNumber(std::uint32_t pair, int copy, std::uint32_t number) {
    for (int c : copiesOf(copy)) {
        auto& b = pat(pair, c);
        switch (layout_.patStyle) {
            case PatStyle::V6:
                putLe16(b.data() + 2, number & 0xFFFF);
                break;
            case PatStyle::V7:
                b[0] = static_cast<std::uint8_t>((number >> 16) & 0xFF);
                putLe16(b.data() + 2, number & 0xFFFF);
                break;
            case PatStyle::V8:
                putLe16(b.data(), number & 0xFFFF);
                b[2] = static_cast<std::uint8_t>((number >> 16) & 0xFF);
                break;
            case PatStyle::None:
                break;
        }
    }
}

void BtrFile::checkSlot(std::uint32_t slot) const {
    if (slot >= layout_.slotsOnDisk()) {
        fail("entry slot " + std::to_string(slot) + " does not fit a " +
             std::to_string(layout_.patPageSize) + "-byte PAT page");
    }
}

PageId BtrFile::entry(std::uint32_t pair, int copy, std::uint32_t slot) const {
    checkSlot(slot);
    return decodeEntry(layout_, pat(pair, copy).data() + slotOffset(layout_, slot));
}

void BtrFile::setEntry(std::uint32_t pair, int copy, std::uint32_t slot, PageId e) {
    checkSlot(slot);
    for (int c : copiesOf(copy)) {
        encodeEntry(layout_, e, pat(pair, c).data() + slotOffset(layout_, slot));
    }
}

PageId BtrFile::entryOf(std::uint32_t logical) const {
    std::uint32_t pair = pairOfLogical(layout_, logical);
    return entry(pair, currentCopy(pair), slotOfLogical(layout_, logical));
}

void BtrFile::setEntryOf(std::uint32_t logical, PageId e, CopySel sel) {
    if (logical == 0) fail("logical pages are numbered from 1");
    std::uint32_t pair = pairOfLogical(layout_, logical);
    setEntry(pair, resolveCopy(pair, sel), slotOfLogical(layout_, logical), e);
}

PageId BtrFile::unusedEntry() const {
    return layout_.wideEntries() ? PageId{layout_.freeSpacePointer(), 0} : PageId{0, 0};
}

// ---------------------------------------------------------------- pages

std::uint32_t BtrFile::physicalPages() const {
    if (size_ == 0) return 0;
    return pageAtOrBefore(layout_, size_ - 1) + 1;
}

const PageRecord* BtrFile::page(std::uint32_t phys) const {
    if (phys >= pages_.size() || !pages_[phys].present) return nullptr;
    return &pages_[phys];
}

void BtrFile::setPage(std::uint32_t phys, PageId header, std::uint16_t usage) {
    if (phys >= pages_.size()) pages_.resize(static_cast<std::size_t>(phys) + 1);
    pages_[phys] = PageRecord{header.id, header.type, usage, true};
}

void BtrFile::setUsage(std::uint32_t phys, std::uint16_t usage) {
    if (phys >= pages_.size() || !pages_[phys].present) {
        setPage(phys, PageId{}, usage);
    } else {
        pages_[phys].usage = usage;
    }
}

void BtrFile::clearPage(std::uint32_t phys) {
    if (phys < pages_.size()) pages_[phys] = PageRecord{};
}

bool BtrFile::reserved(std::uint32_t phys) const {
    std::uint64_t start = pageOffset(layout_, phys);
    std::uint64_t end = start + layout_.pageUnit;
    std::uint64_t fcrEnd = layout_.hasPat() ? pairOffset(layout_, 1) : layout_.patPageSize;
    if (start < fcrEnd) return true;
    // The last pair that starts before the page ends is the only one that
    // can overlap it.
    std::uint32_t lo = 1, hi = pairCount();
    std::uint32_t found = 0;
    while (lo <= hi && hi != 0) {
        std::uint32_t mid = lo + (hi - lo) / 2;
        if (pairOffset(layout_, mid) < end) {
            found = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    if (found == 0) return false;
    return pairOffset(layout_, found) + 2ull * layout_.patPageSize > start;
}

std::uint32_t BtrFile::nextUnreserved(std::uint32_t phys) const {
    while (reserved(phys)) ++phys;
    return phys;
}

std::uint32_t BtrFile::appendPage(PageId header, std::uint16_t usage) {
    auto phys = static_cast<std::uint32_t>(pages_.size());
    phys = std::max(phys, physicalPages());
    phys = nextUnreserved(phys);
    setPage(phys, header, usage);
    size_ = std::max(size_, pageOffset(layout_, phys) + layout_.pageUnit);
    return phys;
}

std::uint32_t BtrFile::home(std::uint32_t logical) const {
    if (logical == 0 || logical > home_.size()) return 0;
    return home_[logical - 1];
}

void BtrFile::setHome(std::uint32_t logical, std::uint32_t phys) {
    if (logical == 0) fail("logical pages are numbered from 1");
    if (logical > home_.size()) home_.resize(logical, 0);
    home_[logical - 1] = phys;
}

// ---------------------------------------------------------------- raw bytes

void BtrFile::poke(std::uint64_t offset, std::uint8_t value) {
    pokes_[offset] = value;
}

void BtrFile::poke16(std::uint64_t offset, std::uint32_t value) {
    std::uint8_t b[2];
    putLe16(b, value);
    for (int i = 0; i < 2; ++i) poke(offset + static_cast<std::uint64_t>(i), b[i]);
}

void BtrFile::poke32(std::uint64_t offset, std::uint32_t value) {
    std::uint8_t b[4];
    putLe32(b, value);
    for (int i = 0; i < 4; ++i) poke(offset + static_cast<std::uint64_t>(i), b[i]);
}

void BtrFile::fill(std::uint64_t offset, std::uint64_t length, std::uint8_t value) {
    for (std::uint64_t i = 0; i < length; ++i) poke(offset + i, value);
}

// ---------------------------------------------------------------- rendering

void BtrFile::paint(std::uint64_t at, const std::uint8_t* src, std::size_t len, std::uint64_t off,
                    std::uint8_t* out, std::size_t n) const {
    std::uint64_t lo = std::max(at, off);
    std::uint64_t hi = std::min(at + len, off + n);
    if (lo >= hi) return;
    std::memcpy(out + (lo - off), src + (lo - at), static_cast<std::size_t>(hi - lo));
}

void BtrFile::render(std::uint64_t off, std::uint8_t* out, std::size_t n) const {
    std::memset(out, 0, n);
    if (off >= size_) return;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - off));
    std::uint64_t end = off + n;
    const std::uint64_t pp = layout_.patPageSize;

    paint(0, fcr_[0].data(), fcr_[0].size(), off, out, n);
    paint(pp, fcr_[1].data(), fcr_[1].size(), off, out, n);

    // PAT pairs: find the first pair that ends after off.
    std::uint32_t lo = 1, hi = pairCount(), first = pairCount() + 1;
    while (lo <= hi && hi != 0) {
        std::uint32_t mid = lo + (hi - lo) / 2;
        if (pairOffset(layout_, mid) + 2 * pp > off) {
            first = mid;
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    for (std::uint32_t p = first; p <= pairCount(); ++p) {
        std::uint64_t at = pairOffset(layout_, p);
        if (at >= end) break;
        paint(at, pat(p, 0).data(), pp, off, out, n);
        paint(at + pp, pat(p, 1).data(), pp, off, out, n);
    }

    // Page headers and usage counts.
    std::uint8_t head[24];
    const std::uint32_t hs = layout_.headerSize;
    for (std::uint64_t p = pageAtOrBefore(layout_, off); p < pages_.size(); ++p) {
        std::uint64_t at = pageOffset(layout_, static_cast<std::uint32_t>(p));
        if (at >= end) break;
        const PageRecord& r = pages_[static_cast<std::size_t>(p)];
        if (!r.present) continue;
        std::memset(head, 0, sizeof head);
        encodeHeader(layout_, PageId{r.id, r.type}, head);
        std::uint16_t usage =
            maskUsage_ ? static_cast<std::uint16_t>(r.usage ^ usageMask_) : r.usage;
        putLe16(head + hs, usage);
        paint(at, head, hs + 2, off, out, n);
    }

    for (auto it = pokes_.lower_bound(off); it != pokes_.end() && it->first < end; ++it) {
        out[it->first - off] = it->second;
    }
}

std::vector<std::uint8_t> BtrFile::read(std::uint64_t offset, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    render(offset, out.data(), n);
    return out;
}

std::vector<std::uint8_t> BtrFile::bytes() const {
    return read(0, static_cast<std::size_t>(size_));
}

void BtrFile::stream(ByteSink& sink, std::size_t window) const {
    std::vector<std::uint8_t> buf(window);
    for (std::uint64_t off = 0; off < size_; off += window) {
        auto len = static_cast<std::size_t>(std::min<std::uint64_t>(window, size_ - off));
        render(off, buf.data(), len);
        bool zero = std::all_of(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len),
                                [](std::uint8_t b) { return b == 0; });
        if (zero) {
            sink.skip(len);
        } else {
            sink.write(buf.data(), len);
        }
    }
}

// ---------------------------------------------------------------- generator

namespace {

// Deterministic shuffle, the same on every platform and library.
void shuffle(std::vector<std::uint32_t>& v, std::uint32_t seed) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (std::size_t i = v.size(); i > 1; --i) {
        std::size_t j = static_cast<std::size_t>(next() % i);
        std::swap(v[i - 1], v[j]);
    }
}

}  // namespace

BtrFile makeHealthy(const FileParams& s) {
    if (s.pageSize < 512 || s.pageSize % 256 != 0 || s.pageSize > 0xFF00) {
        fail("page size " + std::to_string(s.pageSize) + " is not a multiple of 256 from 512");
    }
    std::uint16_t version = foldVersion(s.storedVersion);
    std::uint32_t compressed = version >= 0x0950 ? s.compressedPageSize : 0;
    Layout l = makeLayout(version, s.pageSize, compressed);
    BtrFile f(l);
    const int curFcr = s.fcrCurrent == 1 ? 1 : 0;
    const bool pat = l.hasPat();
    const int fcrCopies = pat ? -1 : 0;

    // FCR fields. The usage counts go first: a zero-style version code
    // overlaps them.
    if (pat) {
        f.setFcrUsage(curFcr, 2);
        f.setFcrUsage(1 - curFcr, 1);
    }
    f.setStoredVersion(s.storedVersion, s.fcrStyle, fcrCopies);
    f.setPageSizeField(s.pageSize, fcrCopies);
    f.setPageCount(s.pageCount ? *s.pageCount : defaultPageCount(version, s.logicalPages),
                   fcrCopies);
    if (s.encrypted) f.setEncryption(s.mask, fcrCopies);
    if (compressed != 0) f.setCompressionFlag(compressed, fcrCopies);

    if (!pat) {
        // Before 6.x there is no PAT: the FCR page and plain pages after it.
        f.setSize(static_cast<std::uint64_t>(s.pageSize) * (1ull + s.logicalPages));
        return f;
    }
    if (l.entriesPerPage == 0) fail("no PAT entry count for " + l.describe());
    std::uint32_t needed = (s.logicalPages + l.entriesPerPage - 1) / l.entriesPerPage;
    std::uint32_t pairs = std::max({s.pairs, needed, 1u});
    f.setLastPair(pairs, -1);
    const std::uint32_t usageCur = 2, usageOther = 1;
    for (std::uint32_t n = 1; n <= pairs; ++n) {
        if (s.patCurrent == 1) {
            f.addPair(usageOther, usageCur);
        } else {
            f.addPair(usageCur, usageOther);
        }
    }
    if (s.logicalPages > 0) {
        std::uint32_t lastSlot = slotOfLogical(l, std::min(s.logicalPages, l.entriesPerPage));
        if (lastSlot >= l.slotsOnDisk()) {
            fail("logical pages need entry slots beyond the PAT page for " + l.describe());
        }
    }

    std::vector<std::uint32_t> phys;
    phys.reserve(s.logicalPages);
    std::uint32_t p = pageAtOrBefore(l, pairOffset(l, 1));
    while (phys.size() < s.logicalPages) {
        p = f.nextUnreserved(p);
        phys.push_back(p++);
    }
    if (s.scatter) shuffle(phys, s.seed);
    for (std::uint32_t logical = 1; logical <= s.logicalPages; ++logical) {
        std::uint32_t at = phys[logical - 1];
        std::uint16_t type = generatedType(l, s.mix, logical);
        f.setPage(at, PageId{logical, type}, generatedUsage(type, logical));
        f.setHome(logical, at);
        f.setEntryOf(logical, PageId{at, type}, CopySel::Both);
        f.setSize(std::max(f.size(), pageOffset(l, at) + l.pageUnit));
    }
    return f;
}

}  // namespace tbuild
