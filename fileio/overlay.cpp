#include "fileio/overlay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fileio/gather.h"

namespace tabulon {

namespace {

// The layer keeps written bytes in blocks of this size, each a copy of the
// file's bytes there (zeros past its end) with the writes on top.
constexpr uint64_t kBlock = 4096;

#ifdef EROFS
constexpr uint32_t kNotWritable = EROFS;
#else
constexpr uint32_t kNotWritable = EACCES;
#endif

// A handle the layer did not give out.
constexpr uint32_t kBadHandle = EBADF;

void setError(uint32_t* error, uint32_t code) {
    if (error) *error = code;
}

// Bytes of one file that some writes cover, neighbouring writes joined: the
// old and the new value of each, and whether it had an old value (1) or lay
// past the end of the file below (2); 0 while no write has reached it.
struct Span {
    uint64_t start = 0, end = 0;
    std::vector<uint8_t> old, now, state;
};

// The spans that the writes of one file cover, in the order of offset.
std::vector<Span> spansOf(const std::vector<const OverlayWrite*>& list) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    ranges.reserve(list.size());
    for (const OverlayWrite* w : list) ranges.emplace_back(w->offset, w->offset + w->after.size());
    std::sort(ranges.begin(), ranges.end());
    std::vector<Span> spans;
    for (const auto& [from, to] : ranges) {
        if (!spans.empty() && from <= spans.back().end) {
            spans.back().end = std::max(spans.back().end, to);
            continue;
        }
        spans.push_back(Span{from, to, {}, {}, {}});
    }
    for (Span& s : spans) {
        const size_t n = size_t(s.end - s.start);
        s.old.assign(n, 0);
        s.now.assign(n, 0);
        s.state.assign(n, 0);
    }
    return spans;
}

// Lays one write over its span: its bytes are the new values, and what it
// replaced is the old value of each byte no earlier write reached.
void layWrite(std::vector<Span>& spans, const OverlayWrite& w, uint64_t baseSize) {
    auto it = std::upper_bound(spans.begin(), spans.end(), w.offset,
                               [](uint64_t at, const Span& s) { return at < s.start; });
    Span& s = *(it - 1);
    const size_t at = size_t(w.offset - s.start), n = w.after.size();
    std::memcpy(s.now.data() + at, w.after.data(), n);
    const size_t known = w.offset >= baseSize
                             ? 0
                             : size_t(std::min<uint64_t>(w.before.size(), baseSize - w.offset));
    uint8_t* state = s.state.data() + at;
    if (std::all_of(state, state + n, [](uint8_t v) { return v == 0; })) {
        // The first write here: every byte takes its old value from it.
        std::memcpy(s.old.data() + at, w.before.data(), std::min(known, n));
        std::memset(state, 1, std::min(known, n));
        if (known < n) std::memset(state + known, 2, n - known);
        return;
    }
    for (size_t k = 0; k < n; ++k) {
        if (state[k] != 0) continue;
        state[k] = k < known ? 1 : 2;
        if (k < known) s.old[at + k] = w.before[k];
    }
}

// Adds the runs of changed bytes of a span of file `file` of `out`.
void appendChanged(uint32_t file, const Span& s, ChangedBytes& out) {
    const size_t n = s.now.size();
    auto changed = [&](size_t k) { return s.state[k] == 2 || s.old[k] != s.now[k]; };
    constexpr size_t kStep = 64;
    for (size_t k = 0; k < n;) {
        // Most bytes a write covers keep their value: a whole step of them
        // is passed over at once.
        if (k + kStep <= n && std::memcmp(s.old.data() + k, s.now.data() + k, kStep) == 0 &&
            !std::memchr(s.state.data() + k, 2, kStep)) {
            k += kStep;
            continue;
        }
        if (!changed(k)) {
            ++k;
            continue;
        }
        size_t end = k + 1;
        while (end < n && changed(end)) ++end;
        out.ranges.push_back(ChangedBytes::Range{file, s.start + k, end - k});
        out.bytes.insert(out.bytes.end(), s.now.begin() + ptrdiff_t(k),
                         s.now.begin() + ptrdiff_t(end));
        k = end;
    }
}

}  // namespace

OverlayPlatform::OverlayPlatform(Platform& base, int readMode) : base_(base), readMode_(readMode) {}

OverlayPlatform::~OverlayPlatform() {
    for (auto& [name, f] : files_) {
        if (f.base != kInvalidHandle) base_.close(f.base);
    }
}

bool OverlayPlatform::open(const char* name, int, PlatformHandle* handle, uint32_t* error) {
    auto it = files_.find(name);
    if (it == files_.end()) {
        File f;
        if (!base_.open(name, readMode_, &f.base, error)) return false;
        if (!base_.size(f.base, &f.baseSize)) f.baseSize = 0;
        f.size = f.baseSize;
        it = files_.emplace(name, std::move(f)).first;
    }
    *handle = nextHandle_++;
    handles_[*handle] = it->first;
    return true;
}

