// page on a page of the table itself: an FCR copy or a copy of a PAT pair is
// decoded as what it is, with the library's own decoding and the check's
// verdict on a PAT header.
#include <cstring>

#include "access/patpair.h"
#include "format/pat.h"
#include "inspect/common/json.h"
#include "inspect/common/session.h"

using namespace tabulon;

namespace inspect {

namespace {

void describeFcr(BtrieveFile& file, int c, uint64_t part, Json* j, std::string* t) {
    const FileGeometry& g = file.geometry();
    if (part > 0) {
        (*j)["fcr"] = {{"copy", c}, {"part", part}};
        *t += strf("Part %llu of FCR copy %d (decoded at its first page)\n",
                   (unsigned long long)part, c);
        return;
    }
    const uint8_t* copy = file.fcrCopy(c);
    FcrVersion v;
    const bool known = decodeFcrVersion(copy, &v);
    FileGeometry each = g;
    decodeCurrentFcr(copy, &each);
    const uint32_t usage = patUsageCount(g, copy);
    const uint32_t last = lastPatPair(g, copy);
    (*j)["fcr"] = {{"copy", c},
                   {"part", 0},
                   {"versionStored", known ? Json(v.stored) : Json(nullptr)},
                   {"versionStoredHex", known ? Json(hex(v.stored, 4)) : Json(nullptr)},
                   {"version", known ? Json(v.folded) : Json(nullptr)},
                   {"versionHex", known ? Json(hex(v.folded, 4)) : Json(nullptr)},
                   {"usageCount", usage},
                   {"fcrPages", each.pageCount},
                   {"lastPair", last},
                   {"current", c == g.currentFcr}};
    *t += strf("FCR copy %d%s\n", c, c == g.currentFcr ? " (current)" : "");
    if (known) {
        *t += strf("  version       %s (%s), stored as %s\n", hex(v.folded, 4).c_str(),
                   versionText(v.folded).c_str(), hex(v.stored, 4).c_str());
    } else {
        *t += "  version       not recognised\n";
    }
    *t += strf("  usage count   %s\n", hex(usage, 8).c_str());
    *t += strf("  page count    %lu\n", (unsigned long)each.pageCount);
    *t += strf("  last PAT pair %lu\n", (unsigned long)last);
}

void describePat(CheckedFile& checked, uint32_t n, int c, uint64_t part, Json* j,
                 std::string* t) {
    const FileGeometry& g = checked.geometry();
    if (part > 0) {
        (*j)["pat"] = {{"pair", n}, {"copy", c}, {"part", part}};
        *t += strf("Part %llu of copy %d of PAT pair %lu (decoded at its first page)\n",
                   (unsigned long long)part, c, (unsigned long)n);
        return;
    }
    PatPair& pair = checked.pair();
    if (!pair.load(n)) {
        (*j)["pat"] = {{"pair", n}, {"copy", c}, {"part", 0}, {"loaded", false}};
        *t += strf(
            "Copy %d of PAT pair %lu, which cannot be loaded (it lies past the end of "
            "the set)\n",
            c, (unsigned long)n);
        return;
    }
    const PatHeaderCheck h = classifyPatHeaders(g.versionCode, pair.copy(0), pair.copy(1), n);
    const uint32_t usage = patUsageCount(g, pair.copy(c));
    const bool current = pair.current() == uint32_t(c);
    const bool idsMatch = pair.idsMatch();
    // The pair's header findings on this copy (or on the pair's layout).
    tabulon::Finding ofCopy[4];
    int mine = 0;
    for (int i = 0; i < h.count; ++i) {
        if (!h.layout || h.findings[i].copy == c) ofCopy[mine++] = h.findings[i];
    }
    Json checks = Json::array();
    *t +=
        strf("Copy %d of PAT pair %lu (%s)\n", c, (unsigned long)n, current ? "current" : "older");
    if (h.layout) {
        const bool sig = h.signatureSound[c], num = h.pairNumber[c] == n;
        checks.push_back({{"field", "signature"},
                          {"expected", "sound"},
                          {"found", sig ? "sound" : "damaged"},
                          {"sound", sig}});
        checks.push_back(
            {{"field", "pairNumber"}, {"expected", n}, {"found", h.pairNumber[c]}, {"sound", num}});
        *t += strf("  signature     expected sound, found %s\n", sig ? "sound" : "DAMAGED");
        *t += strf("  pair number   expected %lu, found %lu%s\n", (unsigned long)n,
                   (unsigned long)h.pairNumber[c], num ? "" : "  DAMAGED");
    } else {
        *t += "  header        no known layout for this version\n";
    }
    *t += strf("  usage count   %s (copy %d has %s)\n", hex(usage, 8).c_str(), 1 - c,
               hex(patUsageCount(g, pair.copy(1 - c)), 8).c_str());
    *t += strf("  page ids      %s copy %d\n", idsMatch ? "the same as" : "differ from", 1 - c);
    (*j)["pat"] = {{"pair", n},
                   {"copy", c},
                   {"part", 0},
                   {"loaded", true},
                   {"current", current},
                   {"usageCount", usage},
                   {"idsMatch", idsMatch},
                   {"headerSound", h.layout ? Json(h.problems() == 0) : Json(nullptr)},
                   {"checks", checks},
                   {"problems", problemsJson(ofCopy, mine)}};
}

}  // namespace

bool describeTablePage(CheckedFile& checked, uint64_t offset, Json* j, std::string* t) {
    BtrieveFile& file = checked.file();
    const FileGeometry& g = file.geometry();
    const uint64_t pps = g.patPageSize;
    if (pps == 0) return false;
    if (offset < 2 * pps) {
        describeFcr(file, int(offset / pps), (offset % pps) / std::max<uint64_t>(1, pageUnit(g)), j,
                    t);
        return true;
    }
    const uint64_t first = patPairOffset(g, 1);
    if (offset < first) return false;
    const int stride = patPairStride(g);
    const uint64_t n = stride > 0 ? (offset - first) / uint64_t(stride) + 1 : 1;
    if (n > file.lastPatPair() || n > UINT32_MAX) return false;
    const uint64_t at = patPairOffset(g, uint32_t(n));
    if (offset < at || offset >= at + 2 * pps) return false;
    describePat(checked, uint32_t(n), int((offset - at) / pps),
                ((offset - at) % pps) / std::max<uint64_t>(1, pageUnit(g)), j, t);
    return true;
}

}  // namespace inspect
