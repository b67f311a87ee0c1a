// tabulon-inspect advise: see advise.h.
//
// A candidate is the engine's repair with that fix mask over an
// OverlayPlatform, in the run sequence of the tabulon program; the layer
// then serves a second check of the state the repair leaves. The candidates are ranked by the
// data they keep first: the versions they leave out of reach (the run's version ledger: an entry
// left on a page it relabelled, reset or left damaged while another page holds a version), then
// the damage left, the entries reset where a version exists, the page headers rewritten (a header
// written into a page that holds no version makes the check pass over data that is not there),
// then the writes. A header check alone cannot see the first key.
#include "inspect/repairs/advise.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "check/run.h"
#include "check/checked.h"
#include "fileio/overlay.h"
#include "fileio/platform.h"
#include "inspect/common/findings.h"
#include "inspect/common/json.h"
#include "inspect/common/names.h"
#include "inspect/repairs/plan.h"

using namespace tabulon;

namespace inspect {

namespace {

// Findings of severity damage listed by name; the rest are counted.
constexpr size_t kListed = 20;

// Keeps the damage findings of a walk; the scanner counts them all.
class DamageKept : public EventSink {
  public:
    explicit DamageKept(std::vector<Finding>& out) : out_(out) {}
    void finding(const Finding& f) override {
        if (f.severity() == Severity::Damage) out_.push_back(f);
    }
    bool wantsDetail() const override { return false; }

