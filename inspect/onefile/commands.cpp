// The commands that look at one file set: info, pairs, entries and page.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/pat.h"
#include "inspect/repairs/advise.h"
#include "inspect/common/json.h"
#include "inspect/common/names.h"
#include "inspect/common/session.h"

using namespace tabulon;

namespace inspect {

namespace {

void emit(Context& cx, const Json& j, const std::string& text) {
    cx.out.write(Stream::Out, cx.json ? dumpJson(j) + "\n" : text);
}

std::string yesNo(bool b) {
    return b ? "yes" : "no";
}

}  // namespace

namespace {

// The members of the set and the delta file.
void infoMembers(const FileSet& fs, Json& j, std::string& t) {
    Json members = Json::array();
    t += "File set (bytes, name)\n";
    for (int k = 0; k < fs.memberCount(); ++k) {
        members.push_back({{"name", fs.memberFileName(k)}, {"size", fs.memberSize(k)}});
        t += strf("  %14llu  %s\n", (unsigned long long)fs.memberSize(k),
                  displayName(fs.memberFileName(k)).c_str());
    }
    j["members"] = members;
    if (fs.hasDelta()) {
        j["delta"] = {{"name", fs.deltaName()}, {"size", fs.deltaSize()}};
        t += strf("  %14llu  %s (delta file)\n", (unsigned long long)fs.deltaSize(),
                  displayName(fs.deltaName()).c_str());
    } else {
        j["delta"] = nullptr;
        t += "  no delta file\n";
    }
    t += strf("  %14llu  bytes in the members\n", (unsigned long long)fs.totalSize());
}

// Both FCR copies side by side; below 6.x only the first is read.
void infoFcrCopies(BtrieveFile& file, bool pat, Json& j, std::string& t) {
    const FileGeometry& g = file.geometry();
    const int copies = pat ? 2 : 1;
    Json fcr = Json::array();
    std::string rows[4] = {"  usage count        ", "  page count         ",
                           "  last PAT pair      ", "  current            "};
    for (int c = 0; c < copies; ++c) {
        FileGeometry each = g;
        decodeCurrentFcr(file.fcrCopy(c), &each);
        const uint32_t usage = patUsageCount(g, file.fcrCopy(c));
        Json one = {{"usageCount", usage}, {"fcrPages", each.pageCount}};
        one["lastPair"] = pat ? Json(lastPatPair(g, file.fcrCopy(c))) : Json(nullptr);
        one["current"] = c == g.currentFcr;
        fcr.push_back(one);
        rows[0] += strf("  %-12s", hex(usage, 8).c_str());
        rows[1] += strf("  %-12lu", (unsigned long)each.pageCount);
        rows[2] += pat ? strf("  %-12lu", (unsigned long)lastPatPair(g, file.fcrCopy(c)))
                       : std::string("  -           ");
        rows[3] += strf("  %-12s", c == g.currentFcr ? "*" : "");
    }
    j["fcr"] = fcr;
    t += "\nFCR                    copy 0        copy 1\n";
    for (auto& r : rows) {
        while (!r.empty() && r.back() == ' ') r.pop_back();
        t += r + "\n";
    }
}

uint32_t pairsThatFit(BtrieveFile& file) {
    return file.pairsThatFit();
}

// The PAT's page size, encryption, compression and the geometry derived from
// them (6.x and later).
void infoGeometry(BtrieveFile& file, Json& j, std::string& t) {
    const FileGeometry& g = file.geometry();
    t += strf("PAT page size          %u\n", unsigned(g.patPageSize));
    const uint32_t last = file.lastPatPair(), fit = pairsThatFit(file);
    t += strf("Last PAT pair          %lu", (unsigned long)last);
    t += fit < last ? strf(" (last-pair-past-end: %lu of the %lu pairs fit in the file)\n",
                           (unsigned long)fit, (unsigned long)last)
                    : std::string("\n");
    j["pairsThatFit"] = fit;
    // A set that lacks a member: advise and plan refuse it with this line.
    const std::string incomplete = incompleteSetText(setExtent(file));
    if (!incomplete.empty()) t += "Incomplete set         " + incomplete + "\n";
    j["incomplete"] = incomplete.empty() ? Json(nullptr) : Json(incomplete);
    std::string mask;
    for (uint8_t b : g.encryptionMask) mask += strf(" %.2x", unsigned(b));
    t += "Encrypted              " + yesNo(g.encrypted) +
         (g.encrypted ? " (mask" + mask + ")" : std::string()) + "\n";
    t += "Compressed             " + yesNo(g.compressed) +
         (g.compressed ? strf(" (compressed page size %u)", unsigned(g.compressedPageSize))
                       : std::string()) +
         "\n";

    const int entries = patEntriesPerPage(g);
    const int stride = patPairStride(g);
    const uint64_t pair1 = patPairOffset(g, 1);
    j["headerSize"] = g.headerSize;
    j["entriesPerPatPage"] = entries;
    j["pairStride"] = stride;
    j["pair1Offset"] = pair1;
    const bool shift = g.largeOffsetThreshold != 0xFFFFFFFF;
    j["shiftThreshold"] = shift ? Json(g.largeOffsetThreshold) : Json(nullptr);
    t += "\nGeometry\n";
    t += strf("  page header          %d bytes and a usage word\n", g.headerSize);
    t += strf("  PAT entries per page %d%s\n", entries, entries == 0 ? " (page size unknown)" : "");
    t += strf("  pair stride          %d bytes%s\n", stride,
              stride == 0 ? " (page size unknown: only pair 1 is located)" : "");
    t += strf("  pair 1 offset        %s\n", hex(pair1, 8).c_str());
    if (shift) {
        t +=
            strf("  6.x shift            from physical page %lu on, pages lie 4096 bytes further\n",
                 (unsigned long)g.largeOffsetThreshold);
    }
}

}  // namespace

int cmdInfo(Context& cx, const std::string& path) {
    // info tells what the survey tells of a file whose first FCR copy is lost.
    std::optional<CheckedFile> checked = openForCommand(cx, path, false, true);
    if (!checked) return kStatusFailed;
    BtrieveFile& file = checked->file();
    const FileGeometry& g = file.geometry();
    const bool pat = checked->hasPat();
    Json j;
    std::string t;

    j["path"] = path;
    infoMembers(file.fileSet(), j, t);

    // The version as the first copy stores it, or the second when the
    // first is damaged.
    const bool damaged = file.firstFcrCopyDamaged();
    FcrVersion v;
    decodeFcrVersion(file.fcrCopy(damaged ? 1 : 0), &v);
    j["damagedFcrCopy"] = damaged ? Json(0) : Json(nullptr);
    j["versionStored"] = v.stored;
    j["versionStoredHex"] = hex(v.stored, 4);
    j["version"] = v.folded;
    j["versionHex"] = hex(v.folded, 4);
    j["pageSize"] = g.pageSize;
    j["patPageSize"] = pat ? Json(g.patPageSize) : Json(nullptr);
    j["fcrPages"] = g.pageCount;
    j["lastPair"] = pat ? Json(file.lastPatPair()) : Json(nullptr);
    j["currentFcr"] = g.currentFcr;
    infoFcrCopies(file, pat, j, t);

    t += "\n";
    if (damaged) {
        t += "FCR copy 0             damaged (" +
             std::string(problemRow(Problem::FcrCopyDamaged).key) + "): read from copy 1\n";
    }
    t += strf("Version                %s (%s), stored as %s\n", hex(v.folded, 4).c_str(),
              versionText(v.folded).c_str(), hex(v.stored, 4).c_str());
    t += strf("Page size              %u\n", unsigned(g.pageSize));
    t += strf("Page count             %lu\n", (unsigned long)g.pageCount);
    j["encrypted"] = g.encrypted != 0;
    j["compressed"] = g.compressed != 0;
    j["compressedPageSize"] = g.compressedPageSize;
    if (pat) {
        infoGeometry(file, j, t);
    } else {
        t += "Pre-6.x file: no PAT\n";
        for (const char* key : {"pairsThatFit", "incomplete", "headerSize", "entriesPerPatPage",
                                "pairStride", "pair1Offset", "shiftThreshold"}) {
            j[key] = nullptr;
        }
    }
    emit(cx, j, t);
    return 0;
}

namespace {

// One row of the pairs command.
void pairRow(const tabulon::PairEvent& r, const std::vector<tabulon::Finding>& findings, Json& rows,
             std::string& t) {
    const tabulon::PatHeaderCheck& h = r.header;
    Json copies = Json::array();
    std::string cells;
    for (int c = 0; c < 2; ++c) {
        Json one;
        if (h.layout) {
            one["signatureSound"] = h.signatureSound[c];
            one["pairNumber"] = h.pairNumber[c];
            cells += strf("%-3s %8lu ", h.signatureSound[c] ? "ok" : "BAD",
                          (unsigned long)h.pairNumber[c]);
        } else {
            one["signatureSound"] = nullptr;
            one["pairNumber"] = nullptr;
            cells += strf("%-3s %8s ", "?", "?");
        }
        one["usageCount"] = r.usage[c];
        copies.push_back(one);
        cells += strf("%-10s  ", hex(r.usage[c], 8).c_str());
    }
    const bool sound = h.layout && h.problems() == 0;
    rows.push_back({{"pair", r.n},
                    {"offset", r.offset},
                    {"copies", copies},
                    {"currentCopy", r.current},
                    {"idsMatch", r.idsMatch},
                    {"used", r.used},
                    {"free", r.free},
                    {"headerSound", h.layout ? Json(sound) : Json(nullptr)},
                    {"headerProblems", h.problems()},
                    {"problems", problemsJson(findings.data(), int(findings.size()))}});
    const char* state = !h.layout ? "unknown layout" : sound ? "sound" : "DAMAGED";
    t += strf("%6lu  %-12s  %s%3lu  %-6s %6lu %6lu  %s\n", (unsigned long)r.n,
              hex(r.offset, 10).c_str(), cells.c_str(), (unsigned long)r.current,
              r.idsMatch ? "same" : "DIFFER", (unsigned long)r.used, (unsigned long)r.free, state);
}

// Collects the pairs of a walk with the engine's findings on each (the ids
// finding of a pair comes before its event, its header findings after), and
// the pair past the end.
class PairRows : public tabulon::EventSink {
  public:
    void pair(const tabulon::PairEvent& r) override { pairs.push_back(r); }
    void finding(const tabulon::Finding& f) override {
        findings[f.pair].push_back(f);
        if (f.code == tabulon::Problem::LastPairPastEnd) stopped = f.pair;
    }
    void finish() {
        for (const tabulon::PairEvent& r : pairs) pairRow(r, findings[r.n], rows, text);
    }
    std::vector<tabulon::PairEvent> pairs;
    std::map<uint32_t, std::vector<tabulon::Finding>> findings;
    Json rows = Json::array();
    std::string text;
    uint32_t stopped = 0;
};

}  // namespace

int cmdPairs(Context& cx, const std::string& path) {
    std::optional<CheckedFile> checked = openForCommand(cx, path, true);
    if (!checked) return kStatusFailed;
    const uint32_t last = checked->lastPair();
    PairRows walk;
    walk.text = strf("%6s  %-12s  %-3s %8s %-10s  %-3s %8s %-10s  %3s  %-6s %6s %6s  %s\n", "pair",
                     "offset", "sg0", "number0", "usage0", "sg1", "number1", "usage1", "cur", "ids",
                     "used", "free", "header");
    checked->walk({&walk}, WalkRange{1, last, false});
    walk.finish();
    Json j;
    j["path"] = path;
    j["lastPair"] = last;
    j["pairs"] = walk.rows;
    j["pastEnd"] = walk.stopped ? Json(walk.stopped) : Json(nullptr);
    std::string& t = walk.text;
    t += strf("%zu of %lu pairs", walk.rows.size(), (unsigned long)last);
    if (walk.stopped) {
        t += strf("; pair %lu lies past the end of the set", (unsigned long)walk.stopped);
    }
    t += "\n";
    emit(cx, j, t);
    return 0;
}

namespace {

// Prints the rows of the entries command as the walk finds them.
class EntryRows : public tabulon::EventSink {
  public:
    EntryRows(Context& cx, bool problemsOnly, StreamedDocument* doc)
        : cx_(cx), problemsOnly_(problemsOnly), doc_(doc) {}

