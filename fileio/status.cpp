#include "fileio/status.h"

namespace tabulon {

std::vector<Status> failures(const Status& s) {
    std::vector<Status> all;
    if (s.ok()) return all;
    all.push_back(s);
    all.back().more.clear();
    all.insert(all.end(), s.more.begin(), s.more.end());
    return all;
}

std::string describe(std::string_view what, const Status& s) {
    std::string line(what);
    line += ", Status Code " + std::to_string(s.code) + ", " + s.text;
    return line;
}

std::string describe(const Status& s) {
    switch (s.failure) {
        case Failure::None: return {};
        case Failure::NotBtrieve:
        case Failure::Damaged: return s.text;
        case Failure::Open:
        case Failure::Size: return describe("Failed to Open File <" + s.name + ">", s);
        case Failure::Flush: return describe("Unable to flush " + s.name, s);
        case Failure::Journal: return describe("Unable to write undo journal <" + s.name + ">", s);
        case Failure::Read: return describe("Unable to read " + s.name, s);
        case Failure::Write:
        case Failure::Refused: break;
    }
    return describe("Unable to write " + s.name, s);
}

}  // namespace tabulon