  private:
    std::vector<Finding>& out_;
};

// One check of a set without a fix mask, as gatherFindings makes it. The
// checked file, with its header table, outlives the walk (the files are
// closed) so that the candidates start from that table.
struct CheckedSet {
    EventSink quiet;
    std::optional<CheckedFile> file;
    // The header table of the walk, or null when it built none.
    const HeaderCache* headers() const {
        return file && file->headers().cachedEnd() > kFirstCachedPage ? &file->headers() : nullptr;
    }
};

// Checks the set at `path` on `platform` into `c`: the count of damage
// findings and those findings; false when the set cannot be opened or has no
// PAT (the reason in *why). With `extent`, what the members hold against
// what the FCR names. `prepare`, when given, sets the walk's header cache up
// before the preload, which then reads only what the cache lacks.
bool checkSet(CheckedSet& c, Platform& platform, const std::string& path, bool shared,
              uint64_t* damage, std::vector<Finding>* found, std::string* why,
              SetExtent* extent = nullptr,
              const std::function<void(CheckedFile&)>& prepare = {}) {
    c.file = openForLook(platform, path, shared, c.quiet, why);
    if (!c.file) return false;
    CheckedFile& file = *c.file;
    if (!file.hasPat()) {
        *why = path + " is a pre-6.x file (version " + hex(file.geometry().versionCode, 4) +
               "): it has no PAT";
        file.close();
        return false;
    }
    if (extent) *extent = file.extent();
    if (prepare) prepare(file);
    DamageKept keep(*found);
    file.walk({&keep});
    file.close();
    *damage = file.severities().count[size_t(Severity::Damage)];
    return true;
}

// The baseline: the set on `base` checked once, before any candidate.
bool baselineFindings(CheckedSet& c, Platform& base, const std::string& path, bool shared,
                      uint64_t* damage, std::vector<Finding>* found, std::string* why,
                      SetExtent* extent) {
    return checkSet(c, base, path, shared, damage, found, why, extent);
}

// Reads again into `cache` the cached page headers that the layer's writes
// touched; false when one cannot be read.
bool rereadWritten(BtrieveFile& file, const OverlayPlatform& layer, HeaderCache& cache) {
    const FileSet& set = file.fileSet();
    bool ok = true;
    for (const OverlayWrite& w : layer.writes()) {
        uint64_t at = 0;
        int k = 0;
        for (; k < set.memberCount() && set.memberFileName(k) != w.file; ++k) at += set.memberSize(k);
        if (k == set.memberCount()) continue;
        forEachHeaderFieldTouched(file.geometry(), at + w.offset, w.after.size(), [&](uint32_t p) {
            if (!cache.find(p)) return true;
            PageHeader h{};
            ok = file.readPageHeader(p, h) != 0;
            if (ok) cache.replace(p, h);
            return ok;
        });
        if (!ok) return false;
    }
    return true;
}

// The damage findings of the state a candidate leaves on `layer`, checked
// as the baseline was: from the baseline's header table, with the headers
// the writes touched read again from the layer. Without a table, or when a
// write made a file longer (the preload would count other pages), every
// header is read.
bool damageAfter(OverlayPlatform& layer, const std::string& path, bool shared,
                 const HeaderCache* headers, uint64_t* damage, std::vector<Finding>* found) {
    CheckedSet c;
    std::string why;
    if (!headers || layer.grown()) return checkSet(c, layer, path, shared, damage, found, &why);
    return checkSet(c, layer, path, shared, damage, found, &why, nullptr, [&](CheckedFile& f) {
        HeaderCache& cache = f.headers();
        cache.shareTable(*headers);
        if (!rereadWritten(f.file(), layer, cache)) cache.clear();
    });
}

// Rank of a candidate: a failed run last, then the versions orphaned, the
// damage left, the entries reset where a version exists, the headers
// rewritten and the writes.
auto rankOf(const MaskOutcome& c) {
    return std::make_tuple(c.status != 0, c.orphaned, c.damageLeft, c.resetWithVersion,
                           c.headersRewritten, c.writes);
}

std::string pageHex(uint32_t p) {
    return strf("0x%02x", unsigned(p));
}

// What a candidate's first orphaned row loses, in the ledger's words.
std::string orphanText(const MaskOutcome& c) {
    const std::string m = maskOption(c.mask);
    for (const LedgerRow& r : c.ledger.rows) {
        if (r.kind != LedgerClass::Orphaned) continue;
        const LedgerVersion& v = *r.newestOther();
        std::string t = m;
        if (r.endsFree) {
            t += " resets logical page " + pageHex(r.logical) + " to free space";
        } else if (r.headerWritten) {
            t += " leaves logical page " + pageHex(r.logical) + " on page " + pageHex(r.physical) +
                 ", whose header it writes,";
        } else {
            t += " leaves logical page " + pageHex(r.logical) + " on page " + pageHex(r.physical) +
                 ", which does not hold it,";
        }
        t += " while page " + pageHex(v.physical) + " holds a version (usage " +
             strf("0x%04x", unsigned(v.usage)) + ")";
        if (c.orphaned > 1) t += strf(", and orphans %zu more", c.orphaned - 1);
        return t;
    }
    return m + " orphans no version";
}

// Why the chosen candidate goes before the next one that differs, and,
// when the next one keeps as many versions, what the best of the candidates
// that orphan more would lose.
std::string reason(const Advice& a) {
    const MaskOutcome& c = a.candidates[size_t(a.chosen)];
    std::string t = c.damageLeft == 0 ? "it leaves no damage"
                                      : strf("it leaves the least damage (%llu)",
                                             (unsigned long long)c.damageLeft);
    t += c.orphaned == 0 ? " and keeps every version it finds"
                         : strf(" and orphans the fewest versions (%zu)", c.orphaned);
    const MaskOutcome* next = nullptr;
    const MaskOutcome* orphaning = nullptr;
    for (const MaskOutcome& o : a.candidates) {
        if (&o == &c || o.sameAs >= 0 || o.status != 0) continue;
        if (!next || rankOf(o) < rankOf(*next)) next = &o;
        if (o.orphaned > c.orphaned && (!orphaning || rankOf(o) < rankOf(*orphaning))) {
            orphaning = &o;
        }
    }
    if (!next) return t + ".";
    const std::string m = maskOption(next->mask);
    if (next->orphaned != c.orphaned) return t + "; " + orphanText(*next) + ".";
    if (next->damageLeft != c.damageLeft) {
        t += strf("; %s leaves %llu damage findings", m.c_str(),
                  (unsigned long long)next->damageLeft);
    } else if (next->resetWithVersion != c.resetWithVersion) {
        t += strf("; %s resets %zu entries whose page has a version elsewhere", m.c_str(),
                  next->resetWithVersion);
    } else if (next->headersRewritten != c.headersRewritten) {
        t += strf("; %s also rewrites %zu page headers", m.c_str(), next->headersRewritten);
    } else {
        t += strf("; %s does the same in %zu writes", m.c_str(), next->writes);
    }
    if (orphaning) t += "; " + orphanText(*orphaning);
    return t + ".";
}

#ifndef _WIN32
// s as one word of a POSIX shell. A name that the text forms escape is
// written in $'...', whose escapes (\\, \xNN, \uNNNN) are those of the
// text forms: the line runs as it reads, and no byte of the name reaches the
// terminal raw.
std::string shellWord(const std::string& s) {
    const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) ||
               std::string("_./@%+=:,-").find(ch) != std::string::npos;
    });
    if (plain) return s;
    const std::string shown = displayName(s);
    std::string q = shown == s ? "'" : "$'";
    for (char ch : shown) {
        if (ch != '\'') {
            q += ch;
        } else {
            q += shown == s ? "'\\''" : "\\'";
        }
    }
    return q + "'";
}
#endif

}  // namespace