    void entry(const tabulon::EntryCheck& e) override {
        ++total;
        if (problemsOnly_ && e.sound()) return;
        ++shown;
        if (doc_) {
            doc_->element(row(e));
        } else {
            cx_.out.write(Stream::Out, line(e));
        }
    }
    void finding(const tabulon::Finding& f) override {
        if (f.code == tabulon::Problem::LastPairPastEnd) stopped = f.pair;
    }

    uint32_t shown = 0, total = 0, stopped = 0;

  private:
    static Json row(const tabulon::EntryCheck& e) {
        Json r = {{"pair", e.pair},
                  {"logical", e.logical},
                  {"type", e.type},
                  {"storedType", e.storedType},
                  {"physical", e.physical}};
        if (e.free || !e.headerRead) {
            r["header"] = nullptr;
        } else {
            r["header"] = {{"pageId", e.page.pageId},
                           {"pageType", e.page.pageType},
                           {"usageWord", e.header.usageCount}};
        }
        r["state"] = e.free ? "free" : e.sound() ? "sound" : "problem";
        r["problems"] = problemsJson(e.findings, e.count);
        return r;
    }
    static std::string line(const tabulon::EntryCheck& e) {
        std::string phys = e.free ? "free" : hex(e.physical, 8);
        std::string head = "-           -     -    ";
        if (!e.free && !e.headerRead) {
            head = "unreadable  -     -    ";
        } else if (!e.free) {
            head = strf("%-10s  %.4x  %.4x ", hex(e.page.pageId, 8).c_str(),
                        unsigned(e.page.pageType), unsigned(e.header.usageCount));
        }
        return strf("%6lu  %-10s  %.4x  %-10s  %s  %s\n", (unsigned long)e.pair,
                    hex(e.logical, 8).c_str(), unsigned(e.type), phys.c_str(), head.c_str(),
                    entryVerdict(e).c_str());
    }