bool OverlayPlatform::create(const char*, PlatformHandle*, uint32_t* error) {
    *error = kNotWritable;
    return false;
}

bool OverlayPlatform::append(PlatformHandle, const void*, size_t, uint32_t* error) {
    *error = kNotWritable;
    return false;
}

bool OverlayPlatform::size(PlatformHandle handle, uint64_t* size, uint32_t* error) {
    auto h = handles_.find(handle);
    if (h == handles_.end()) {
        setError(error, kBadHandle);
        return false;
    }
    *size = files_[h->second].size;
    return true;
}

bool OverlayPlatform::readLayer(File& f, uint64_t offset, uint8_t* buffer, size_t n, bool original,
                                size_t* got, uint32_t* error) {
    *got = 0;
    const uint64_t size = original ? f.baseSize : f.size;
    if (offset >= size || n == 0) return true;
    size_t length = size_t(std::min<uint64_t>(n, size - offset));
    // A short read that lies wholly in written blocks (a page header the
    // run wrote, read again) is served by them: each holds the file's bytes
    // with the writes on top.
    const uint64_t firstBlock = offset / kBlock, lastBlock = (offset + length - 1) / kBlock;
    if (!original && lastBlock - firstBlock < 2) {
        auto b = f.blocks.find(firstBlock);
        auto c = lastBlock == firstBlock ? b : f.blocks.find(lastBlock);
        if (b != f.blocks.end() && c != f.blocks.end()) {
            const size_t head = size_t(std::min<uint64_t>(length, (firstBlock + 1) * kBlock - offset));
            std::memcpy(buffer, b->second.data() + (offset - firstBlock * kBlock), head);
            if (head < length) std::memcpy(buffer + head, c->second.data(), length - head);
            *got = length;
            return true;
        }
    }
    const size_t fromBase =
        offset < f.baseSize ? size_t(std::min<uint64_t>(length, f.baseSize - offset)) : 0;
    if (fromBase > 0) {
        size_t read = 0;
        if (!base_.readAt(f.base, offset, buffer, fromBase, &read, error)) return false;
        // A file that another opener cut short ends where its bytes end.
        if (read < fromBase) length = read;
    }
    if (length > fromBase) std::memset(buffer + fromBase, 0, length - fromBase);
    if (!original && length > 0) {
        const uint64_t end = offset + length;
        auto b = f.blocks.lower_bound(offset / kBlock);
        for (; b != f.blocks.end() && b->first * kBlock < end; ++b) {
            const uint64_t start = b->first * kBlock;
            const uint64_t from = std::max(start, offset);
            const uint64_t to = std::min(start + kBlock, end);
            std::memcpy(buffer + (from - offset), b->second.data() + (from - start),
                        size_t(to - from));
        }
    }
    *got = length;
    return true;
}

std::vector<uint8_t>& OverlayPlatform::block(File& f, uint64_t number) {
    auto it = f.blocks.find(number);
    if (it != f.blocks.end()) return it->second;
    std::vector<uint8_t> bytes(kBlock, 0);
    size_t got = 0;
    // What the file holds there; a block that cannot be read starts as zeros
    // (the write still lands, as it would on the file).
    if (!readLayer(f, number * kBlock, bytes.data(), kBlock, true, &got)) {
        std::fill(bytes.begin(), bytes.end(), uint8_t(0));
    }
    return f.blocks.emplace(number, std::move(bytes)).first->second;
}

bool OverlayPlatform::readAt(PlatformHandle handle, uint64_t offset, void* buffer, size_t n,
                             size_t* transferred, uint32_t* error) {
    *transferred = 0;
    auto h = handles_.find(handle);
    if (h == handles_.end()) {
        setError(error, kBadHandle);
        return false;
    }
    return readLayer(files_[h->second], offset, static_cast<uint8_t*>(buffer), n, false,
                     transferred, error);
}

bool OverlayPlatform::writeAt(PlatformHandle handle, uint64_t offset, const void* buffer, size_t n,
                              size_t* transferred, uint32_t* error) {
    *transferred = 0;
    auto h = handles_.find(handle);
    if (h == handles_.end()) {
        setError(error, kBadHandle);
        return false;
    }
    if (offset > uint64_t(INT64_MAX) - n) {
        setError(error, EFBIG);
        return false;
    }
    File& f = files_[h->second];
    OverlayWrite w;
    w.file = h->second;
    w.offset = offset;
    w.before.resize(n);
    size_t got = 0;
    if (!readLayer(f, offset, w.before.data(), n, false, &got)) got = 0;
    w.before.resize(got);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    w.after.assign(bytes, bytes + n);
    for (uint64_t at = offset; at < offset + n;) {
        const uint64_t start = at / kBlock * kBlock;
        const uint64_t to = std::min(start + kBlock, offset + n);
        std::memcpy(block(f, at / kBlock).data() + (at - start), bytes + (at - offset),
                    size_t(to - at));
        at = to;
    }
    f.size = std::max(f.size, offset + n);
    writes_.push_back(std::move(w));
    *transferred = n;
    return true;
}