namespace {

// The fix bits that could mend the findings of a run. The engine asks the
// fix mask only whether it mends a finding it reported, and with which bit
// (shouldMend, mendsWith): a mask that agrees with the run's mask on these
// bits makes the same run, action for action.
class MendBitsMet : public EventSink {
  public:
    void finding(const Finding& f) override { bits |= uint32_t(f.row().mendBits); }
    bool wantsDetail() const override { return false; }
    uint32_t bits = 0;
};

// The repair of one candidate on `layer`, without the second check; the fix
// bits its findings could be mended with go to *met.
MaskOutcome repairCandidate(OverlayPlatform& layer, const std::string& path, int32_t mask,
                            bool releaseRepairOrder, const HeaderCache* headers, uint32_t* met) {
    MaskOutcome c;
    c.mask = mask;
    ScanOptions options;
    options.progress = 0;
    options.fixMask = mask;
    options.relabelledPageGivesWay = !releaseRepairOrder;
    // The repair of `tabulon path /F<mask> /R`, made on the layer; the
    // candidate is read off the engine's actions and the layer's writes.
    MendBitsMet mendBits;
    EntryChanges changes(&mendBits);
    const RunResult run = simulateRepair(layer, path, options, changes, &c.ledger, headers);
    *met = mendBits.bits;
    c.orphaned = c.ledger.count(LedgerClass::Orphaned);
    c.resetWithVersion = c.ledger.resetWithVersion();
    c.status = run.status == 0 ? 0 : kStatusFailed;
    const Plan plan = readPlan(run, layer.writes(), changes);
    for (const EntryChange& e : plan.entries) {
        if (e.reset() && e.before.type != 0) c.givenUp.push_back(e.logical);
    }
    std::sort(c.givenUp.begin(), c.givenUp.end());
    c.headersRewritten = plan.pageHeaders;
    c.writes = plan.writes.size();
    c.bytes = plan.bytes;
    c.changes = layer.changedBytes();
    return c;
}

// The second check of a candidate. A candidate that leaves the files as they
// were, or as an earlier candidate whose check passed left them, finds what
// that check found: its findings are carried over.
void checkAfter(MaskOutcome& c, OverlayPlatform& layer, const std::string& path, bool shared,
                const HeaderCache* headers, const Advice* earlier) {
    if (earlier && c.changes.empty()) {
        c.damageLeft = earlier->damage;
        c.remaining = earlier->findings;
        return;
    }
    if (earlier) {
        for (const MaskOutcome& o : earlier->candidates) {
            if (o.status != 0 || o.changes != c.changes) continue;
            c.damageLeft = o.damageLeft;
            c.remaining = o.remaining;
            return;
        }
    }
    if (!damageAfter(layer, path, shared, headers, &c.damageLeft, &c.remaining)) {
        c.status = kStatusFailed;
    }
}

// A candidate as runCandidate makes it; the second check may carry over
// the findings of the baseline and the candidates of `earlier`.
MaskOutcome candidate(Platform& base, const std::string& path, int32_t mask, bool shared,
                      bool releaseRepairOrder, const HeaderCache* headers,
                      const Advice* earlier, uint32_t* met) {
    OverlayPlatform layer(base, shared ? Unprotected : ExclusiveRead);
    MaskOutcome c = repairCandidate(layer, path, mask, releaseRepairOrder, headers, met);
    checkAfter(c, layer, path, shared, headers, earlier);
    return c;
}

// An earlier candidate whose run `mask` makes again, or -1: a mask that
// agrees with an earlier one on every fix bit that could mend what that
// one's run met makes the same run, and its outcome is taken.
int repeatedRun(const Advice& a, const std::vector<uint32_t>& met, int32_t mask) {
    for (size_t k = 0; k < met.size(); ++k) {
        if (((uint32_t(mask) ^ uint32_t(a.candidates[k].mask)) & met[k]) == 0) return int(k);
    }
    return -1;
}

}  // namespace

MaskOutcome runCandidate(Platform& base, const std::string& path, int32_t mask, bool shared,
                         bool releaseRepairOrder, const HeaderCache* headers) {
    uint32_t met = 0;
    return candidate(base, path, mask, shared, releaseRepairOrder, headers, nullptr, &met);
}