    Context& cx_;
    bool problemsOnly_;
    StreamedDocument* doc_;
};

}  // namespace

int cmdEntries(Context& cx, const std::string& path, std::optional<uint32_t> only, bool problems) {
    std::optional<CheckedFile> checked = openForCommand(cx, path, true);
    if (!checked) return kStatusFailed;
    const uint32_t last = checked->lastPair();
    if (only && (*only == 0 || *only > last)) {
        return fail(cx.out, strf("pair %lu is not a pair of this file (1 to %lu)",
                                 (unsigned long)*only, (unsigned long)last));
    }
    std::optional<StreamedDocument> doc;
    if (cx.json) {
        Json head;
        head["path"] = path;
        head["pair"] = only ? Json(*only) : Json(nullptr);
        doc.emplace(cx.out, head, "entries");
    } else {
        cx.out.write(Stream::Out,
                     strf("%6s  %-10s  %-4s  %-10s  %-10s  %-4s  %-5s  %s\n", "pair", "logical",
                          "type", "physical", "page id", "type", "usage", "verdict"));
    }
    EntryRows rows(cx, problems, doc ? &*doc : nullptr);
    checked->walk({&rows}, WalkRange{only.value_or(1), only.value_or(last)});
    const ScanCounters& counters = checked->counters();
    if (doc) {
        Json tail;
        tail["pastEnd"] = rows.stopped ? Json(rows.stopped) : Json(nullptr);
        putCounters(tail, counters);
        tail["findingCounts"] = severitiesJson(checked->severities());
        doc->finish(tail);
        return 0;
    }
    std::string t =
        strf("%lu entries shown of %lu; problems: %lu (%lu in PAT headers)\n",
             (unsigned long)rows.shown, (unsigned long)rows.total,
             (unsigned long)counters.totalProblems, (unsigned long)counters.patProblems);
    if (rows.stopped) {
        t += strf("pair %lu lies past the end of the set\n", (unsigned long)rows.stopped);
    }
    cx.out.write(Stream::Out, t);
    return 0;
}

namespace {

// Hex listing in 16-byte lines; a run of lines equal to the one before is
// folded into one "*" line.
std::string hexListing(const std::vector<uint8_t>& bytes) {
    std::string t;
    const size_t n = bytes.size();
    bool folded = false;
    for (size_t at = 0; at < n; at += 16) {
        const size_t len = std::min<size_t>(16, n - at);
        if (at > 0 && len == 16 &&
            std::memcmp(bytes.data() + at, bytes.data() + at - 16, 16) == 0) {
            if (!folded) t += "*\n";
            folded = true;
            continue;
        }
        folded = false;
        t += strf("%08zx ", at);
        std::string text;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) t += " ";
            if (i < len) {
                const uint8_t b = bytes[at + i];
                t += strf(" %.2x", unsigned(b));
                text += b >= 0x20 && b < 0x7f ? char(b) : '.';
            } else {
                t += "   ";
            }
        }
        t += "  |" + text + "|\n";
    }
    t += strf("%08zx\n", n);
    return t;
}

