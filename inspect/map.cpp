// map: one cell per physical page (or per run of pages in a large file),
// coloured by what the page holds, written as an SVG picture.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/pat.h"
#include "inspect/json.h"
#include "inspect/session.h"

using namespace tabulon;

namespace inspect {

namespace {

// Page states, from the least to the most severe: a cell that stands for
// several pages shows the most severe state among them.
enum State : uint8_t {
    Data,
    Index,
    Variable,
    OtherType,
    Fcr,
    PatCurrent,
    PatOlder,
    Orphan,
    ZeroHeader,
    Wrong,
    Unreadable,
    kStates,
    kNone = 0xFF,
};

struct StateStyle {
    const char* key;
    const char* label;
    const char* colour;
};

constexpr StateStyle kStyles[kStates] = {
    {"data", "data page", "#4caf50"},
    {"index", "index page", "#1e88e5"},
    {"variable", "variable page", "#26c6da"},
    {"otherType", "page of another type", "#8e24aa"},
    {"fcr", "FCR copy", "#6d4c41"},
    {"patCurrent", "PAT copy, current", "#ffb300"},
    {"patOlder", "PAT copy, older", "#ffe082"},
    {"orphan", "no entry points here", "#bdbdbd"},
    {"zeroHeader", "zero header", "#fb8c00"},
    {"wrong", "an entry points here wrongly", "#e53935"},
    {"unreadable", "unreadable", "#212121"},
};

constexpr uint64_t kMaxCells = 65536;

State classState(uint16_t type) {
    if (type == pagetype::variable) return Variable;
    switch (pageClassOf(type)) {
        case PageClass::Data: return Data;
        case PageClass::Index: return Index;
        case PageClass::Other: break;
    }
    return OtherType;
}

void raise(uint8_t& at, State s) {
    if (at == kNone || at < s) at = s;
}

std::string xmlText(const std::string& s) {
    std::string r;
    for (char c : s) {
        switch (c) {
            case '&': r += "&amp;"; break;
            case '<': r += "&lt;"; break;
            case '>': r += "&gt;"; break;
            case '"': r += "&quot;"; break;
            default: r += c;
        }
    }
    return r;
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
               State s) {
    const uint64_t unit = pageUnit(g);
    const uint32_t count = uint32_t(states.size());
    // First page that ends after `from`.
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (pageOffset(g, mid) + unit <= from) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    for (uint32_t p = lo; p < count && pageOffset(g, p) < to; ++p) raise(states[p], s);
}

// Marks the PAT copies and the pages the entries point at as the walk finds
// them.
class PageMarks : public tabulon::ScanObserver {
  public:
    PageMarks(const FileGeometry& g, std::vector<uint8_t>& states, std::vector<uint8_t>& pointed)
        : g_(g), states_(states), pointed_(pointed) {}

    void pair(const tabulon::PairReport& r) override {
        for (int c = 0; c < 2; ++c) {
            const uint64_t at = r.offset + uint64_t(c) * g_.patPageSize;
            markBytes(g_, states_, at, at + g_.patPageSize,
                      uint32_t(c) == r.current ? PatCurrent : PatOlder);
        }
        pairStarts.push_back(r.n);
    }
    void entry(const tabulon::EntryCheck& e) override {
        if (e.free || e.physical >= pointed_.size()) return;
        uint8_t& at = pointed_[e.physical];
        if (e.matches) {
            raise(at, classState(e.type));
        } else if (e.page.pageId == 0 && e.page.pageType == 0) {
            raise(at, ZeroHeader);
        } else {
            raise(at, Wrong);
        }
    }
    void pastEnd(uint32_t n) override { stopped = n; }

    std::vector<uint32_t> pairStarts;
    uint32_t stopped = 0;