const std::vector<int32_t>& candidateMasks() {
    // Bit 4 in every one (a PAT header is mended before its entries are
    // read); bits 1 and 2 without bit 8 first, so that a mask whose bit 8
    // finds nothing to do gives way to the same mask without it.
    static const std::vector<int32_t> masks = {4, 5, 6, 7, 12, 13, 14, -1};
    return masks;
}

int Advice::status() const {
    if (!checked() || !incomplete.empty()) return kStatusFailed;
    return damage == 0 ? 0 : 1;
}

Advice adviseFile(Platform& base, const std::string& path, bool shared, bool releaseRepairOrder) {
    AdviceBaseline b;
    CheckedSet baseline;
    std::string why;
    if (!baselineFindings(baseline, base, path, shared, &b.damage, &b.findings, &why, &b.extent)) {
        Advice a;
        a.path = path;
        a.error = why;
        return a;
    }
    b.headers = baseline.headers();
    return adviseFrom(base, path, shared, std::move(b), releaseRepairOrder);
}

AdviceBaseline baselineOf(CheckedFile& file, const FileFindings& walked) {
    AdviceBaseline b;
    b.damage = walked.bySeverity(Damage);
    for (const ListedFinding& l : walked.list) {
        if (l.severity() == Damage) b.findings.push_back(l.finding);
    }
    b.extent = file.extent();
    b.headers = file.headers().cachedEnd() > kFirstCachedPage ? &file.headers() : nullptr;
    return b;
}

Advice adviseFrom(Platform& base, const std::string& path, bool shared, AdviceBaseline b,
                  bool releaseRepairOrder) {
    Advice a;
    a.path = path;
    a.damage = b.damage;
    a.findings = std::move(b.findings);
    a.incomplete = incompleteSetText(b.extent);
    if (a.damage == 0 || !a.incomplete.empty()) return a;
    std::vector<uint32_t> met;  // of each candidate, the fix bits its findings could be mended with
    for (int32_t mask : candidateMasks()) {
        MaskOutcome c;
        uint32_t bits = 0;
        if (const int k = repeatedRun(a, met, mask); k >= 0) {
            c = a.candidates[size_t(k)];
            c.mask = mask;
            c.sameAs = -1;
            bits = met[size_t(k)];
        } else {
            c = candidate(base, path, mask, shared, releaseRepairOrder, b.headers, &a,
                          &bits);
        }
        met.push_back(bits);
        for (size_t k = 0; k < a.candidates.size(); ++k) {
            const MaskOutcome& o = a.candidates[k];
            if (o.sameAs < 0 && o.status == c.status && o.changes == c.changes) {
                c.sameAs = int(k);
                break;
            }
        }
        a.candidates.push_back(std::move(c));
    }
    for (size_t k = 0; k < a.candidates.size(); ++k) {
        const MaskOutcome& c = a.candidates[k];
        if (c.sameAs >= 0 || c.status != 0) continue;
        if (a.chosen < 0 || rankOf(c) < rankOf(a.candidates[size_t(a.chosen)])) a.chosen = int(k);
    }
    // A mask that mends nothing is no advice.
    if (a.chosen >= 0 && a.candidates[size_t(a.chosen)].damageLeft >= a.damage) a.chosen = -1;
    if (a.chosen >= 0) a.why = reason(a);
    return a;
}

std::string maskOption(int32_t mask) {
    return "/F" + std::to_string(mask);
}

std::string adviceCommand(const std::string& path, int32_t mask) {
#ifdef _WIN32
    // For cmd.exe: the variable set for the session, then the run; a
    // Windows path cannot hold a double quote.
    return "set \"TABULON_UNDO=" + path + ".undo\" && tabulon \"" + path + "\" " +
           maskOption(mask);
#else
    return "TABULON_UNDO=" + shellWord(path + ".undo") + " tabulon " + shellWord(path) + " " +
           maskOption(mask);
#endif
}

