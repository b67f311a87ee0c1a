#include "check/problems.h"

namespace tabulon {

namespace {

using enum Problem;
using enum Severity;
using enum CounterClass;

// In the order of the Problem codes.
constexpr ProblemRow kTable[] = {
    {PatSignature, "pat-signature", Damage, PatPage, Stream::Err,
     "==>PAT[{copy}] Header Error ({signature}).\n", "PAT signature missing",
     "A PAT page header lacks its signature; fix bit 4 writes it.",
     "copy {copy} of PAT pair {pair}: no PAT signature (expected '{signature}' at {at}, found "
     "{found})",
     fixbit::patHeader},
    {PatPairNumber, "pat-pair-number", Damage, PatPage, Stream::Err,
     "==>PAT[{copy}] Header Error: Pat Number {expected} expected, PAT Number {found} found.\n",
     "PAT pair number wrong",
     "A PAT page header records another pair number than its place in the file; fix bit 4 "
     "writes the right one.",
     "copy {copy} of PAT pair {pair}: the header records pair {found} where pair {expected} "
     "belongs",
     fixbit::patHeader},
    {PatLayoutUnknown, "pat-layout-unknown", Info, None, Stream::Err,
     "Unhandled File Type ({version}) for Tabulon PAT Header Verification\n",
     "PAT header layout unknown",
     "The version has no known PAT header layout: the headers of its pairs are not checked.",
     "PAT pair {pair}: version {version} has no known PAT header layout, so its headers are not "
     "checked",
     0},
    {PatIdsDiffer, "pat-ids-differ", Info, None, Stream::Err, "==>PAT Page ID's Do Not Match.\n",
     "PAT page ids differ",
     "The page ids at the start of the two copies of a pair differ; the copy with the higher "
     "usage count is the one read.",
     "PAT pair {pair}: its two copies begin with different page ids", 0},
    {PointsElsewhere, "points-elsewhere", Damage, EntryType, Stream::Out,
     "LogPAT 0x{logical}({type}) -> PhysPage 0x{physical}{offset} with LogPage "
     "0x{pageId}({pageType}).\n",
     "points at another page",
     "The entry points at a page whose header names another logical page or type; fix bit 2 "
     "makes it a free-space pointer, fix bit 8 points it at the best page that names it.",
     "logical page {logical} (type {type}, PAT pair {pair}, slot {slot}) points at physical page "
     "{physical}, which holds logical page {pageId} of type {pageType}",
     fixbit::freeSpace | fixbit::bestPage},
    {ZeroHeader, "zero-header", Damage, EntryType, Stream::Out,
     "LogPAT 0x{logical}({type}) -> PhysPage 0x{physical}{offset} is beyond EOF or NULL Page "
     "ID.\n",
     "zero header or beyond the end",
     "The entry points at a page whose header is zero, or past the end of the file set; fix "
     "bit 1 writes the page id into that header.",
     "logical page {logical} (type {type}, PAT pair {pair}, slot {slot}) points at physical page "
     "{physical}, whose header is zero or which lies beyond the end of the file set",
     fixbit::pageId | fixbit::freeSpace | fixbit::bestPage},
    {InvalidUsage, "invalid-usage", Damage, DataPage, Stream::Out,
     "Data Page 0x{logical}({type}) at Physical Page 0x{physical} has invalid Usage Count "
     "({usage}).\n",
     "invalid usage count",
     "A data page that an entry points at has a usage count without its valid bit.",
     "data page {logical} at physical page {physical} (PAT pair {pair}, slot {slot}) has a usage "
     "count without its valid bit ({usage})",
     0},
    {UnusedPointsElsewhere, "unused-points-elsewhere", UnusedEntry, EntryType, Stream::Out,
     "LogPAT 0x{logical}({type}) -> PhysPage 0x{physical}{offset} with LogPage "
     "0x{pageId}({pageType}).\n",
     "zero pointer",
     "An entry of type 0 points at a page that names another logical page, under /Z, which "
     "reports it and lets the fix bits mend it.",
     "the unused entry of logical page {logical} (PAT pair {pair}, slot {slot}) points at physical "
     "page {physical}, which holds logical page {pageId} of type {pageType}",
     fixbit::freeSpace | fixbit::bestPage},
    {UnusedZeroPointer, "unused-zero-pointer", UnusedEntry, ZeroPointer, Stream::Out, "",
     "zero pointer",
     "An entry of type 0 points at a page that names another logical page; without /Z it is "
     "counted among the zero pointers and not reported.",
     "the unused entry of logical page {logical} (PAT pair {pair}, slot {slot}) points at physical "
     "page {physical}, which holds logical page {pageId} of type {pageType}",
     0},
    {UnusedZeroHeader, "unused-zero-header", UnusedEntry, EntryType, Stream::Out,
     "LogPAT 0x{logical}({type}) -> PhysPage 0x{physical}{offset} is beyond EOF or NULL Page "
     "ID.\n",
     "zero header or beyond the end",
     "An entry of type 0 points at a page whose header is zero, or past the end of the file "
     "set.",
     "the unused entry of logical page {logical} (PAT pair {pair}, slot {slot}) points at physical "
     "page {physical}, whose header is zero or which lies beyond the end of the file set",
     fixbit::pageId | fixbit::freeSpace | fixbit::bestPage},
    {UnusedInvalidUsage, "unused-invalid-usage", UnusedEntry, DataPage, Stream::Out,
     "Data Page 0x{logical}({type}) at Physical Page 0x{physical} has invalid Usage Count "
     "({usage}).\n",
     "invalid usage count",
     "An entry of type 0 points at a data page whose usage count lacks its valid bit.",
     "data page {logical} at physical page {physical}, reached through the unused entry in PAT "
     "pair {pair}, slot {slot}, has a usage count without its valid bit ({usage})",
     0},
    {LastPairPastEnd, "last-pair-past-end", Info, None, Stream::Err, "", "last PAT pair past the end",
     "The FCR's last PAT pair lies past the end of the file; the pairs that fit are checked.",
     "the FCR's last PAT pair {expected} lies past the end of the file; {found} of the {expected} "
     "pairs fit",
     0},
    {FcrCopyDamaged, "fcr-copy-damaged", Damage, None, Stream::Err, "", "FCR copy damaged",
     "The first FCR copy is no usable FCR while the second is: the file is read from the second "
     "copy.",
     "FCR copy {copy} is no usable FCR; the file was read from the other copy", 0},
    {LongerThanPages, "longer-than-pages", Info, None, Stream::Err, "", "longer than its pages",
     "The file set runs at least a gigabyte past the FCR's pages; nothing past them is read.",
     "the file set is {found} GB longer than the FCR's {expected} pages; nothing past them is "
     "read",
     0},
};

static_assert(std::size(kTable) == kProblemCount);

constexpr bool tableInOrder() {
    for (size_t i = 0; i < std::size(kTable); ++i) {
        if (size_t(kTable[i].code) != i) return false;
    }
    return true;
}
static_assert(tableInOrder(), "the problem table follows the order of the codes");

}  // namespace

const ProblemRow& problemRow(Problem code) {
    return kTable[size_t(code)];
}

std::span<const ProblemRow> problemTable() {
    return kTable;
}

const char* severityKey(Severity s) {
    switch (s) {
        case Severity::Damage: return "damage";
        case Severity::UnusedEntry: return "unused-entry";
        case Severity::Info: return "info";
    }
    return "?";
}

}  // namespace tabulon
