#include "inspect/onefile/mapsvg.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "inspect/common/findings.h"
#include "inspect/common/session.h"

using namespace tabulon;

namespace inspect {

namespace {

struct StateStyle {
    const char* key;
    const char* label;
    const char* colour;
};

// Colours of the Okabe-Ito set, which readers with any common colour vision
// deficiency tell apart: the structure in blues, green, yellow, orange and
// greys; the problems in vermillion, reddish purple and black, each of
// another lightness than the structure's colours.
constexpr StateStyle kStyles[kStates] = {
    {"empty", "empty page that no entry needs", "#f4f4f4"},
    {"orphan", "no entry points here", "#d4d4d4"},
    {"unusedEntry", "only unused entries (type 0) point here", "#a3a3a3"},
    {"data", "data page", "#56b4e9"},
    {"index", "index page", "#0072b2"},
    {"variable", "variable page", "#009e73"},
    {"otherType", "page of another type", "#f0e442"},
    {"fcr", "FCR copy", "#5c5c5c"},
    {"patCurrent", "PAT copy, current", "#e69f00"},
    {"patOlder", "PAT copy, older", "#f5d48f"},
    {"zeroHeader", "an entry points at a zero header", "#cc79a7"},
    {"wrong", "an entry points here wrongly", "#d55e00"},
    {"unreadable", "unreadable", "#000000"},
};

// Cells that each get a shape and a tooltip of their own; a larger picture
// draws runs of equal cells, with the tooltip on the run.
constexpr uint64_t kCellsWithTooltips = 16384;
// Width of a character of the title (15 px bold sans-serif), generously.
constexpr uint64_t kTitleCharWidth = 9;

constexpr uint64_t kMaxCells = 65536;

void raise(uint8_t& at, uint8_t s) {
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

}  // namespace

const char* mapStateKey(int s) {
    return kStyles[s].key;
}

const char* mapStateLabel(int s) {
    return kStyles[s].label;
}

MapGrid mapGrid(const MapModel& m) {
    MapGrid g;
    const uint64_t pages = m.states.size();
    g.perCell = std::max<uint64_t>(1, (pages + kMaxCells - 1) / kMaxCells);
    g.cells = (pages + g.perCell - 1) / g.perCell;
    for (uint8_t s : m.states) ++g.stateCount[s];
    while (g.columns < 256 && g.columns * g.columns < g.cells) g.columns *= 2;
    return g;
}

namespace {

// Appends text as it stands and numbers in decimal: the picture has a shape
// per cell, too many for a format string each.
class Svg {
  public:
    explicit Svg(std::string& s) : s_(s) {}
    Svg& operator<<(std::string_view t) {
        s_.append(t);
        return *this;
    }
    Svg& operator<<(uint64_t v) {
        char b[24];
        const auto r = std::to_chars(b, b + sizeof b, v);
        s_.append(b, r.ptr);
        return *this;
    }
    Svg& operator<<(int v) {
        char b[16];
        const auto r = std::to_chars(b, b + sizeof b, v);
        s_.append(b, r.ptr);
        return *this;
    }