  private:
    const FileGeometry& g_;
    std::vector<uint8_t>& states_;
    std::vector<uint8_t>& pointed_;
};

// What the map shows of each physical page, and the check's figures.
struct PageStates {
    std::vector<uint8_t> states;
    std::vector<uint32_t> pairStarts;
    uint32_t stopped = 0;  // the pair past the end of the set, or 0
    ScanCounters counters;
    tabulon::SeverityCounts severities;
};

PageStates readPageStates(BtrieveFile& file, bool shared) {
    const FileGeometry& g = file.geometry();
    Scanner scanner(file, quietOptions(shared));
    scanner.preload();

    const uint32_t pages = physicalPages(g, file.fileSet().totalSize());
    PageStates r;
    std::vector<uint8_t>& states = r.states;
    states.assign(pages, kNone);                 // from the layout, then the headers
    std::vector<uint8_t> pointed(pages, kNone);  // from the entries that point at a page
    markBytes(g, states, 0, 2 * uint64_t(g.patPageSize), Fcr);

    PageMarks marks(g, states, pointed);
    scanner.walk(1, file.lastPatPair(), &marks);
    r.counters = scanner.counters();
    r.severities = scanner.severities();
    r.pairStarts = std::move(marks.pairStarts);
    r.stopped = marks.stopped;

    // Pages no entry points at: their own header decides, read as the check
    // reads it (the cache, else the page index's gathered reads).
    PageHeader header;
    for (uint32_t p = 0; p < pages; ++p) {
        if (pointed[p] != kNone) {
            // A layout page an entry points at is pointed at wrongly.
            if (states[p] != kNone && pointed[p] < Orphan) pointed[p] = Wrong;
            raise(states[p], State(pointed[p]));
            continue;
        }
        if (states[p] != kNone) continue;
        std::memset(&header, 0, sizeof header);
        if (!scanner.fetchPageHeader(p, header)) {
            states[p] = Unreadable;
            continue;
        }
        const PageIdentity id = decodePageHeader(g, header);
        states[p] = id.pageId == 0 && id.pageType == 0 ? ZeroHeader : Orphan;
    }
    return r;
}

}  // namespace

int cmdMap(Context& cx, const std::string& path, const std::string& outPath) {
    OpenSet set;
    if (!openForCommand(cx, set, path, true)) return kStatusFailed;
    BtrieveFile& file = set.file();
    const FileGeometry& g = file.geometry();
    const PageStates read = readPageStates(file, cx.shared);
    const std::vector<uint8_t>& states = read.states;
    const uint32_t pages = uint32_t(states.size());
    const ScanCounters& counters = read.counters;
    const std::vector<uint32_t>& pairStarts = read.pairStarts;
    const uint32_t stopped = read.stopped;

    // Cells.
    const uint64_t perCell = std::max<uint64_t>(1, (uint64_t(pages) + kMaxCells - 1) / kMaxCells);
    const uint64_t cells = (uint64_t(pages) + perCell - 1) / perCell;
    std::vector<uint8_t> cell(size_t(cells), kNone);
    uint64_t stateCount[kStates] = {};
    for (uint32_t p = 0; p < pages; ++p) {
        raise(cell[size_t(p / perCell)], State(states[p]));
        ++stateCount[states[p]];
    }
    uint64_t columns = 16;
    while (columns < 256 && columns * columns < cells) columns *= 2;
    const uint64_t rows = (cells + columns - 1) / columns;
    const int px = int(std::clamp<uint64_t>(1024 / columns, 3, 16));
    const int margin = 12, top = 56;
    const uint64_t gridW = columns * uint64_t(px), gridH = rows * uint64_t(px);
    const uint64_t legendTop = uint64_t(top) + gridH + 20;
    const uint64_t width = std::max<uint64_t>(gridW + 2 * uint64_t(margin), 560);
    const uint64_t height = legendTop + 20 * ((kStates + 1) / 2) + 12;

    const std::string name = std::filesystem::path(path).filename().string();
    std::string svg;
    svg.reserve(size_t(cells) * 8 + 4096);
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += strf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
        "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\" "
        "shape-rendering=\"crispEdges\">\n",
        (unsigned long long)width, (unsigned long long)height, (unsigned long long)width,
        (unsigned long long)height);
    const std::string title = strf("%s: version %s (%s), %lu pages (%lu physical), %lu problems",
                                   name.c_str(), versionText(g.versionCode).c_str(),
                                   hex(g.versionCode, 4).c_str(), (unsigned long)g.pageCount,
                                   (unsigned long)pages, (unsigned long)counters.totalProblems);
    svg += "<title>" + xmlText(title) + "</title>\n";
    svg += strf("<rect width=\"%llu\" height=\"%llu\" fill=\"#ffffff\"/>\n",
                (unsigned long long)width, (unsigned long long)height);
    svg += strf("<text x=\"%d\" y=\"22\" font-size=\"15\" font-weight=\"bold\">%s</text>\n", margin,
                xmlText(title).c_str());
    svg += strf(
        "<text x=\"%d\" y=\"42\">%s; %llu columns; PAT pairs start at the black "
        "marks</text>\n",
        margin,
        perCell == 1 ? "one cell per physical page"
                     : strf("one cell per %llu pages, in the most severe state among "
                            "them",
                            (unsigned long long)perCell)
                           .c_str(),
        (unsigned long long)columns);

