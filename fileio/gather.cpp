#include "fileio/gather.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tabulon {

namespace {

// Largest piece read at once.
constexpr size_t kGatherPiece = size_t(1) << 20;

}  // namespace

bool gatherEnd(uint64_t offset, uint64_t stride, size_t count, size_t width, uint64_t* end) {
    const uint64_t limit = uint64_t(INT64_MAX);
    if (offset > limit || width > limit - offset) return false;
    if (count > 1 && stride > (limit - offset - width) / (count - 1)) return false;
    *end = offset + (count - 1) * stride + width;
    return true;
}

bool gatherByReads(Platform& platform, PlatformHandle handle, uint64_t offset, uint64_t stride,
                   size_t count, size_t width, uint8_t* out) {
    // One piece per call: a gathered run spans a few MiB, so its cost is
    // small beside the reads, and callers on other threads share nothing.
    std::vector<uint8_t> piece(
        size_t(std::min<uint64_t>(kGatherPiece, count == 0 ? 0 : (count - 1) * stride + width)));
    size_t i = 0;
    while (i < count) {
        // As many places as one piece holds, at least one.
        size_t k = 1;
        if (stride > 0 && width <= kGatherPiece) {
            uint64_t more = (kGatherPiece - width) / stride;
            k = size_t(std::min<uint64_t>(count - i, more + 1));
        }
        const size_t n = size_t((k - 1) * stride + width);
        const uint64_t at = offset + uint64_t(i) * stride;
        uint8_t* buffer = piece.data();
        std::vector<uint8_t> large;
        if (n > piece.size()) {
            large.resize(n);
            buffer = large.data();
        }
        size_t got = 0;
        if (!platform.readAt(handle, at, buffer, n, &got) || got != n) return false;
        for (size_t j = 0; j < k; ++j)
            std::memcpy(out + (i + j) * width, buffer + j * stride, width);
        i += k;
    }
    return true;
}

}  // namespace tabulon