bool OverlayPlatform::mapView(PlatformHandle handle, uint64_t offset, size_t length,
                              FileView* view) {
    auto h = handles_.find(handle);
    if (h == handles_.end()) return false;
    const File& f = files_[h->second];
    if (!f.blocks.empty() || f.size != f.baseSize) return false;
    return base_.mapView(f.base, offset, length, view);
}

void OverlayPlatform::unmapView(FileView* view) {
    base_.unmapView(view);
}

bool OverlayPlatform::readViews(void (*visit)(void*), void* context) {
    return base_.readViews(visit, context);
}

bool OverlayPlatform::gatherAt(PlatformHandle handle, uint64_t offset, uint64_t stride,
                               size_t count, size_t width, uint8_t* out) {
    auto h = handles_.find(handle);
    if (h == handles_.end()) return false;
    File& f = files_[h->second];
    // An unwritten file is gathered by the binding below, as the run would.
    if (f.blocks.empty() && f.size == f.baseSize) {
        return base_.gatherAt(f.base, offset, stride, count, width, out);
    }
    if (count == 0 || width == 0) return true;
    uint64_t end = 0;
    if (!gatherEnd(offset, stride, count, width, &end) || end > f.size) return false;
    if (end > f.baseSize) return gatherByReads(*this, handle, offset, stride, count, width, out);
    // The file's bytes from the binding below, then the layer's blocks laid
    // over the places they hold: a repair writes few blocks, and a gather by
    // reads would copy every byte between the places.
    if (!base_.gatherAt(f.base, offset, stride, count, width, out)) return false;
    for (auto b = f.blocks.lower_bound(offset / kBlock); b != f.blocks.end(); ++b) {
        const uint64_t from = b->first * kBlock, to = from + kBlock;
        if (from >= end) break;
        // The places that end after the block starts, up to the last that
        // starts before it ends.
        uint64_t i =
            from < offset + width || stride == 0 ? 0 : (from - offset - width) / stride + 1;
        for (; i < count; ++i) {
            const uint64_t start = offset + i * stride;
            if (start >= to) break;
            const uint64_t lo = std::max(start, from), hi = std::min(start + width, to);
            if (lo < hi) {
                std::memcpy(out + i * width + (lo - start), b->second.data() + (lo - from),
                            size_t(hi - lo));
            }
        }
    }
    return true;
}

bool OverlayPlatform::flush(PlatformHandle, uint32_t*) {
    return true;
}

void OverlayPlatform::close(PlatformHandle handle) {
    handles_.erase(handle);
}

bool OverlayPlatform::fileId(PlatformHandle handle, FileId* id) {
    auto h = handles_.find(handle);
    return h != handles_.end() && base_.fileId(files_[h->second].base, id);
}

std::string OverlayPlatform::errorText(uint32_t error) {
    return base_.errorText(error);
}

ChangedBytes OverlayPlatform::changedBytes() const {
    std::map<std::string, std::vector<const OverlayWrite*>> byFile;
    for (const OverlayWrite& w : writes_) {
        if (!w.after.empty()) byFile[w.file].push_back(&w);
    }
    ChangedBytes out;
    for (const auto& [name, list] : byFile) {
        const uint64_t baseSize = files_.at(name).baseSize;
        std::vector<Span> spans = spansOf(list);
        for (const OverlayWrite* w : list) layWrite(spans, *w, baseSize);
        const size_t before = out.ranges.size();
        for (const Span& s : spans) appendChanged(uint32_t(out.files.size()), s, out);
        if (out.ranges.size() > before) out.files.push_back(name);
    }
    return out;
}

bool OverlayPlatform::grown() const {
    return std::any_of(files_.begin(), files_.end(),
                       [](const auto& f) { return f.second.size != f.second.baseSize; });
}

bool OverlayPlatform::readFile(const std::string& name, uint64_t offset, void* buffer, size_t n,
                               bool original, size_t* got) {
    *got = 0;
    auto it = files_.find(name);
    if (it == files_.end()) return false;
    return readLayer(it->second, offset, static_cast<uint8_t*>(buffer), n, original, got);
}

bool OverlayPlatform::fileSize(const std::string& name, bool original, uint64_t* size) const {
    auto it = files_.find(name);
    if (it == files_.end()) return false;
    *size = original ? it->second.baseSize : it->second.size;
    return true;
}

}  // namespace tabulon
