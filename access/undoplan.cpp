#include "access/undoplan.h"

#include <algorithm>

#include "format/geometry.h"
#include "format/pat.h"

namespace tabulon {

UndoPlan::UndoPlan(BtrieveFile& file, uint64_t groupBytes) : file_(file), groupBytes_(groupBytes) {}

uint32_t UndoPlan::identitySpan() {
    // Both FCR copies; a pre-6.x file keeps one FCR in its first page.
    const FileGeometry& g = file_.geometry();
    if (g.versionCode >= version::v600 && g.patPageSize != 0) return 2u * g.patPageSize;
    return g.pageSize != 0 ? g.pageSize : 512u;
}

void UndoPlan::identityGeometry(uint16_t* versionCode, uint16_t* pageSize, uint16_t* patPageSize) {
    const FileGeometry& g = file_.geometry();
    *versionCode = g.versionCode;
    *pageSize = g.pageSize;
    *patPageSize = g.patPageSize;
}

bool UndoPlan::fingerprint(const std::vector<std::pair<uint64_t, uint32_t>>& blocks,
                           uint32_t* crc) {
    const FileGeometry& g = file_.geometry();
    FileSet& set = file_.fileSet();
    std::vector<uint8_t> bytes(identitySpan());
    if (!readSetSpan(set, 0, bytes.data(), bytes.size())) return false;
    uint32_t c = crc32(bytes.data(), bytes.size());
    if (g.versionCode >= version::v600 && g.patPageSize != 0) {
        std::vector<std::pair<uint64_t, uint32_t>> sorted(blocks);
        std::sort(sorted.begin(), sorted.end());
        auto journaled = [&](uint64_t at) {
            auto it = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(at, 0u));
            return it != sorted.end() && it->first == at;
        };
        const uint64_t end = set.totalSize();
        const uint32_t last = patPairStride(g) == 0 ? 1 : file_.lastPatPair();
        bytes.resize(g.patPageSize);
        for (uint32_t m = 1; m != 0 && m <= last; ++m) {
            const uint64_t at = patPairOffset(g, m);
            if (at + 2 * uint64_t(g.patPageSize) > end) break;
            for (int k = 0; k < 2; ++k) {
                const uint64_t copy = at + uint64_t(k) * g.patPageSize;
                if (journaled(copy)) continue;
                if (!readSetSpan(set, copy, bytes.data(), bytes.size())) return false;
                c = crc32(bytes.data(), bytes.size(), c);
            }
        }
    }
    *crc = c;
    return true;
}

bool UndoPlan::blockPlanned(uint64_t offset, uint32_t length) const {
    const FileGeometry& g = file_.geometry();
    const FileSet& set = file_.fileSet();
    uint16_t member;
    uint64_t rest;
    set.mapOffset(offset, &member, &rest);
    if (length == 0 || member >= set.memberCount() || rest > set.memberSize(member) ||
        length > set.memberSize(member) - rest) {
        return false;
    }
    if (const uint32_t pair = pairAt(offset); pair != 0) {
        const uint64_t at = patPairOffset(g, pair);
        const uint64_t copy = offset < at + g.patPageSize ? at : at + g.patPageSize;
        if (offset + length > copy + g.patPageSize) return false;
        // A copy that runs past its member's end is journaled up to it, and
        // a write into its part in the next member on its own.
        if (offset == copy)
            return length == g.patPageSize || length == set.memberSize(member) - rest;
        return offset - rest > copy;
    }
    if (length != uint32_t(g.headerSize) || overlapsFcrOrPat(g, offset, length)) return false;
    const uint64_t unit = pageUnit(g);
    if (unit == 0) return false;
    // The page at the offset, with and without the 6.x shift.
    for (uint64_t back : {uint64_t(0), uint64_t(4096)}) {
        if (offset < back) continue;
        const uint64_t q = (offset - back) / unit;
        if (q <= UINT32_MAX && pageOffset(g, uint32_t(q)) == offset) return true;
    }
    return false;
}

uint32_t UndoPlan::pairAt(uint64_t offset) const {
    const FileGeometry& g = file_.geometry();
    if (g.versionCode < version::v600 || g.patPageSize == 0) return 0;
    const uint64_t first = patPairOffset(g, 1);
    if (offset < first) return 0;
    const uint64_t pairBytes = 2 * uint64_t(g.patPageSize);
    const uint64_t stride = uint32_t(patPairStride(g));
    auto holds = [&](uint64_t n) {
        if (n < 1 || n > UINT32_MAX) return false;
        const uint64_t at = patPairOffset(g, uint32_t(n));
        return offset >= at && offset < at + pairBytes;
    };
    if (stride == 0) return holds(1) ? 1 : 0;
    // The pair at or before the offset, with and without the 4096-byte gap
    // of 6.x files, and its neighbours.
    const uint64_t n = (offset - first) / stride + 1;
    for (uint64_t d = 0; d < 3; ++d) {
        if (holds(n + d)) return uint32_t(n + d);
        if (n > d && holds(n - d)) return uint32_t(n - d);
    }
    return 0;
}

void UndoPlan::blocksFor(uint64_t offset, size_t n, std::vector<JournalBlock>* blocks) {
    const FileGeometry& g = file_.geometry();
    const uint32_t pair = pairAt(offset);
    if (pair == 0) {
        JournalBlock own;
        own.offset = offset;
        own.length = uint32_t(n);
        blocks->push_back(own);
        return;
    }
    // A PAT copy changes in its header fields and entry slots; its usage
    // count is never written with another value.
    const uint64_t pairBytes = 2 * uint64_t(g.patPageSize);
    const uint64_t stride = uint32_t(patPairStride(g));
    uint64_t pairs = std::max<uint64_t>(1, groupBytes_ / pairBytes);
    const uint32_t last = file_.lastPatPair();
    if (stride == 0) pairs = 1;
    const uint64_t end = file_.fileSet().totalSize();
    for (uint64_t m = pair; m < uint64_t(pair) + pairs && m <= UINT32_MAX; ++m) {
        if (m > pair && m > last) break;
        const uint64_t at = patPairOffset(g, uint32_t(m));
        if (at >= end) break;
        for (int c = 0; c < 2; ++c) {
            JournalBlock b;
            b.offset = at + uint64_t(c) * g.patPageSize;
            b.length = g.patPageSize;
            b.kept.emplace_back(uint32_t(g.usageOffset), 4u);
            blocks->push_back(b);
        }
    }
    (void)n;
}

}  // namespace tabulon