namespace {

std::string listed(const std::vector<Finding>& found, const char* indent) {
    std::string t;
    for (size_t i = 0; i < found.size() && i < kListed; ++i) {
        t += indent + tabulon::renderDetail(found[i]) + "\n";
    }
    if (found.size() > kListed) t += strf("%sand %zu more\n", indent, found.size() - kListed);
    return t;
}

std::string numbers(const std::vector<uint32_t>& v) {
    std::string t;
    for (size_t i = 0; i < v.size() && i < kListed; ++i) {
        t += (i ? ", " : "") + std::to_string(v[i]);
    }
    if (v.size() > kListed) t += strf(" and %zu more", v.size() - kListed);
    return t;
}

std::string candidateRow(const Advice& a, const MaskOutcome& c) {
    std::string m = maskOption(c.mask);
    if (c.sameAs >= 0) {
        return strf("  %-6s same files as %s\n", m.c_str(),
                    maskOption(a.candidates[size_t(c.sameAs)].mask).c_str());
    }
    if (c.status != 0) return strf("  %-6s the run fails (status %d)\n", m.c_str(), c.status);
    return strf("  %-6s %8zu %12llu %13zu %17zu %7zu %9llu\n", m.c_str(), c.orphaned,
                (unsigned long long)c.damageLeft, c.givenUp.size(), c.headersRewritten, c.writes,
                (unsigned long long)c.bytes);
}

std::string ledgerLine(const LedgerRow& r) {
    std::string t = "logical page " + hex(r.logical, 8) + " ";
    if (r.endsFree) {
        t += "ends free";
    } else {
        t += "ends on page " + hex(r.physical, 8);
        if (r.headerWritten) {
            t += ", whose header this run writes";
        } else if (!r.namesIt) {
            t += ", which does not hold it";
        } else {
            t += strf(" (usage 0x%04x)", unsigned(r.usage));
        }
    }
    t += ": ";
    t += ledgerClassKey(r.kind);
    if (!r.others.empty()) {
        t += "; versions on";
        for (size_t i = 0; i < r.others.size() && i < 4; ++i) {
            t += strf(" %s (usage 0x%04x)", hex(r.others[i].physical, 8).c_str(),
                      unsigned(r.others[i].usage));
        }
        if (r.others.size() > 4) t += strf(" and %zu more", r.others.size() - 4);
    }
    return t;
}

}  // namespace

std::string incompleteSetText(const SetExtent& e) {
    if (e.complete()) return "";
    std::string t =
        e.heldPages < e.fcrPages
            ? strf("the set holds %llu of the FCR's %llu pages", (unsigned long long)e.heldPages,
                   (unsigned long long)e.fcrPages)
            : strf("PAT pair %lu of the FCR's %lu lies past the end of the set",
                   (unsigned long)e.pairsFit + 1, (unsigned long)e.lastPair);
    if (e.nextMember.empty()) return t + ": is " + displayName(e.lastMember) + " cut short?";
    t += ": is " + displayName(e.nextMember) + " missing";
    if (e.members > 1) t += ", or " + displayName(e.lastMember) + " cut short";
    return t + "?";
}

std::string ledgerText(const VersionLedger& ledger, size_t limit, const char* indent) {
    std::string t;
    for (size_t i = 0; i < ledger.rows.size() && i < limit; ++i) {
        t += indent + ledgerLine(ledger.rows[i]) + "\n";
    }
    if (ledger.rows.size() > limit) t += strf("%sand %zu more\n", indent, ledger.rows.size() - limit);
    return t;
}

Json ledgerJson(const VersionLedger& ledger) {
    Json rows = Json::array();
    for (const LedgerRow& r : ledger.rows) {
        Json o;
        o["logical"] = r.logical;
        o["type"] = r.type;
        o["class"] = ledgerClassKey(r.kind);
        o["changed"] = r.changed;
        if (r.endsFree) {
            o["endsOn"] = nullptr;
        } else {
            o["endsOn"] = {{"physical", r.physical},
                           {"usage", r.usage},
                           {"namesIt", r.namesIt},
                           {"headerWritten", r.headerWritten}};
        }
        Json others = Json::array();
        for (const LedgerVersion& v : r.others) {
            others.push_back({{"physical", v.physical}, {"usage", v.usage}});
        }
        o["versions"] = others;
        rows.push_back(o);
    }
    return rows;
}

Json findingJson(const Finding& f) {
    const ProblemRow& row = f.row();
    return {{"code", row.key},
            {"severity", tabulon::severityKey(row.severity)},
            {"detail", tabulon::renderDetail(f)}};
}

namespace {

Json findingsJson(const std::vector<Finding>& found) {
    Json list = Json::array();
    for (const Finding& f : found) list.push_back(findingJson(f));
    return list;
}

}  // namespace

