#include "builder/readback.h"

#include <algorithm>

#include "builder/bytes.h"

namespace tbuild {

std::optional<FcrReading> readLayout(const std::vector<std::uint8_t>& set, std::size_t mainSize) {
    mainSize = std::min(mainSize, set.size());
    if (mainSize < 512) return std::nullopt;
    std::vector<std::uint8_t> c0(32768, 0);
    std::copy_n(set.begin(), std::min<std::size_t>(mainSize, 16384), c0.begin());
    // A zero first word puts the version code at 6, else it lies at 74.
    const std::uint16_t stored = le32(c0.data()) == 0 ? le16(&c0[6]) : le16(&c0[74]);
    const std::uint16_t v = foldVersion(stored);
    const std::uint32_t pageSize = (v < 0x0800 ? c0[9] : c0[43]) * 256u;
    FcrReading r;
    r.layout = makeLayout(v, pageSize);
    const std::uint32_t pp = r.layout.patPageSize;
    const std::uint32_t usageAt = r.layout.usageOffset;

    std::vector<std::uint8_t> c1(32768, 0);
    const std::uint8_t* cur = c0.data();
    if (r.layout.hasPat()) {
        if (pageSize < 512 || pp > 32768 || set.size() < 2ull * pp) return std::nullopt;
        std::copy_n(set.begin() + pp, pp, c1.begin());
        if (le32(&c0[usageAt]) < le32(&c1[usageAt])) {
            cur = c1.data();
            r.currentFcr = 1;
        }
    }
    if (v >= 0x0950 && (le16(cur + (v == 0x0950 ? 400 : 156)) & 0x2000) != 0) {
        const std::uint32_t compressed = le16(cur + 80);
        if (compressed != 0) {
            r.layout = makeLayout(v, pageSize, compressed);
        } else {
            r.layout.pageUnit = 0;
            r.layout.pairStride = 0;
        }
    }
    r.lastPair = v < 0x0700 ? le16(cur + 76) : le32(cur + 76);
    return r;
}

}  // namespace tbuild
