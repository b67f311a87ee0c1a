#include "inspect/mapsvg.h"

#include <algorithm>

#include "inspect/session.h"

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

std::string pageRange(uint64_t first, uint64_t last) {
    return first == last
               ? strf("page %llu", (unsigned long long)first)
               : strf("pages %llu-%llu", (unsigned long long)first, (unsigned long long)last);
}

// The tooltip of the pages [first, last] shown in state s.
std::string tooltip(const MapModel& m, uint64_t first, uint64_t last, uint8_t s) {
    std::string t = pageRange(first, last) + ": " + kStyles[s].label;
    if (first == last) {
        if (first < m.logical.size() && m.logical[first] != 0) {
            t += strf("; the entry of logical page %lu points here",
                      (unsigned long)m.logical[first]);
        }
    } else {
        t += " (the most severe)";
    }
    return t;
}

}  // namespace

std::string renderMapSvg(const MapModel& m, const MapGrid& grid, bool inline_) {
    const uint32_t pages = uint32_t(m.states.size());
    const uint64_t perCell = grid.perCell, cells = grid.cells, columns = grid.columns;
    std::vector<uint8_t> cell(size_t(cells), kNone);
    for (uint32_t p = 0; p < pages; ++p) raise(cell[size_t(p / perCell)], m.states[p]);
    const uint64_t rows = (cells + columns - 1) / columns;
    const int px = int(std::clamp<uint64_t>(1024 / columns, 4, 16));

    // Page numbers: the first page of a row on the left, the offset in the
    // row along the top.
    const uint64_t lastPage = pages == 0 ? 0 : pages - 1;
    const int digits = int(std::to_string(lastPage).size());
    const uint64_t left = 16 + uint64_t(digits) * 7, margin = 12;
    const uint64_t rowEvery = std::max<uint64_t>(1, (14 + uint64_t(px) - 1) / uint64_t(px));
    uint64_t colEvery = 1;
    while (colEvery * uint64_t(px) < 40) colEvery *= 2;

    const std::string title =
        strf("%s: version %s (%s), %lu pages (%lu physical), %lu problems", m.name.c_str(),
             versionText(m.version).c_str(), hex(m.version, 4).c_str(), (unsigned long)m.pageCount,
             (unsigned long)pages, (unsigned long)m.problems);
    const std::string subtitle =
        (perCell == 1 ? std::string("one cell per physical page")
                      : strf("one cell per %llu pages, in the most severe state among them",
                             (unsigned long long)perCell)) +
        strf("; %llu columns; a PAT pair starts at each black bar", (unsigned long long)columns);
    const uint64_t top = 76;
    const uint64_t gridW = columns * uint64_t(px), gridH = rows * uint64_t(px);
    const uint64_t legendTop = top + gridH + 24;
    const int structure = kFirstProblem, problems = kStates - kFirstProblem;
    const uint64_t legendRows = uint64_t(std::max(structure, problems));
    const uint64_t width =
        std::max({left + gridW + margin, uint64_t(720), 2 * margin + title.size() * kTitleCharWidth,
                  2 * margin + subtitle.size() * 7});
    const uint64_t height = legendTop + 24 + 20 * legendRows + 12;

    std::string svg;
    svg.reserve(size_t(cells) * (cells <= kCellsWithTooltips ? 150 : 12) + 8192);
    if (!inline_) svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += strf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
        "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\" "
        "shape-rendering=\"crispEdges\">\n",
        (unsigned long long)width, (unsigned long long)height, (unsigned long long)width,
        (unsigned long long)height);
    svg += "<title>" + xmlText(title) + "</title>\n";
    svg += strf("<rect width=\"%llu\" height=\"%llu\" fill=\"#ffffff\"/>\n",
                (unsigned long long)width, (unsigned long long)height);
    svg += strf("<text x=\"%llu\" y=\"22\" font-size=\"15\" font-weight=\"bold\">%s</text>\n",
                (unsigned long long)margin, xmlText(title).c_str());
    svg += strf("<text x=\"%llu\" y=\"42\">%s</text>\n", (unsigned long long)margin,
                xmlText(subtitle).c_str());

    // Axes.
    svg += "<g id=\"axes\" font-size=\"10\" fill=\"#404040\">\n";
    for (uint64_t c = 0; c < columns; c += colEvery) {
        svg += strf("<text x=\"%llu\" y=\"%llu\">+%llu</text>\n",
                    (unsigned long long)(left + c * uint64_t(px)), (unsigned long long)(top - 6),
                    (unsigned long long)(c * perCell));
    }
    for (uint64_t r = 0; r < rows; r += rowEvery) {
        svg += strf("<text x=\"%llu\" y=\"%llu\" text-anchor=\"end\">%llu</text>\n",
                    (unsigned long long)(left - 4),
                    (unsigned long long)(top + r * uint64_t(px) + std::min(px, 12) - 1),
                    (unsigned long long)(r * columns * perCell));
    }
    svg += "</g>\n";

    // One shape with its tooltip per cell; in a very large picture one per
    // run of equal cells in a row.
    const bool each = cells <= kCellsWithTooltips;
    svg += "<g id=\"pages\">\n";
    for (uint64_t r = 0; r < rows; ++r) {
        uint64_t c = 0;
        while (c < columns && r * columns + c < cells) {
            const uint64_t first = r * columns + c;
            uint64_t end = c + 1;
            while (!each && end < columns && r * columns + end < cells &&
                   cell[size_t(r * columns + end)] == cell[size_t(first)]) {
                ++end;
            }
            const uint64_t lastCell = r * columns + end - 1;
            const uint64_t firstPage = first * perCell;
            const uint64_t lastOfRun = std::min<uint64_t>((lastCell + 1) * perCell, pages) - 1;
            const uint8_t st = cell[size_t(first)];
            // Problem cells also get a dark edge.
            svg += strf(
                "<rect x=\"%llu\" y=\"%llu\" width=\"%llu\" height=\"%d\" fill=\"%s\"%s "
                "data-pages=\"%llu-%llu\"><title>%s</title></rect>\n",
                (unsigned long long)(left + c * uint64_t(px)),
                (unsigned long long)(top + r * uint64_t(px)),
                (unsigned long long)((end - c) * uint64_t(px)), px, kStyles[st].colour,
                st >= kFirstProblem ? " stroke=\"#000000\"" : "", (unsigned long long)firstPage,
                (unsigned long long)lastOfRun,
                xmlText(tooltip(m, firstPage, lastOfRun, st)).c_str());
            c = end;
        }
    }
    // Pair starts: a black bar with a white edge on the left of the cell of
    // the pair's first page, reaching past the cell above and below.
    svg += "</g>\n<g id=\"pairs\" fill=\"#000000\" stroke=\"#ffffff\" stroke-width=\"1\">\n";
    for (size_t i = 0; i + 1 < m.pairStarts.size(); i += 2) {
        const uint64_t k = m.pairStarts[i + 1] / perCell;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"3\" height=\"%d\" data-pair=\"%lu\"><title>PAT "
            "pair %lu starts at page %lu</title></rect>\n",
            (unsigned long long)(left + (k % columns) * uint64_t(px)),
            (unsigned long long)(top + (k / columns) * uint64_t(px) - 2), px + 4,
            (unsigned long)m.pairStarts[i], (unsigned long)m.pairStarts[i],
            (unsigned long)m.pairStarts[i + 1]);
    }
    // The legend: the structure on the left, the problems on the right.
    svg += "</g>\n<g id=\"legend\">\n";
    const uint64_t column2 = std::max<uint64_t>(margin + 330, width / 2);
    svg += strf("<text x=\"%llu\" y=\"%llu\" font-weight=\"bold\">Structure</text>\n",
                (unsigned long long)margin, (unsigned long long)(legendTop + 12));
    svg += strf("<text x=\"%llu\" y=\"%llu\" font-weight=\"bold\">Problems</text>\n",
                (unsigned long long)column2, (unsigned long long)(legendTop + 12));
    for (int s = 0; s < kStates; ++s) {
        const bool problem = s >= kFirstProblem;
        const uint64_t x = problem ? column2 : margin;
        const uint64_t y = legendTop + 22 + uint64_t(problem ? s - kFirstProblem : s) * 20;
        svg += strf(
            "<rect x=\"%llu\" y=\"%llu\" width=\"14\" height=\"14\" fill=\"%s\" "
            "stroke=\"#757575\"/><text x=\"%llu\" y=\"%llu\">%s (%llu)</text>\n",
            (unsigned long long)x, (unsigned long long)y, kStyles[s].colour,
            (unsigned long long)(x + 20), (unsigned long long)(y + 12), kStyles[s].label,
            (unsigned long long)grid.stateCount[s]);
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

}  // namespace inspect
