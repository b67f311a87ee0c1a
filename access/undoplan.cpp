#include "access/undoplan.h"

#include <algorithm>

#include "format/geometry.h"

namespace tabulon {

UndoPlan::UndoPlan(BtrieveFile& file, uint64_t groupBytes) : file_(file), groupBytes_(groupBytes) {}

uint32_t UndoPlan::identitySpan() {
    // Both FCR copies; a pre-6.x file keeps one FCR in its first page.
    const FileGeometry& g = file_.geometry();
    if (g.versionCode >= version::v600 && g.patPageSize != 0) return 2u * g.patPageSize;
    return g.pageSize != 0 ? g.pageSize : 512u;
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