  private:
    std::string& s_;
};

void pageRange(std::string& t, uint64_t first, uint64_t last) {
    Svg out(t);
    if (first == last) {
        out << "page " << first;
    } else {
        out << "pages " << first << "-" << last;
    }
}

std::string pageRange(uint64_t first, uint64_t last) {
    std::string t;
    pageRange(t, first, last);
    return t;
}

// Appends the tooltip of the pages [first, last] shown in state s, as XML
// text: the numbers need no escape, the label its own (`label`).
void tooltip(std::string& t, const MapModel& m, uint64_t first, uint64_t last,
             const std::string& label) {
    pageRange(t, first, last);
    Svg out(t);
    out << ": " << label;
    if (first == last) {
        if (first < m.logical.size() && m.logical[first] != 0) {
            out << "; the entry of logical page " << uint64_t(m.logical[first]) << " points here";
        }
    } else {
        out << " (the most severe)";
    }
}

// Where the parts of the picture go.
struct Layout {
    uint64_t perCell, cells, columns, rows, pages;
    int px;
    uint64_t left, margin = 12, top = 76, rowEvery, colEvery = 1;
    uint64_t legendTop, width, height;
    std::string title, subtitle;
};

Layout layoutOf(const MapModel& m, const MapGrid& grid) {
    Layout l;
    l.pages = m.states.size();
    l.perCell = grid.perCell;
    l.cells = grid.cells;
    l.columns = grid.columns;
    l.rows = (l.cells + l.columns - 1) / l.columns;
    l.px = int(std::clamp<uint64_t>(1024 / l.columns, 4, 16));
    // Page numbers: the first page of a row on the left, the offset in the
    // row along the top.
    const uint64_t lastPage = l.pages == 0 ? 0 : l.pages - 1;
    l.left = 16 + uint64_t(std::to_string(lastPage).size()) * 7;
    l.rowEvery = std::max<uint64_t>(1, (14 + uint64_t(l.px) - 1) / uint64_t(l.px));
    while (l.colEvery * uint64_t(l.px) < 40) l.colEvery *= 2;
    l.title = strf("%s: version %s (%s), %lu pages (%lu physical), ", m.name.c_str(),
                   versionText(m.version).c_str(), hex(m.version, 4).c_str(),
                   (unsigned long)m.pageCount, (unsigned long)l.pages) +
              severitySummary(m.severities);
    l.subtitle = (l.perCell == 1 ? std::string("one cell per physical page")
                                 : strf("one cell per %llu pages, in the most severe state among "
                                        "them",
                                        (unsigned long long)l.perCell)) +
                 strf("; %llu columns; a PAT pair starts at each black bar; a finding is "
                      "outlined in its severity's colour",
                      (unsigned long long)l.columns);
    const uint64_t gridW = l.columns * uint64_t(l.px), gridH = l.rows * uint64_t(l.px);
    l.legendTop = l.top + gridH + 24;
    const int structure = kFirstProblem, problems = kStates - kFirstProblem + 1 + kSeverities;
    const uint64_t legendRows = uint64_t(std::max(structure, problems));
    l.width = std::max({l.left + gridW + l.margin, uint64_t(720),
                        2 * l.margin + l.title.size() * kTitleCharWidth,
                        2 * l.margin + l.subtitle.size() * 7});
    l.height = l.legendTop + 24 + 20 * legendRows + 12;
    return l;
}

using ull = unsigned long long;

void head(std::string& svg, const Layout& l, bool inline_) {
    if (!inline_) svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += strf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
        "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\" "
        "shape-rendering=\"crispEdges\">\n",
        ull(l.width), ull(l.height), ull(l.width), ull(l.height));
    svg += "<title>" + xmlText(l.title) + "</title>\n";
    svg += strf("<rect width=\"%llu\" height=\"%llu\" fill=\"#ffffff\"/>\n", ull(l.width),
                ull(l.height));
    svg += strf("<text x=\"%llu\" y=\"22\" font-size=\"15\" font-weight=\"bold\">%s</text>\n",
                ull(l.margin), xmlText(l.title).c_str());
    svg += strf("<text x=\"%llu\" y=\"42\">%s</text>\n", ull(l.margin),
                xmlText(l.subtitle).c_str());
    svg += "<g id=\"axes\" font-size=\"10\" fill=\"#404040\">\n";
    for (uint64_t c = 0; c < l.columns; c += l.colEvery) {
        svg += strf("<text x=\"%llu\" y=\"%llu\">+%llu</text>\n",
                    ull(l.left + c * uint64_t(l.px)), ull(l.top - 6), ull(c * l.perCell));
    }
    for (uint64_t r = 0; r < l.rows; r += l.rowEvery) {
        svg += strf("<text x=\"%llu\" y=\"%llu\" text-anchor=\"end\">%llu</text>\n",
                    ull(l.left - 4), ull(l.top + r * uint64_t(l.px) + std::min(l.px, 12) - 1),
                    ull(r * l.columns * l.perCell));
    }
    svg += "</g>\n";
}

// One shape with its tooltip per cell; in a very large picture one per run
// of equal cells in a row.
void cellShapes(std::string& svg, const MapModel& m, const Layout& l,
                const std::vector<uint8_t>& cell) {
    const bool each = l.cells <= kCellsWithTooltips;
    std::string labels[kStates];
    for (int s = 0; s < kStates; ++s) labels[s] = xmlText(kStyles[s].label);
    svg += "<g id=\"pages\">\n";
    for (uint64_t r = 0; r < l.rows; ++r) {
        uint64_t c = 0;
        while (c < l.columns && r * l.columns + c < l.cells) {
            const uint64_t first = r * l.columns + c;
            uint64_t end = c + 1;
            while (!each && end < l.columns && r * l.columns + end < l.cells &&
                   cell[size_t(r * l.columns + end)] == cell[size_t(first)]) {
                ++end;
            }
            const uint64_t lastCell = r * l.columns + end - 1;
            const uint64_t firstPage = first * l.perCell;
            const uint64_t lastOfRun = std::min<uint64_t>((lastCell + 1) * l.perCell, l.pages) - 1;
            const uint8_t st = cell[size_t(first)];
            // Problem cells also get a dark edge.
            Svg(svg) << "<rect x=\"" << uint64_t(l.left + c * uint64_t(l.px)) << "\" y=\""
                     << uint64_t(l.top + r * uint64_t(l.px)) << "\" width=\""
                     << uint64_t((end - c) * uint64_t(l.px)) << "\" height=\"" << l.px
                     << "\" fill=\"" << kStyles[st].colour << "\""
                     << (st >= kFirstProblem ? " stroke=\"#000000\"" : "") << " data-pages=\""
                     << firstPage << "-" << lastOfRun << "\"><title>";
            tooltip(svg, m, firstPage, lastOfRun, labels[st]);
            svg += "</title></rect>\n";
            c = end;
        }
    }
    svg += "</g>\n";
}

// Colours of the findings' outlines, by severity.
constexpr const char* kSeverityColours[kSeverities] = {"#d55e00", "#757575", "#0072b2"};

// The findings: an outline in the colour of the most severe finding of the
// cell, over the cell.
void findingShapes(std::string& svg, const MapModel& m, const Layout& l) {
    std::vector<uint8_t> cell(size_t(l.cells), kNone);
    for (size_t p = 0; p < m.findings.size(); ++p) {
        uint8_t& at = cell[p / l.perCell];
        if (m.findings[p] != kNone && (at == kNone || m.findings[p] < at)) at = m.findings[p];
    }
    svg += "<g id=\"findings\" fill=\"none\" stroke-width=\"2\">\n";
    for (uint64_t k = 0; k < l.cells; ++k) {
        const uint8_t s = cell[size_t(k)];
        if (s == kNone) continue;
        const uint64_t first = k * l.perCell;
        const uint64_t last = std::min<uint64_t>(first + l.perCell, l.pages) - 1;
        Svg(svg) << "<rect x=\"" << uint64_t(l.left + (k % l.columns) * uint64_t(l.px) + 1)
                 << "\" y=\"" << uint64_t(l.top + (k / l.columns) * uint64_t(l.px) + 1)
                 << "\" width=\"" << (l.px - 2) << "\" height=\"" << (l.px - 2) << "\" stroke=\""
                 << kSeverityColours[s] << "\" data-severity=\"" << severityName(s)
                 << "\"><title>";
        pageRange(svg, first, last);
        Svg(svg) << ": " << severityName(s) << "</title></rect>\n";
    }
    svg += "</g>\n";
}

// Pair starts: a black bar with a white edge on the left of the cell of the
// pair's first page, reaching past the cell above and below.
void pairBars(std::string& svg, const MapModel& m, const Layout& l) {
    svg += "<g id=\"pairs\" fill=\"#000000\" stroke=\"#ffffff\" stroke-width=\"1\">\n";
    for (size_t i = 0; i + 1 < m.pairStarts.size(); i += 2) {
        const uint64_t k = m.pairStarts[i + 1] / l.perCell;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"3\" height=\"%d\" data-pair=\"%lu\"><title>PAT "
            "pair %lu starts at page %lu</title></rect>\n",
            ull(l.left + (k % l.columns) * uint64_t(l.px)),
            ull(l.top + (k / l.columns) * uint64_t(l.px) - 2), l.px + 4,
            (unsigned long)m.pairStarts[i], (unsigned long)m.pairStarts[i],
            (unsigned long)m.pairStarts[i + 1]);
    }
    svg += "</g>\n";
}

// The legend: the structure on the left, the problems and the findings'
// outlines on the right.
void legend(std::string& svg, const MapModel& m, const MapGrid& grid, const Layout& l) {
    svg += "<g id=\"legend\">\n";
    const uint64_t column2 = std::max<uint64_t>(l.margin + 330, l.width / 2);
    svg += strf("<text x=\"%llu\" y=\"%llu\" font-weight=\"bold\">Structure</text>\n",
                ull(l.margin), ull(l.legendTop + 12));
    svg += strf("<text x=\"%llu\" y=\"%llu\" font-weight=\"bold\">Problems</text>\n",
                ull(column2), ull(l.legendTop + 12));
    for (int s = 0; s < kStates; ++s) {
        const bool problem = s >= kFirstProblem;
        const uint64_t x = problem ? column2 : l.margin;
        const uint64_t y = l.legendTop + 22 + uint64_t(problem ? s - kFirstProblem : s) * 20;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"14\" height=\"14\" fill=\"%s\" "
            "stroke=\"#757575\"/><text x=\"%llu\" y=\"%llu\">%s (%llu)</text>\n",
            ull(x), ull(y), kStyles[s].colour, ull(x + 20), ull(y + 12), kStyles[s].label,
            ull(grid.stateCount[s]));
    }
    for (int s = 0; s < kSeverities; ++s) {
        const uint64_t y = l.legendTop + 22 + uint64_t(kStates - kFirstProblem + s) * 20;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"12\" height=\"12\" fill=\"none\" "
            "stroke=\"%s\" stroke-width=\"2\"/><text x=\"%llu\" y=\"%llu\">finding: %s "
            "(%lu)</text>\n",
            ull(column2 + 1), ull(y + 1), kSeverityColours[s], ull(column2 + 20), ull(y + 12),
            severityName(s), (unsigned long)m.severities.count[s]);
    }
    svg += "</g>\n";
}

}  // namespace

std::string renderMapSvg(const MapModel& m, const MapGrid& grid, bool inline_) {
    const Layout l = layoutOf(m, grid);
    std::vector<uint8_t> cell(size_t(l.cells), kNone);
    for (uint64_t p = 0; p < l.pages; ++p) raise(cell[size_t(p / l.perCell)], m.states[p]);
    std::string svg;
    svg.reserve(size_t(l.cells) * (l.cells <= kCellsWithTooltips ? 150 : 12) + 8192);
    head(svg, l, inline_);
    cellShapes(svg, m, l, cell);
    findingShapes(svg, m, l);
    pairBars(svg, m, l);
    legend(svg, m, grid, l);
    svg += "</svg>\n";
    return svg;
}

}  // namespace inspect
