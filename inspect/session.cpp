#include "inspect/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "format/pat.h"

namespace inspect {

std::string strf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string s(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, format, again);
    va_end(again);
    return s;
}

int fail(Output& out, const std::string& line) {
    out.write(Stream::Err, "tabulon-inspect: " + line + "\n");
    return kStatusFailed;
}

namespace {

std::string trimEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// Turns the lines the file set printed when the open failed into one line.
std::string openFailure(const std::string& path, const std::string& lines) {
    const std::string failed = "Failed to Open File <";
    size_t at = lines.find(failed);
    if (at != std::string::npos) {
        size_t nameEnd = lines.find(">, Status Code ", at);
        if (nameEnd != std::string::npos) {
            std::string name = lines.substr(at + failed.size(), nameEnd - at - failed.size());
            size_t codeAt = nameEnd + std::strlen(">, Status Code ");
            size_t comma = lines.find(", ", codeAt);
            size_t eol = lines.find('\n', codeAt);
            std::string code =
                lines.substr(codeAt, comma == std::string::npos ? 0 : comma - codeAt);
            std::string text = comma == std::string::npos || comma > eol
                                   ? std::string()
                                   : trimEnd(lines.substr(comma + 2, eol - comma - 2));
            return "cannot open " + name + ": " + (text.empty() ? "error" : text) +
                   " (system error " + code + ")";
        }
    }
    if (lines.find("Not a Btrieve File") != std::string::npos) {
        return path + " is not a Btrieve file";
    }
    return "cannot open " + path;
}

}  // namespace

bool OpenSet::open(const std::string& path, bool shared, std::string* why) {
    if (path.size() > size_t(kMaxPathLength)) {
        *why = strf("the path is longer than %d characters", kMaxPathLength);
        return false;
    }
    if (file_.open(path, shared ? Unprotected : ExclusiveRead, false) == 0) {
        *why = openFailure(path, lines.errText + lines.outText);
        return false;
    }
    return true;
}

bool openForCommand(Context& cx, OpenSet& set, const std::string& path, bool needPat) {
    std::string why;
    if (!set.open(path, cx.shared, &why)) {
        fail(cx.out, why);
        return false;
    }
    if (needPat && !set.hasPat()) {
        fail(cx.out, path + " is a pre-6.x file (version " + hex(set.geometry().versionCode, 4) +
                         "): it has no PAT");
        return false;
    }
    return true;
}

uint32_t walkPairs(Scanner& scanner, uint32_t first, uint32_t last,
                   const std::function<void(const PairRecord&)>& visit) {
    BtrieveFile& file = scanner.file();
    const FileGeometry& g = file.geometry();
    PatPair& pair = scanner.pair();
    const bool onlyFirst = patPairStride(g) == 0;
    const uint32_t slots = patSlotsInPage(g, uint32_t(patEntriesPerPage(g)));
    for (uint64_t n = first == 0 ? 1 : first; n <= last; ++n) {
        if (onlyFirst && n > 1) break;
        if (!pair.load(uint32_t(n))) return uint32_t(n);
        PairRecord r;
        r.n = uint32_t(n);
        r.offset = patPairOffset(g, r.n);
        r.usage[0] = patUsageCount(g, pair.copy(0));
        r.usage[1] = patUsageCount(g, pair.copy(1));
        r.current = pair.current();
        r.idsMatch = std::memcmp(pair.copy(0), pair.copy(1), size_t(g.patIdLength)) == 0;
        const uint8_t* page = pair.copy(int(r.current));
        for (uint32_t k = 0; k < slots; ++k) {
            PatEntry e = readPatEntry(g, page, k);
            bool isFree = g.versionCode >= version::v800 ? e.physical == pat::freeSpace
                                                         : e.physical == 0 && e.type == 0;
            ++(isFree ? r.free : r.used);
        }
        r.header = examinePatHeaders(g.versionCode, pair.copy(0), pair.copy(1), r.n);
        visit(r);
    }
    return 0;
}

void preloadLikeCheck(Scanner& scanner) {
    if (!scanner.file().geometry().compressed) scanner.cache().preload(false);
}

ScanOptions quietOptions(bool shared) {
    ScanOptions o;
    o.progress = 0;
    o.unprotected = shared ? 1 : 0;
    return o;
}

std::string hex(uint64_t v, int digits) {
    return strf("0x%0*llx", digits, (unsigned long long)v);
}

std::string versionText(uint16_t v) {
    return strf("%d.%.2x", v >> 8, unsigned(v & 0xFF));
}

std::string verdictKey(EntryVerdict v) {
    switch (v) {
        case EntryVerdict::Sound: return "sound";
        case EntryVerdict::Elsewhere: return "elsewhere";
        case EntryVerdict::ZeroHeader: return "zeroHeader";
        case EntryVerdict::ZeroPointer: return "zeroPointer";
        case EntryVerdict::Free: return "free";
        case EntryVerdict::InvalidUsage: return "invalidUsage";
    }
    return "?";
}

}  // namespace inspect
