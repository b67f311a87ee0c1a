#include <cinttypes>
#include <cstdio>

#include "check/scan.h"
#include "cli/options.h"
#include "fileio/cache.h"
#include "format/geometry.h"
#include "format/pat.h"

bool isIndexType(uint16_t t) {
    return (t & pagetype::indexBits) != 0;
}

void countByClass(uint16_t t, uint32_t& data, uint32_t& index, uint32_t& other) {
    if (t == pagetype::data || t == pagetype::dataWide) {
        ++data;
    } else if (isIndexType(t)) {
        ++index;
    } else {
        ++other;
    }
}

namespace {

void countProblem(uint16_t classification) {
    ScanCounters& c = scanCounters;
    ++c.totalProblems;
    countByClass(classification, c.dataProblems, c.indexProblems, c.otherProblems);
}

// Whether a page header written at this offset would land in the FCR copies or
// in either copy of a PAT pair: such a write would destroy the table itself.
bool overlapsFcrOrPat(uint64_t offset, uint64_t size) {
    const FileGeometry& g = fileGeometry;
    const uint64_t first = patPairOffsetQuiet(1);
    if (offset < first) return true;
    const uint64_t pairBytes = 2 * uint64_t(g.patPageSize);
    const uint64_t stride = uint32_t(patPairStrideQuiet());
    auto overlaps = [&](uint64_t n) {
        if (n < 1 || n > UINT32_MAX) return false;
        uint64_t at = patPairOffsetQuiet(uint32_t(n));
        return offset < at + pairBytes && offset + size > at;
    };
    if (stride == 0) return overlaps(1);
    // The pair whose start lies at or before the offset, with and without the
    // 4096-byte gap of 6.x files, and its neighbours.
    uint64_t n = (offset - first) / stride + 1;
    for (uint64_t d = 0; d < 3; ++d) {
        if (overlaps(n + d) || (n > d && overlaps(n - d))) return true;
    }
    return false;
}

}  // namespace

void handleEntryMismatch(uint32_t L, uint32_t p, uint16_t t, PageHeader& header,
                         const PageIdentity& found, int32_t fixMask, uint32_t& totalFixed) {
    ScanCounters& c = scanCounters;
    const FileGeometry& g = fileGeometry;
    const bool zeroHeader = found.pageId == 0 && found.pageType == 0;
    uint16_t classification = t;

    if (!zeroHeader && !scanOptions.checkZeroPointers && t == 0) {
        ++c.zeroPointerProblems;
        countProblem(classification);
        return;
    }

    if (zeroHeader) {
        if (scanOptions.showOffsets) {
            std::printf("LogPAT 0x%.8lx(%.4x) -> PhysPage 0x%.8lx (0x%.10" PRIx64
                        ") is beyond EOF or NULL Page ID.\n",
                        (unsigned long)L, unsigned(t), (unsigned long)p, pageOffset(p));
        } else {
            std::printf("LogPAT 0x%.8lx(%.4x) -> PhysPage 0x%.8lx is beyond EOF or NULL Page ID.\n",
                        (unsigned long)L, unsigned(t), (unsigned long)p);
        }
    } else if (scanOptions.showOffsets) {
        std::printf("LogPAT 0x%.8lx(%.4x) -> PhysPage 0x%.8lx (0x%.10" PRIx64
                    ") with LogPage 0x%.8lx(%.4x).\n",
                    (unsigned long)L, unsigned(t), (unsigned long)p, pageOffset(p),
                    (unsigned long)found.pageId, unsigned(found.pageType));
    } else {
        std::printf("LogPAT 0x%.8lx(%.4x) -> PhysPage 0x%.8lx with LogPage 0x%.8lx(%.4x).\n",
                    (unsigned long)L, unsigned(t), (unsigned long)p, (unsigned long)found.pageId,
                    unsigned(found.pageType));
    }

    if ((fixMask & fixbit::pageId) && zeroHeader) {
        encodePageHeader(header, L, t);
        uint64_t at = pageOffset(p);
        if (!overlapsFcrOrPat(at, uint64_t(g.headerSize)) && writePageHeaderAt(at, header)) {
            ++totalFixed;
            // Later searches must see the header just written.
            noteRewrittenHeader(p, header);
            std::printf("-->Repaired By Writing Corrected Page ID to Physical Page %.8x\n",
                        unsigned(p));
        } else {
            std::printf("-->Unable to Repair By Writing Corrected Page ID to Physical Page %.8x\n",
                        unsigned(p));
        }
    }

    const bool old = g.versionCode < version::v800;
    if (fixMask & fixbit::freeSpace) {
        const uint32_t physical = old ? p : pat::freeSpace;
        const uint16_t type = 0;
        if (setPatEntry(L, physical, type)) {
            ++totalFixed;
            std::printf("-->Repaired By Changing PAT Pointer to FREE SPACE POINTER.\n");
        }
    }

    if (fixMask & fixbit::bestPage) {
        uint32_t best = 0;
        uint16_t bestType = 0;
        bool examined = false;
        if (findBestPage(L, best, bestType, &examined)) {
            classification = bestType;
            if (setPatEntry(L, best, bestType)) {
                ++totalFixed;
                if (bestType == pagetype::data) {
                    ++c.dataPointersFixed;
                } else if (isIndexType(bestType)) {
                    ++c.indexPointersFixed;
                } else if (bestType == pagetype::variable) {
                    ++c.variablePointersFixed;
                }
                std::printf("-->Repaired By Changing Page Pointer to (%.4x)%.8x.\n",
                            unsigned(bestType), unsigned(best));
            }
        } else if (examined) {
            // Only a search that looked at pages may conclude the data is gone.
            const uint32_t physical = old ? 0 : pat::freeSpace;
            const uint16_t type = 0;
            if (setPatEntry(L, physical, type)) {
                ++totalFixed;
                ++c.pagesResetToFree;
                std::printf("-->Repaired By Changing Page Pointer to FREE SPACE. Data is lost!\n");
            }
        }
    }

    countProblem(classification);
}