std::string adviceText(const Advice& a) {
    std::string t = "Advice for " + displayName(a.path) + "\n";
    if (!a.checked()) return t + "The file cannot be checked: " + displayName(a.error) + "\n";
    if (!a.incomplete.empty()) {
        return t + "The set is incomplete: " + a.incomplete +
               "\nNo fix mask is advised: a repair would reset the entries of the pages the set "
               "lacks. Bring the missing member back, then ask again.\n";
    }
    if (a.damage == 0) return t + "The check finds no damage: nothing needs repair.\n";
    t += strf("The check finds %llu damage findings:\n", (unsigned long long)a.damage);
    t += listed(a.findings, "  ");
    t += "\nEach fix mask run in memory, then the file checked again:\n";
    t += "  Mask   Orphaned  Damage left  Pages reset  Headers rewritten  Writes     Bytes\n";
    for (const MaskOutcome& c : a.candidates) t += candidateRow(a, c);
    if (a.chosen < 0) {
        t += "\nNo fix mask mends the damage; after every one remains:\n";
        for (const MaskOutcome& c : a.candidates) {
            if (c.sameAs < 0 && c.status == 0) return t + listed(c.remaining, "  ");
        }
        return t;
    }
    const MaskOutcome& c = a.candidates[size_t(a.chosen)];
    t += "\nAdvised: " + maskOption(c.mask) + ", because " + a.why + "\n";
    if (!c.givenUp.empty()) t += "  Entries reset: logical pages " + numbers(c.givenUp) + "\n";
    if (!c.clean()) {
        t += "  No fix mask leaves the file clean; after " + maskOption(c.mask) + " remains:\n";
        t += listed(c.remaining, "    ");
    }
    if (!c.ledger.rows.empty()) {
        t += "  Where each entry ends after " + maskOption(c.mask) + ":\n";
        t += ledgerText(c.ledger, kListed, "    ");
    }
    t += "  Run: " + adviceCommand(a.path, c.mask) + "\n";
    return t;
}

Json adviceJson(const Advice& a) {
    Json j;
    j["path"] = a.path;
    j["status"] = a.status();
    j["incomplete"] = a.incomplete.empty() ? Json(nullptr) : Json(a.incomplete);
    j["damage"] = a.damage;
    j["findings"] = findingsJson(a.findings);
    Json list = Json::array();
    for (const MaskOutcome& c : a.candidates) {
        Json o;
        o["mask"] = c.mask;
        o["option"] = maskOption(c.mask);
        o["sameAs"] =
            c.sameAs >= 0 ? Json(maskOption(a.candidates[size_t(c.sameAs)].mask)) : Json(nullptr);
        o["status"] = c.status;
        o["orphaned"] = c.orphaned;
        o["damageLeft"] = c.damageLeft;
        o["remaining"] = findingsJson(c.remaining);
        o["givenUp"] = c.givenUp;
        o["entriesReset"] = c.givenUp.size();
        o["entriesResetHeldVersion"] = c.resetWithVersion;
        o["pageHeaders"] = c.headersRewritten;
        o["writeCount"] = c.writes;
        o["byteCount"] = c.bytes;
        o["clean"] = c.clean();
        o["ledger"] = ledgerJson(c.ledger);
        list.push_back(o);
    }
    j["candidates"] = list;
    if (a.chosen < 0) {
        j["advice"] = nullptr;
        return j;
    }
    const MaskOutcome& c = a.candidates[size_t(a.chosen)];
    j["advice"] = {{"mask", c.mask},
                   {"option", maskOption(c.mask)},
                   {"clean", c.clean()},
                   {"why", a.why},
                   {"command", adviceCommand(a.path, c.mask)}};
    return j;
}

std::string adviceHtml(Platform& platform, const std::string& path, bool shared) {
    return adviceHtml(adviseFile(platform, path, shared));
}

std::string adviceHtml(const Advice& a) {
    // The text names the file as the text forms do: it cannot break the page.
    std::string h = "<pre class=\"advice\">";
    for (char ch : adviceText(a)) {
        switch (ch) {
            case '&': h += "&amp;"; break;
            case '<': h += "&lt;"; break;
            case '>': h += "&gt;"; break;
            default: h += ch;
        }
    }
    return h + "</pre>\n";
}

int cmdAdvise(Context& cx, const std::string& path) {
    const Advice a = adviseFile(cx.platform, path, cx.shared);
    if (!a.checked()) return fail(cx.out, a.error);
    cx.out.write(Stream::Out, cx.json ? dumpJson(adviceJson(a)) + "\n" : adviceText(a));
    return a.status();
}

}  // namespace inspect
