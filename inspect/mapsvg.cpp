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

std::string renderMapSvg(const MapModel& m, const MapGrid& grid, bool inline_) {
    const uint32_t pages = uint32_t(m.states.size());
    const uint64_t perCell = grid.perCell, cells = grid.cells, columns = grid.columns;
    std::vector<uint8_t> cell(size_t(cells), kNone);
    for (uint32_t p = 0; p < pages; ++p) raise(cell[size_t(p / perCell)], m.states[p]);
    const uint64_t* stateCount = grid.stateCount;
    const uint64_t rows = (cells + columns - 1) / columns;
    const int px = int(std::clamp<uint64_t>(1024 / columns, 3, 16));
    const int margin = 12, top = 56;
    const uint64_t gridW = columns * uint64_t(px), gridH = rows * uint64_t(px);
    const uint64_t legendTop = uint64_t(top) + gridH + 20;
    const uint64_t width = std::max<uint64_t>(gridW + 2 * uint64_t(margin), 560);
    const uint64_t height = legendTop + 20 * ((kStates + 1) / 2) + 12;

    const std::string& name = m.name;
    std::string svg;
    svg.reserve(size_t(cells) * 8 + 4096);
    if (!inline_) svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += strf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
        "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\" "
        "shape-rendering=\"crispEdges\">\n",
        (unsigned long long)width, (unsigned long long)height, (unsigned long long)width,
        (unsigned long long)height);
    const std::string title =
        strf("%s: version %s (%s), %lu pages (%lu physical), %lu problems", name.c_str(),
             versionText(m.version).c_str(), hex(m.version, 4).c_str(), (unsigned long)m.pageCount,
             (unsigned long)pages, (unsigned long)m.problems);
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
    for (size_t i = 0; i + 1 < m.pairStarts.size(); i += 2) {
        // The mark sits on the left edge of the cell of the pair's first page.
        const uint64_t k = m.pairStarts[i + 1] / perCell;
        svg += strf("<rect x=\"%llu\" y=\"%llu\" width=\"1\" height=\"%d\" data-pair=\"%lu\"/>\n",
                    (unsigned long long)(margin + (k % columns) * uint64_t(px)),
                    (unsigned long long)(top + (k / columns) * uint64_t(px)), px,
                    (unsigned long)m.pairStarts[i]);
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

    return svg;
}

}  // namespace inspect
