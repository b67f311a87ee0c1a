// map: one cell per physical page (or per run of pages in a large file),
// coloured by what the page holds, written as an SVG picture.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "format/pat.h"
#include "inspect/common/findings.h"
#include "inspect/common/json.h"
#include "inspect/onefile/mapsvg.h"
#include "inspect/common/names.h"
#include "inspect/common/session.h"

using namespace tabulon;

namespace inspect {

namespace {

MapState classState(uint16_t type) {
    if (type == pagetype::variable) return Variable;
    switch (pageClassOf(type)) {
        case PageClass::Data: return Data;
        case PageClass::Index: return Index;
        case PageClass::Other: break;
    }
    return OtherType;
}

void raise(uint8_t& at, MapState s) {
    if (at == kNone || at < s) at = s;
}

// Physical pages whose header and usage word lie inside the set.
uint32_t physicalPages(const FileGeometry& g, uint64_t total) {
    const uint64_t need = uint64_t(g.headerSize) + 2;
    auto inside = [&](uint64_t p) { return pageOffset(g, uint32_t(p)) + need <= total; };
    if (pageUnit(g) == 0 || !inside(0)) return 0;
    uint64_t good = 0, bad = std::min<uint64_t>(total / pageUnit(g) + 2, UINT32_MAX);
    if (inside(bad)) return uint32_t(bad);
    while (bad - good > 1) {
        uint64_t mid = good + (bad - good) / 2;
        (inside(mid) ? good : bad) = mid;
    }
    return uint32_t(good + 1);
}

// Marks the pages that overlap the bytes [from, to) of the set.
void markBytes(const FileGeometry& g, std::vector<uint8_t>& states, uint64_t from, uint64_t to,
               MapState s) {
    const uint32_t count = uint32_t(states.size());
    // First page that ends after `from`.
    const uint32_t lo = pageOfOffset(g, from, count);
    for (uint32_t p = lo; p < count && pageOffset(g, p) < to; ++p) raise(states[p], s);
}

// The map state of the page an entry points at, from the engine's findings
// on the entry: a page whose header names the entry's page shows its class;
// a finding of an unused entry is no problem of the page.
MapState pointedState(const EntryCheck& e) {
    if (e.matches) return classState(e.type);
    for (int i = 0; i < e.count; ++i) {
        const Finding& f = e.findings[i];
        if (f.code == Problem::InvalidUsage || f.code == Problem::UnusedInvalidUsage) continue;
        if (f.severity() == Severity::UnusedEntry) return PointedUnused;
        return f.code == Problem::ZeroHeader ? ZeroHeader : Wrong;
    }
    return classState(e.type);
}

// Keeps the most severe finding of a page.
void markFinding(std::vector<uint8_t>& findings, uint32_t p, Severity s) {
    if (p >= findings.size()) return;
    uint8_t& at = findings[p];
    if (at == kNone || uint8_t(s) < at) at = uint8_t(s);
}

// Marks the PAT copies and the pages the entries point at as the walk finds
// them, and each finding of the engine where it lies.
class PageMarks : public EventSink {
  public:
    PageMarks(const FileGeometry& g, MapModel& m, std::vector<uint8_t>& pointed)
        : g_(g), m_(m), pointed_(pointed) {}

    void pair(const PairEvent& r) override {
        for (int c = 0; c < 2; ++c) {
            const uint64_t at = copyAt(r.offset, c);
            markBytes(g_, m_.states, at, at + g_.patPageSize,
                      uint32_t(c) == r.current ? PatCurrent : PatOlder);
        }
        pairStarts.push_back(r.n);
        current_ = int(r.current);
    }
    void entry(const EntryCheck& e) override {
        if (e.free || e.physical >= pointed_.size()) return;
        if (m_.logical[e.physical] == 0) m_.logical[e.physical] = e.logical;
        raise(pointed_[e.physical], pointedState(e));
    }
    void finding(const Finding& f) override;
    std::vector<uint32_t> pairStarts;
    uint32_t stopped = 0;

  private:
    uint64_t copyAt(uint64_t pairOffset, int c) const {
        return pairOffset + uint64_t(c) * g_.patPageSize;
    }
    // A finding of pair n comes before or after the pair's own event: its
    // copies are placed from its number.
    void markCopy(uint32_t n, int c, Severity s) {
        const uint32_t pages = uint32_t(m_.findings.size());
        markFinding(m_.findings, pageOfOffset(g_, copyAt(patPairOffset(g_, n), c), pages), s);
    }