    // One rectangle per run of equal cells in a row.
    svg += "<g id=\"pages\">\n";
    for (uint64_t r = 0; r < rows; ++r) {
        uint64_t c = 0;
        while (c < columns && r * columns + c < cells) {
            const uint64_t first = r * columns + c;
            uint64_t end = c + 1;
            while (end < columns && r * columns + end < cells &&
                   cell[size_t(r * columns + end)] == cell[size_t(first)]) {
                ++end;
            }
            const uint64_t lastCell = r * columns + end - 1;
            const uint64_t lastPage = std::min<uint64_t>((lastCell + 1) * perCell, pages) - 1;
            svg += strf(
                "<rect x=\"%llu\" y=\"%llu\" width=\"%llu\" height=\"%d\" fill=\"%s\" "
                "data-pages=\"%llu-%llu\"/>\n",
                (unsigned long long)(margin + c * uint64_t(px)),
                (unsigned long long)(top + r * uint64_t(px)),
                (unsigned long long)((end - c) * uint64_t(px)), px,
                kStyles[cell[size_t(first)]].colour, (unsigned long long)(first * perCell),
                (unsigned long long)lastPage);
            c = end;
        }
    }
    svg += "</g>\n<g id=\"pairs\" fill=\"#000000\">\n";
    for (uint32_t n : pairStarts) {
        // The mark sits on the left edge of the cell of the pair's first page.
        const uint64_t at = patPairOffset(g, n);
        uint32_t lo = 0, hi = pages;
        while (lo < hi) {
            uint32_t mid = lo + (hi - lo) / 2;
            if (pageOffset(g, mid) + pageUnit(g) <= at) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo >= pages) continue;
        const uint64_t k = lo / perCell;
        svg += strf("<rect x=\"%llu\" y=\"%llu\" width=\"1\" height=\"%d\" data-pair=\"%lu\"/>\n",
                    (unsigned long long)(margin + (k % columns) * uint64_t(px)),
                    (unsigned long long)(top + (k / columns) * uint64_t(px)), px, (unsigned long)n);
    }
    svg += "</g>\n<g id=\"legend\">\n";
    for (int s = 0; s < kStates; ++s) {
        const uint64_t x = uint64_t(margin) + uint64_t(s % 2) * 280;
        const uint64_t y = legendTop + uint64_t(s / 2) * 20;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"14\" height=\"14\" fill=\"%s\" "
            "stroke=\"#757575\"/><text x=\"%llu\" y=\"%llu\">%s (%llu)</text>\n",
            (unsigned long long)x, (unsigned long long)y, kStyles[s].colour,
            (unsigned long long)(x + 20), (unsigned long long)(y + 12), kStyles[s].label,
            (unsigned long long)stateCount[s]);
    }
    svg += "</g>\n</svg>\n";

    {
        std::ofstream f(outPath, std::ios::binary | std::ios::trunc);
        f.write(svg.data(), std::streamsize(svg.size()));
        f.close();
        if (!f) return fail(cx.out, "cannot write " + outPath);
    }

    Json j;
    j["file"] = path;
    j["output"] = outPath;
    j["version"] = g.versionCode;
    j["pages"] = pages;
    j["pagesPerCell"] = perCell;
    j["cells"] = cells;
    j["columns"] = columns;
    j["pastEnd"] = stopped ? Json(stopped) : Json(nullptr);
    Json byState;
    for (int s = 0; s < kStates; ++s) byState[kStyles[s].key] = stateCount[s];
    j["pageStates"] = byState;
    putCounters(j, counters);
    j["severities"] = severitiesJson(read.severities);
    std::string t = strf("%s: %lu pages in %llu cells (%llu a cell), %lu problems\n",
                         outPath.c_str(), (unsigned long)pages, (unsigned long long)cells,
                         (unsigned long long)perCell, (unsigned long)counters.totalProblems);
    for (int s = 0; s < kStates; ++s) {
        if (stateCount[s])
            t += strf("  %-30s %10llu\n", kStyles[s].label, (unsigned long long)stateCount[s]);
    }
    cx.out.write(Stream::Out, cx.json ? j.dump(2) + "\n" : t);
    return 0;
}

}  // namespace inspect
