// The JSON form of the inspector's results: one document per run, keys in
// the order they are set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "check/options.h"
#include "check/problems.h"
#include "fileio/output.h"

using namespace tabulon;

namespace inspect {

using Json = nlohmann::ordered_json;

// j as j.dump(indent) writes it, with strings escaped as jsonString (see
// names.h) does: a name that is not UTF-8 is written, not refused.
std::string dumpJson(const Json& j, int indent = 2);

// The counters of a check report: {examined: {...}, problemCounts: {...}}.
inline void putCounters(Json& j, const ScanCounters& c) {
    j["examined"] = {{"pat", c.patPagesExamined},
                     {"data", c.dataPagesExamined},
                     {"index", c.indexPagesExamined},
                     {"other", c.otherPagesExamined},
                     {"total", c.totalPagesExamined}};
    j["problemCounts"] = {{"pat", c.patProblems},
                          {"data", c.dataProblems},
                          {"index", c.indexProblems},
                          {"other", c.otherProblems},
                          {"zeroPointers", c.zeroPointerProblems},
                          {"total", c.totalProblems}};
}

// Findings per severity: {damage: n, unusedEntry: n, info: n}.
inline Json severitiesJson(const tabulon::SeverityCounts& s) {
    return {{"damage", s.of(tabulon::Severity::Damage)},
            {"unusedEntry", s.of(tabulon::Severity::UnusedEntry)},
            {"info", s.of(tabulon::Severity::Info)}};
}

// Writes one JSON object as dump(2) writes it, with one array member written
// element by element as the elements come: the members before it, the
// array, then the members after it.
class StreamedDocument {
  public:
    StreamedDocument(Output& out, const Json& head, const std::string& arrayKey) : out_(out) {
        std::string t = dumpJson(head);
        t.resize(t.size() - 2);  // the closing "\n}"
        if (t.size() > 1) t += ",";
        out_.write(Stream::Out, t + "\n  " + dumpJson(Json(arrayKey)) + ": ");
    }
    void element(const Json& j) {
        std::string t = first_ ? "[\n    " : ",\n    ";
        first_ = false;
        for (char c : dumpJson(j)) {
            t += c;
            if (c == '\n') t += "    ";
        }
        out_.write(Stream::Out, t);
    }
    void finish(const Json& tail) {
        std::string t = first_ ? "[]" : "\n  ]";
        std::string rest = dumpJson(tail);
        if (rest.size() > 2) t += "," + rest.substr(1, rest.size() - 3);
        out_.write(Stream::Out, t + "\n}\n");
    }

  private:
    Output& out_;
    bool first_ = true;
};

}  // namespace inspect