    const FileGeometry& g_;
    MapModel& m_;
    std::vector<uint8_t>& pointed_;
    int current_ = 0;
};

void PageMarks::finding(const Finding& f) {
    if (f.code == Problem::LastPairPastEnd) stopped = f.pair;
    const Severity s = f.severity();
    switch (f.row().counter) {
        case CounterClass::PatPage: markCopy(f.pair, f.copy, s); return;
        case CounterClass::None:  // about the pair: both copies
            markCopy(f.pair, 0, s);
            markCopy(f.pair, 1, s);
            return;
        default: break;
    }
    if (f.physical < m_.findings.size()) {
        markFinding(m_.findings, f.physical, s);
    } else {
        markCopy(f.pair, current_, s);  // the page lies past the end: the entry shows it
    }
}

// Pages no entry points at: their own header decides, read as the check
// reads it (the cache, else the page index's gathered reads).
void settleStates(const FileGeometry& g, CheckedFile& checked, std::vector<uint8_t>& states,
                  const std::vector<uint8_t>& pointed) {
    PageHeader header;
    for (uint32_t p = 0; p < states.size(); ++p) {
        if (pointed[p] != kNone) {
            // A layout page an entry of a page type points at is pointed at
            // wrongly.
            uint8_t shown = pointed[p];
            if (states[p] != kNone && shown >= Data && shown <= OtherType) shown = Wrong;
            raise(states[p], MapState(shown));
            continue;
        }
        if (states[p] != kNone) continue;
        std::memset(&header, 0, sizeof header);
        if (!checked.pageHeader(p, header)) {
            states[p] = Unreadable;
            continue;
        }
        const PageIdentity id = decodePageHeader(g, header);
        // A page no entry needs: empty, or an old image of some page.
        states[p] = id.pageId == 0 && id.pageType == 0 ? Empty : Orphan;
    }
}

}  // namespace

std::string severitySummary(const SeverityCounts& s) {
    std::string t;
    for (size_t i = 0; i < kSeverityCount; ++i) {
        if (!t.empty()) t += ", ";
        t += strf("%lu %s", (unsigned long)s.count[i], severityKey(Severity(i)));
    }
    return t;
}

// What a walk leaves for the map: the model's marks as the walk finds them.
struct MapWalk::State {
    explicit State(const FileGeometry& g, uint32_t pages) : g(g), marks(g, model, pointed) {
        model.states.assign(pages, kNone);           // from the layout, then the headers
        model.findings.assign(pages, kNone);
        model.logical.assign(pages, 0);              // the first entry that points at a page
        pointed.assign(pages, kNone);                // from the entries that point at a page
        markBytes(g, model.states, 0, 2 * uint64_t(g.patPageSize), Fcr);
    }
    const FileGeometry& g;
    MapModel model;
    std::vector<uint8_t> pointed;
    PageMarks marks;
};

MapWalk::MapWalk(CheckedFile& checked)
    : s_(std::make_unique<State>(checked.geometry(),
                                 physicalPages(checked.geometry(),
                                               checked.file().fileSet().totalSize()))) {}
MapWalk::~MapWalk() = default;

EventSink& MapWalk::sink() { return s_->marks; }

void MapWalk::finish(CheckedFile& checked, MapModel* out, ScanCounters* countersOut,
                     uint32_t* stoppedOut) {
    const FileGeometry& g = checked.geometry();
    MapModel& model = s_->model;
    const uint32_t pages = uint32_t(model.states.size());
    settleStates(g, checked, model.states, s_->pointed);
    model.version = g.versionCode;
    model.pageCount = g.pageCount;
    model.severities = checked.severities();
    for (uint32_t n : s_->marks.pairStarts) {
        // The first page of the pair.
        const uint32_t lo = pageOfOffset(g, patPairOffset(g, n), pages);
        if (lo < pages) {
            model.pairStarts.push_back(n);
            model.pairStarts.push_back(lo);
        }
    }
    *out = std::move(model);
    *countersOut = checked.counters();
    *stoppedOut = s_->marks.stopped;
}

void buildMapModel(CheckedFile& checked, MapModel* out, ScanCounters* countersOut,
                   uint32_t* stoppedOut) {
    MapWalk walk(checked);
    checked.walk({&walk.sink()});
    walk.finish(checked, out, countersOut, stoppedOut);
}

int cmdMap(Context& cx, const std::string& path, const std::string& outPath) {
    std::optional<CheckedFile> checked = openForCommand(cx, path, true);
    if (!checked) return kStatusFailed;
    const FileGeometry& g = checked->geometry();
    MapModel model;
    ScanCounters counters;
    uint32_t stopped = 0;
    buildMapModel(*checked, &model, &counters, &stopped);
    model.name = displayName(pathText(fsPath(path).filename()));
    const uint32_t pages = uint32_t(model.states.size());
    const MapGrid grid = mapGrid(model);
    const std::string svg = renderMapSvg(model, grid, false);
    const uint64_t perCell = grid.perCell, cells = grid.cells, columns = grid.columns;
    const uint64_t* stateCount = grid.stateCount;

    if (std::string why; !writeAtomically(outPath, svg, &why)) return fail(cx.out, why);

    Json j;
    j["path"] = path;
    j["output"] = outPath;
    j["version"] = g.versionCode;
    j["versionHex"] = hex(g.versionCode, 4);
    j["physicalPages"] = pages;
    j["pagesPerCell"] = perCell;
    j["cells"] = cells;
    j["columns"] = columns;
    j["pastEnd"] = stopped ? Json(stopped) : Json(nullptr);
    Json byState;
    for (int s = 0; s < kStates; ++s) byState[mapStateKey(s)] = stateCount[s];
    j["pageStates"] = byState;
    putCounters(j, counters);
    j["findingCounts"] = severitiesJson(model.severities);
    std::string t = strf(
        "%s: %lu pages in %llu cells (%llu %s), %s\n", displayName(outPath).c_str(),
        (unsigned long)pages, (unsigned long long)cells, (unsigned long long)perCell,
        perCell == 1 ? "page per cell" : "pages per cell", severitySummary(model.severities).c_str());
    for (int s = 0; s < kStates; ++s) {
        if (stateCount[s])
            t += strf("  %-40s %10llu\n", mapStateLabel(s), (unsigned long long)stateCount[s]);
    }
    cx.out.write(Stream::Out, cx.json ? dumpJson(j) + "\n" : t);
    return 0;
}

}  // namespace inspect
