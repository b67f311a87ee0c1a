#include "check/classify.h"

namespace tabulon {

PatHeaderCheck classifyPatHeaders(uint16_t version, const uint8_t* copy0, const uint8_t* copy1,
                                  uint32_t n) {
    PatHeaderCheck h;
    h.layout = patHeaderLayout(version);
    auto add = [&](Problem code, int copy) -> Finding& {
        Finding& f = h.findings[h.count++];
        f.code = code;
        f.pair = n;
        f.copy = copy;
        f.version = version;
        return f;
    };
    if (!h.layout) {
        add(Problem::PatLayoutUnknown, 0);
        return h;
    }
    const PatHeaderLayout& l = *h.layout;
    const uint8_t* copies[2] = {copy0, copy1};
    for (int c = 0; c < 2; ++c) {
        h.signatureSound[c] = patSignatureSound(l, copies[c]);
        if (!h.signatureSound[c]) add(Problem::PatSignature, c).signatureLength = l.signatureLength;
    }
    for (int c = 0; c < 2; ++c) {
        h.pairNumber[c] = patHeaderPairNumber(l, copies[c]);
        if (h.pairNumber[c] == n) continue;
        Finding& f = add(Problem::PatPairNumber, c);
        f.expected = n;
        f.found = h.pairNumber[c];
        f.digits = l.pairDigits;
    }
    return h;
}

EntryCheck readEntry(const FileGeometry& g, const uint8_t* page, uint32_t n, uint32_t slot,
                     uint32_t logical) {
    EntryCheck e;
    e.pair = n;
    e.slot = slot;
    e.logical = logical;
    const PatEntry entry = readPatEntry(g, page, slot);
    e.physical = entry.physical;
    e.storedType = e.type = entry.type;
    if (g.versionCode >= version::v1630 && e.type == pagetype::dataExtended)
        e.type = pagetype::data;
    e.free = g.versionCode >= version::v800 && e.physical == pat::freeSpace;
    return e;
}

void classifyEntry(const FileGeometry& g, EntryCheck& e, bool headerRead, const PageHeader& header,
                   bool checkZeroPointers) {
    e.headerRead = headerRead;
    e.header = headerRead ? header : PageHeader{};
    e.page = headerRead ? decodePageHeader(g, e.header) : PageIdentity{0, 0};
    e.count = 0;
    const bool unused = e.storedType == 0;
    auto add = [&](Problem code) {
        Finding& f = e.findings[e.count++];
        f.code = code;
        f.pair = e.pair;
        f.slot = e.slot;
        f.logical = e.logical;
        f.type = e.type;
        f.storedType = e.storedType;
        f.physical = e.physical;
        f.headerRead = e.headerRead;
        f.page = e.page;
        f.usage = e.header.usageCount;
    };

    // Compressed pages keep no usage count in their headers.
    if (!g.compressed && e.page.pageType == pagetype::data &&
        !(e.header.usageCount & pagetype::usageValid)) {
        add(unused ? Problem::UnusedInvalidUsage : Problem::InvalidUsage);
    }
    e.matches = e.page.pageId == e.logical && e.page.pageType == e.type;
    if (e.matches) return;
    if (e.page.pageId == 0 && e.page.pageType == 0) {
        add(unused ? Problem::UnusedZeroHeader : Problem::ZeroHeader);
    } else if (!unused) {
        add(Problem::PointsElsewhere);
    } else {
        add(checkZeroPointers ? Problem::UnusedPointsElsewhere : Problem::UnusedZeroPointer);
    }
}

}  // namespace tabulon
