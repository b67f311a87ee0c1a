// The JSON form of the inspector's results: one document per run, keys in
// the order they are set.
#pragma once

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>

#include "check/options.h"
#include "check/problems.h"
#include "fileio/output.h"

namespace inspect {

using Json = nlohmann::ordered_json;

// j as j.dump(indent) writes it, with strings escaped as jsonString (see
// names.h) does: a name that is not UTF-8 is written, not refused.
std::string dumpJson(const Json& j, int indent = 2);

// The counters of a check report: {examined: {...}, problemCounts: {...}}.
inline void putCounters(Json& j, const tabulon::ScanCounters& c) {
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

// A key of the problem table as a JSON key: "unused-entry" is "unusedEntry".
inline std::string camelKey(const char* key) {
    std::string t;
    for (bool up = false; *key != '\0'; ++key) {
        if (*key == '-') {
            up = true;
            continue;
        }
        t += up ? char(std::toupper(static_cast<unsigned char>(*key))) : *key;
        up = false;
    }
    return t;
}

// Findings per severity: {damage: n, unusedEntry: n, info: n}.
inline Json severitiesJson(const tabulon::SeverityCounts& s) {
    Json j = Json::object();
    for (size_t i = 0; i < tabulon::kSeverityCount; ++i) {
        j[camelKey(tabulon::severityKey(tabulon::Severity(i)))] = s.count[i];
    }
    return j;
}

// Writes one JSON object as dump(2) writes it, with one array member written
// element by element as the elements come: the members before it, the
// array, then the members after it.
class StreamedDocument {
  public:
    StreamedDocument(tabulon::Output& out, const Json& head, const std::string& arrayKey) : out_(out) {
        std::string t = dumpJson(head);
        t.resize(t.size() - 2);  // the closing "\n}"
        if (t.size() > 1) t += ",";
        out_.write(tabulon::Stream::Out, t + "\n  " + dumpJson(Json(arrayKey)) + ": ");
    }
    void element(const Json& j) {
        std::string t = first_ ? "[\n    " : ",\n    ";
        first_ = false;
        for (char c : dumpJson(j)) {
            t += c;
            if (c == '\n') t += "    ";
        }
        out_.write(tabulon::Stream::Out, t);
    }
    void finish(const Json& tail) {
        std::string t = first_ ? "[]" : "\n  ]";
        std::string rest = dumpJson(tail);
        if (rest.size() > 2) t += "," + rest.substr(1, rest.size() - 3);
        out_.write(tabulon::Stream::Out, t + "\n}\n");
    }

  private:
    tabulon::Output& out_;
    bool first_ = true;
};

}  // namespace inspect
