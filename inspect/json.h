// The JSON form of the inspector's results: one document per run, keys in
// the order they are set.
#pragma once

#include <nlohmann/json.hpp>

#include "check/options.h"

namespace inspect {

using Json = nlohmann::ordered_json;

// The counters of a check report: {examined: {...}, problems: {...}}.
inline void putCounters(Json& j, const ScanCounters& c) {
    j["examined"] = {{"pat", c.patPagesExamined},
                     {"data", c.dataPagesExamined},
                     {"index", c.indexPagesExamined},
                     {"other", c.otherPagesExamined},
                     {"total", c.totalPagesExamined}};
    j["problems"] = {{"pat", c.patProblems},
                     {"data", c.dataProblems},
                     {"index", c.indexProblems},
                     {"other", c.otherProblems},
                     {"zeroPointers", c.zeroPointerProblems},
                     {"total", c.totalProblems}};
}

}  // namespace inspect
