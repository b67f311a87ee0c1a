// The page map's picture: the state of every physical page, drawn as an SVG
// image (a file of its own, or inline in the report).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/checked.h"
#include "check/options.h"
#include "check/problems.h"
#include "inspect/common/json.h"

namespace inspect {

// Page states, from the least to the most severe: a cell that stands for
// several pages shows the most severe state among them. The states before
// ZeroHeader are the file's structure, the others its problems.
enum MapState : uint8_t {
    Empty,          // a zero header that no entry needs
    Orphan,         // a page no entry points at
    PointedUnused,  // only unused entries (stored type 0) point here
    Data,
    Index,
    Variable,
    OtherType,
    Fcr,
    PatCurrent,
    PatOlder,
    ZeroHeader,  // an entry points at a zero header (or past the end)
    Wrong,       // an entry points here, but the page is not its page
    Unreadable,
    kStates,
    kFirstProblem = ZeroHeader,
    kNone = 0xFF,
};

struct MapModel {
    std::string name;  // the file name shown in the title
    uint16_t version = 0;
    uint32_t pageCount = 0;  // the FCR's
    tabulon::SeverityCounts severities;  // the engine's findings, as the survey counts them
    std::vector<uint8_t> states;    // one per physical page
    // Per physical page, the most severe finding that lies there (the
    // severity's index, kNone for none): a PAT header finding on its copy,
    // a finding of the pair on both copies, an entry's finding on the page it
    // points at (on the current PAT copy when that page lies past the end).
    std::vector<uint8_t> findings;
    std::vector<uint32_t> logical;  // per physical page, the first entry pointing there (0: none)
    std::vector<uint32_t> pairStarts;  // pair number and first physical page, in turn
};

// The model of a file set built from a walk that other sinks may share: the
// walk's stream goes to sink(); finish() reads what the walk left (the
// headers of the pages no entry points at) and gives the model with the
// check's counters and the first pair that lies past the end (or 0).
class MapWalk {
  public:
    explicit MapWalk(tabulon::CheckedFile& checked);
    ~MapWalk();
    MapWalk(const MapWalk&) = delete;
    MapWalk& operator=(const MapWalk&) = delete;
    tabulon::EventSink& sink();
    void finish(tabulon::CheckedFile& checked, MapModel* model, tabulon::ScanCounters* counters,
                uint32_t* stopped);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Builds the model of an open 6.x+ file set from one walk of it, with the
// check's counters and the first pair that lies past the end (or 0).
void buildMapModel(tabulon::CheckedFile& checked, MapModel* model,
                   tabulon::ScanCounters* counters, uint32_t* stopped);

// "2 damage, 90 unused-entry, 1 info": the findings by severity, as the
// survey counts them.
std::string severitySummary(const tabulon::SeverityCounts& s);

// The cells of a model: pages per cell, cells and columns.
struct MapGrid {
    uint64_t perCell = 1, cells = 0, columns = 16;
    uint64_t stateCount[kStates] = {};
};

MapGrid mapGrid(const MapModel& m);

// The SVG picture; `inline_` leaves out the XML declaration (for HTML).
std::string renderMapSvg(const MapModel& m, const MapGrid& grid, bool inline_);

// The states' keys ("data", ...) and labels ("data page", ...).
const char* mapStateKey(int s);
const char* mapStateLabel(int s);

}  // namespace inspect
