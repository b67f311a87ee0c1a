#include "check/scan.h"

using namespace tabulon;

namespace {

constexpr uint32_t kFirstPage = kFirstCachedPage;

// Whether the search can decode page ids in this version family.
bool searchable(uint16_t v) {
    if (v < version::v600) return false;
    return v <= version::v950 || v >= version::v1300;
}

}  // namespace

// Keeps the best candidate: highest usage value, the first one seen on ties.
struct Scanner::Choice {
    bool chosen = false;
    uint32_t physical = 0;
    uint16_t type = 0;
    uint16_t usage = 0;

    void offer(uint32_t n, const PageHeader& h, uint16_t t) {
        uint16_t u = h.usageCount & pagetype::usageValue;
        if (!chosen || u > usage) {
            chosen = true;
            physical = n;
            type = t;
            usage = u;
        }
    }
};

void Scanner::printFound(uint32_t p, uint32_t physical, uint16_t type) {
    // "Found Logical Page %.8lx at Physical Page %.8lx[ (0x%.10I64x)] with
    // type %.4x.\n"
    Line line;
    line.text("Found Logical Page ").hex(p, 8).text(" at Physical Page ").hex(physical, 8);
    if (options_.showOffsets) line.text(" (0x").hex(file_.pageOffset(physical), 10).text(")");
    line.text(" with type ").hex(type, 4).text(".\n");
    writer_.print(Stream::Out, line.view());
}

// Every candidate page in order: its cached header where the cache holds
// one, else its header read from the file set, with the read's trace line
// under /D. A page that cannot be read is skipped.
Scanner::Choice Scanner::walkPages(uint32_t p, Coverage* coverage) {
    Choice c;
    PageHeader h{};
    index_.plan();
    for (uint32_t n = kFirstPage; n < index_.end(); ++n) {
        if (!index_.candidate(n)) continue;
        if (!cache_.lookup(n, h) && !file_.readPageHeader(n, h)) {
            coverage->complete = false;
            continue;
        }
        coverage->looked = true;
        PageIdentity id = decodePageHeader(g_, h);
        if (id.pageId == p) c.offer(n, h, id.pageType);
    }
    return c;
}

Scanner::Choice Scanner::searchIndex(uint32_t p, Coverage* coverage) {
    Choice c;
    index_.forEachNaming(p, [&](uint32_t n, const PageHeader& h) {
        c.offer(n, h, decodePageHeader(g_, h).pageType);
    });
    coverage->looked = index_.readablePages() > 0;
    coverage->complete = index_.complete();
    return c;
}

void Scanner::noteRewrittenHeader(uint32_t p, const PageHeader& header) {
    cache_.update(p, header);
    index_.noteCachedRewrite(p);
}

bool Scanner::findBestPagePlain(uint32_t p, uint32_t& physical, uint16_t& type, bool* searchedAll) {
    physical = 0;
    type = 0;
    Coverage coverage;
    Choice c = walkPages(p, &coverage);
    if (searchedAll) *searchedAll = coverage.looked && coverage.complete;
    if (!c.chosen) return false;
    physical = c.physical;
    type = c.type;
    return true;
}

bool Scanner::findBestPage(uint32_t p, uint32_t& physical, uint16_t& type, bool* searchedAll) {
    physical = 0;
    type = 0;
    if (searchedAll) *searchedAll = false;
    if (!searchable(g_.versionCode)) return false;
    Coverage coverage;
    // Under /D the pages the cache lacks are read one by one, on every
    // search, each with its trace line; otherwise the index answers.
    Choice c = options_.verbose ? walkPages(p, &coverage) : searchIndex(p, &coverage);
    if (searchedAll) *searchedAll = coverage.looked && coverage.complete;
    if (!c.chosen) return false;
    physical = c.physical;
    type = c.type;
    printFound(p, physical, type);
    return true;
}
