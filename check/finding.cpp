#include "check/finding.h"

#include <string_view>

namespace tabulon {

namespace {

// Fills a text with {name} fields; `field` appends the value of one name.
template <typename Field>
Line fill(std::string_view text, Field field) {
    Line line;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            line.text(text.substr(at));
            break;
        }
        const size_t close = text.find('}', open);
        line.text(text.substr(at, open - at));
        field(line, text.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return line;
}

struct ActionRow {
    ActionKind kind;
    const char* written;  // shown once the write succeeded
    const char* unable;   // shown when it failed or was not attempted
};

// In the order of the ActionKind codes.
constexpr ActionRow kActions[] = {
    {ActionKind::PatHeader, "", ""},
    {ActionKind::PageId, "-->Repaired By Writing Corrected Page ID to Physical Page {physical}\n",
     "-->Unable to Repair By Writing Corrected Page ID to Physical Page {physical}\n"},
    {ActionKind::FreeSpace, "-->Repaired By Changing PAT Pointer to FREE SPACE POINTER.\n", ""},
    {ActionKind::BestPage, "-->Repaired By Changing Page Pointer to ({type}){physical}.\n", ""},
    {ActionKind::ResetToFree, "-->Repaired By Changing Page Pointer to FREE SPACE. Data is lost!\n",
     ""},
};

}  // namespace

Line renderFinding(const Finding& f) {
    return fill(f.row().text, [&](Line& line, std::string_view name) {
        if (name == "logical") {
            line.hex(f.logical, 8);
        } else if (name == "type") {
            line.hex(f.type, 4);
        } else if (name == "physical") {
            line.hex(f.physical, 8);
        } else if (name == "offset") {
            if (f.showOffset) line.text(" (0x").hex(f.offset, 10).text(")");
        } else if (name == "pageId") {
            line.hex(f.page.pageId, 8);
        } else if (name == "pageType") {
            line.hex(f.page.pageType, 4);
        } else if (name == "usage") {
            line.hex(f.usage, 4);
        } else if (name == "copy") {
            line.text(f.copy == 0 ? "0" : "1");
        } else if (name == "signature") {
            line.text(f.signatureLength == 1 ? "P" : "PP");
        } else if (name == "expected") {
            line.hex(f.expected, f.digits);
        } else if (name == "found") {
            line.hex(f.found, f.digits);
        } else if (name == "version") {
            line.hex(f.version, 4);
        }
    });
}

Line renderAction(const Action& a) {
    const ActionRow& row = kActions[size_t(a.kind)];
    const char* text = a.outcome == Outcome::Written ? row.written : row.unable;
    return fill(text, [&](Line& line, std::string_view name) {
        if (name == "physical") {
            line.hex(a.physical, 8);
        } else if (name == "type") {
            line.hex(a.type, 4);
        }
    });
}

std::string renderWriteFailure(const Status& s) {
    return "Unable to write " + s.name + ", Status Code " + std::to_string(s.code) + ", " + s.text;
}

}  // namespace tabulon
