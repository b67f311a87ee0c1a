#include "check/finding.h"

#include <iterator>
#include <string_view>
#include <utility>

namespace tabulon {

namespace {

// The {name} fields of the console texts.
enum class Field : uint8_t {
    None,
    Logical,
    Type,
    Physical,
    Offset,
    PageId,
    PageType,
    Usage,
    Copy,
    Signature,
    Expected,
    Found,
    Version,
    Pair,
    Slot,
    At,
};

Field fieldNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, Field> kNames[] = {
        {"logical", Field::Logical},   {"type", Field::Type},     {"physical", Field::Physical},
        {"offset", Field::Offset},     {"pageId", Field::PageId}, {"pageType", Field::PageType},
        {"usage", Field::Usage},       {"copy", Field::Copy},     {"signature", Field::Signature},
        {"expected", Field::Expected}, {"found", Field::Found},   {"version", Field::Version},
        {"pair", Field::Pair},         {"slot", Field::Slot},     {"at", Field::At},
    };
    for (const auto& [n, f] : kNames) {
        if (n == name) return f;
    }
    return Field::None;
}

// A console text cut once into pieces: the literal text before a field,
// and the field.
struct Piece {
    std::string_view literal;
    Field field;
};
constexpr size_t kMaxPieces = 10;
struct Template {
    Piece pieces[kMaxPieces];
    size_t count = 0;
};

Template cut(std::string_view text) {
    Template t;
    size_t at = 0;
    while (at < text.size() && t.count < kMaxPieces) {
        const size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            t.pieces[t.count++] = {text.substr(at), Field::None};
            break;
        }
        const size_t close = text.find('}', open);
        t.pieces[t.count++] = {text.substr(at, open - at),
                               fieldNamed(text.substr(open + 1, close - open - 1))};
        at = close + 1;
    }
    return t;
}

// Fills a cut text; `field` appends the value of one field.
template <typename FieldValue>
Line fill(const Template& t, FieldValue field) {
    Line line;
    for (size_t i = 0; i < t.count; ++i) {
        line.text(t.pieces[i].literal);
        if (t.pieces[i].field != Field::None) field(line, t.pieces[i].field);
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

// Every text of both tables, cut once (they never change).
struct Templates {
    Template problems[kProblemCount];
    Template details[kProblemCount];
    Template written[std::size(kActions)], unable[std::size(kActions)];
    Templates() {
        for (const ProblemRow& row : problemTable()) {
            problems[size_t(row.code)] = cut(row.text);
            details[size_t(row.code)] = cut(row.detail);
        }
        for (size_t i = 0; i < std::size(kActions); ++i) {
            written[i] = cut(kActions[i].written);
            unable[i] = cut(kActions[i].unable);
        }
    }
};

const Templates& templates() {
    static const Templates cutOnce;
    return cutOnce;
}

}  // namespace

Line renderFinding(const Finding& f) {
    return fill(templates().problems[size_t(f.code)], [&](Line& line, Field field) {
        switch (field) {
            case Field::Logical: line.hex(f.logical, 8); break;
            case Field::Type: line.hex(f.type, 4); break;
            case Field::Physical: line.hex(f.physical, 8); break;
            case Field::Offset:
                if (f.showOffset) line.text(" (0x").hex(f.offset, 10).text(")");
                break;
            case Field::PageId: line.hex(f.page.pageId, 8); break;
            case Field::PageType: line.hex(f.page.pageType, 4); break;
            case Field::Usage: line.hex(f.usage, 4); break;
            case Field::Copy: line.text(f.copy == 0 ? "0" : "1"); break;
            case Field::Signature: line.text(f.signatureLength == 1 ? "P" : "PP"); break;
            case Field::Expected: line.hex(f.expected, f.digits); break;
            case Field::Found: line.hex(f.found, f.digits); break;
            case Field::Version: line.hex(f.version, 4); break;
            // The console's lines name no pair, slot or byte position.
            case Field::Pair:
            case Field::Slot:
            case Field::At:
            case Field::None: break;
        }
    });
}

std::string renderDetail(const Finding& f) {
    const bool signature = f.code == Problem::PatSignature;
    auto hex = [](Line& line, uint64_t v, int digits) { line.text("0x").hex(v, digits); };
    const Line line = fill(templates().details[size_t(f.code)], [&](Line& l, Field field) {
        switch (field) {
            case Field::Logical: hex(l, f.logical, 8); break;
            case Field::Type: hex(l, f.type, 4); break;
            case Field::Physical: hex(l, f.physical, 8); break;
            case Field::PageId: hex(l, f.page.pageId, 8); break;
            case Field::PageType: hex(l, f.page.pageType, 4); break;
            case Field::Usage: hex(l, f.usage, 4); break;
            case Field::Copy: l.text(f.copy == 0 ? "0" : "1"); break;
            case Field::Signature: l.text(f.signatureLength == 1 ? "P" : "PP"); break;
            case Field::At:
                // Offsets in the page, from 0, as the page's dump counts them.
                if (f.signatureLength == 1) {
                    l.text("byte ").decimal(f.fieldAt);
                } else {
                    l.text("bytes ").decimal(f.fieldAt).text("-").decimal(f.fieldAt + 1u);
                }
                break;
            case Field::Expected:
            case Field::Found: {
                const uint32_t v = field == Field::Found ? f.found : f.expected;
                if (!signature) {
                    l.decimal(v);
                    break;
                }
                // The signature's bytes, in the order they lie in the page.
                for (int i = f.signatureLength - 1; i >= 0; --i) {
                    l.hex((v >> (8 * i)) & 0xFF, 2);
                    if (i > 0) l.text(" ");
                }
                break;
            }
            case Field::Version:
                l.decimal(f.version >> 8u).text(".").hex(f.version & 0xFFu, 2);
                break;
            case Field::Pair: l.decimal(f.pair); break;
            case Field::Slot: l.decimal(f.slot); break;
            case Field::Offset:
            case Field::None: break;
        }
    });
    return std::string(line.view());
}

Tally tallyOfType(uint16_t t) {
    switch (pageClassOf(t)) {
        case PageClass::Data: return Tally::Data;
        case PageClass::Index: return Tally::Index;
        case PageClass::Other: return Tally::Other;
    }
    return Tally::Other;
}

Line renderAction(const Action& a) {
    const size_t k = size_t(a.kind);
    const Template& t =
        a.outcome == Outcome::Written ? templates().written[k] : templates().unable[k];
    return fill(t, [&](Line& line, Field field) {
        if (field == Field::Physical) line.hex(a.physical, 8);
        if (field == Field::Type) line.hex(a.type, 4);
    });
}

std::string renderWriteFailure(const Status& s) {
    return describe("Unable to write " + s.name, s);
}

}  // namespace tabulon