bool parseNumber(const std::string& s, uint64_t* v) {
    if (s.empty() || s[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *v = x;
    return true;
}

// The header of the page at a file-set offset: a page of the table decoded as
// what it is, else the page header in the file's layout.
void describeHeader(CheckedFile& checked, uint64_t offset, Json* j, std::string* t) {
    BtrieveFile& file = checked.file();
    const FileGeometry& g = file.geometry();
    PageHeader header;
    std::memset(&header, 0, sizeof header);
    if (!checked.hasPat()) {
        (*j)["header"] = nullptr;
        *t += "Pre-6.x file: the page header is not decoded\n";
    } else if (describeTablePage(checked, offset, j, t)) {
        // A page of the table has no page header.
        (*j)["header"] = nullptr;
    } else if (file.readPageHeaderAt(offset, header)) {
        const PageIdentity id = decodePageHeader(g, header);
        std::string raw;
        for (int i = 0; i < g.headerSize; ++i) raw += strf("%.2x", unsigned(header.headerBytes[i]));
        (*j)["header"] = {{"bytes", raw},
                          {"pageId", id.pageId},
                          {"pageType", id.pageType},
                          {"usageWord", header.usageCount}};
        const char* kind = id.pageId == 0 && id.pageType == 0             ? "zero header"
                           : id.pageType == pagetype::variable            ? "variable"
                           : pageClassOf(id.pageType) == PageClass::Data  ? "data"
                           : pageClassOf(id.pageType) == PageClass::Index ? "index"
                                                                          : "other";
        *t += strf("Header (%d bytes in the %s layout, then the usage word)\n", g.headerSize,
                   g.versionCode < version::v800 ? "6.x/7.x" : "8.x and later");
        *t += strf("  page id     %s\n", hex(id.pageId, 8).c_str());
        *t += strf("  page type   0x%.4x (%s)\n", unsigned(id.pageType), kind);
        *t += strf("  usage word  0x%.4x%s\n", unsigned(header.usageCount),
                   g.encrypted && g.headerSize >= 8 ? " (unmasked)" : "");
    } else {
        (*j)["header"] = nullptr;
        *t += "Header cut short by the end of the set\n";
    }
}

}  // namespace

int cmdPage(Context& cx, const std::string& path, const std::string& pageText) {
    uint64_t n = 0;
    if (!parseNumber(pageText, &n) || n > UINT32_MAX) {
        return fail(cx.out, "not a page number: " + pageText);
    }
    std::optional<CheckedFile> checked = openForCommand(cx, path, false);
    if (!checked) return kStatusFailed;
    BtrieveFile& file = checked->file();
    const FileGeometry& g = file.geometry();
    FileSet& fs = file.fileSet();
    const uint32_t p = uint32_t(n);
    const uint64_t offset = file.pageOffset(p);
    const uint64_t unit = pageUnit(g);
    if (unit == 0 || offset >= fs.totalSize()) {
        return fail(cx.out, strf("page %lu lies beyond the end of the set", (unsigned long)p));
    }
    std::vector<uint8_t> bytes(size_t(std::min<uint64_t>(unit, fs.totalSize() - offset)));
    size_t have = 0;
    while (have < bytes.size()) {
        size_t got = 0;
        if (!fs.readSomeAt(offset + have, bytes.data() + have, bytes.size() - have, &got) ||
            got == 0) {
            break;
        }
        have += got;
    }
    bytes.resize(have);
    uint16_t member = 0;
    uint64_t rest = 0;
    fs.mapOffset(offset, &member, &rest);

    Json j;
    std::string t;
    j["path"] = path;
    j["page"] = p;
    j["offset"] = offset;
    j["member"] = member < fs.memberCount() ? Json(fs.memberFileName(member)) : Json(nullptr);
    j["memberOffset"] = rest;
    j["size"] = unit;
    t += strf("Physical page %lu at %s", (unsigned long)p, hex(offset, 10).c_str());
    if (member < fs.memberCount()) {
        t += strf(" (%s at %s)", displayName(fs.memberFileName(member)).c_str(),
                  hex(rest, 10).c_str());
    }
    t += strf(", %llu bytes\n", (unsigned long long)unit);

    j["fcr"] = nullptr;
    j["pat"] = nullptr;
    describeHeader(*checked, offset, &j, &t);
    std::string all;
    all.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) all += strf("%.2x", unsigned(b));
    j["bytes"] = all;
    if (bytes.size() < unit) t += strf("Only %zu bytes lie inside the set\n", bytes.size());
    t += hexListing(bytes);
    emit(cx, j, t);
    return 0;
}

}  // namespace inspect
