// tabulon-inspect advise: see advise.h.
//
// A candidate is the engine's repair with that fix mask over an
// OverlayPlatform, in the run sequence of the tabulon program; the layer
// then serves a second check of the state the repair leaves. The candidates are ranked by the
// damage left, then the logical pages given up (entries in use reset to free space: their data is
// no longer reachable), then the page headers rewritten (a header written into a page that holds no
// version of the page makes the check pass over data that is not there), then the writes.
#include "inspect/advise.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "check/run.h"
#include "fileio/overlay.h"
#include "fileio/platform.h"
#include "inspect/findings.h"
#include "inspect/names.h"
#include "inspect/plan.h"

using namespace tabulon;

namespace inspect {

namespace {

// Findings of severity damage listed by name; the rest are counted.
constexpr size_t kListed = 20;

// The bytes the writes of the layer leave changed, as lines in the order of
// member and offset.
std::string changedBytes(OverlayPlatform& layer) {
    std::map<std::pair<std::string, uint64_t>, uint8_t> changed;
    for (const OverlayWrite& w : layer.writes()) {
        const size_t n = w.after.size();
        std::vector<uint8_t> before(n), after(n);
        size_t gotBefore = 0, gotAfter = 0;
        layer.readFile(w.file, w.offset, before.data(), n, true, &gotBefore);
        layer.readFile(w.file, w.offset, after.data(), n, false, &gotAfter);
        for (size_t i = 0; i < gotAfter; ++i) {
            if (i < gotBefore && before[i] == after[i]) continue;
            changed[{w.file, w.offset + i}] = after[i];
        }
    }
    std::string lines;
    for (const auto& [at, value] : changed) {
        lines += strf("%s %llx %02x\n", at.first.c_str(), (unsigned long long)at.second,
                      unsigned(value));
    }
    return lines;
}

// The damage findings of a set opened on `platform`, explained; false when
// the set cannot be opened (the reason in *why).
bool damageOf(Platform& platform, const std::string& path, bool shared, uint64_t* damage,
              std::vector<std::string>* explained, std::string* why) {
    NullOutput quiet;
    BtrieveFile file(quiet, platform);
    if (const Status opened = file.open(path, shared ? Unprotected : ExclusiveRead, false);
        !opened) {
        *why = openFailure(path, opened);
        return false;
    }
    if (file.geometry().versionCode < version::v600) {
        *why = path + " is a pre-6.x file (version " + hex(file.geometry().versionCode, 4) +
               "): it has no PAT";
        file.close();
        return false;
    }
    const FileFindings f = gatherFindings(file, shared, true);
    file.close();
    *damage = f.bySeverity(Damage);
    for (const ListedFinding& l : f.list) {
        if (l.severity() == Damage) explained->push_back(tabulon::renderDetail(l.finding));
    }
    return true;
}

// Rank of a candidate: damage left, pages given up, headers rewritten,
// writes; a failed run last.
auto rankOf(const MaskOutcome& c) {
    return std::make_tuple(c.status != 0, c.damageLeft, c.givenUp.size(), c.headersRewritten,
                           c.writes);
}

std::string pages(size_t n) {
    return n == 1 ? "1 logical page" : strf("%zu logical pages", n);
}

// Why the chosen candidate goes before the next one that differs.
std::string reason(const Advice& a) {
    const MaskOutcome& c = a.candidates[size_t(a.chosen)];
    std::string t = c.damageLeft == 0 ? "it leaves no damage"
                                      : strf("it leaves the least damage (%llu)",
                                             (unsigned long long)c.damageLeft);
    t += c.givenUp.empty() ? " and gives up no data" : " and gives up " + pages(c.givenUp.size());
    const MaskOutcome* next = nullptr;
    for (const MaskOutcome& o : a.candidates) {
        if (&o == &c || o.sameAs >= 0 || o.status != 0) continue;
        if (!next || rankOf(o) < rankOf(*next)) next = &o;
    }
    if (!next) return t + ".";
    const std::string m = maskOption(next->mask);
    if (next->damageLeft != c.damageLeft) {
        return t +
               strf("; %s leaves %llu damage findings", m.c_str(),
                    (unsigned long long)next->damageLeft) +
               ".";
    }
    if (next->givenUp.size() != c.givenUp.size()) {
        return t + "; " + m + " gives up " + pages(next->givenUp.size()) + ".";
    }
    if (next->headersRewritten != c.headersRewritten) {
        return t + strf("; %s also rewrites %zu page headers", m.c_str(), next->headersRewritten) +
               ".";
    }
    return t + strf("; %s does the same in %zu writes", m.c_str(), next->writes) + ".";
}

}  // namespace

MaskOutcome runCandidate(Platform& base, const std::string& path, int32_t mask, bool shared) {
    MaskOutcome c;
    c.mask = mask;
    OverlayPlatform layer(base, shared ? Unprotected : ExclusiveRead);
    ScanOptions options;
    options.progress = 0;
    options.fixMask = mask;
    // The repair of `tabulon path /F<mask> /R`, made on the layer; the
    // candidate is read off the engine's actions and the layer's writes.
    EntryChanges changes;
    const RunResult run = simulateRepair(layer, path, options, changes);
    c.status = run.status == 0 ? 0 : kStatusFailed;
    const Plan plan = readPlan(run, layer.writes(), changes);
    for (const EntryChange& e : plan.entries) {
        if (e.reset() && e.before.type != 0) c.givenUp.push_back(e.logical);
    }
    std::sort(c.givenUp.begin(), c.givenUp.end());
    c.headersRewritten = plan.pageHeaders;
    c.writes = plan.writes.size();
    c.bytes = plan.bytes;
    c.changes = changedBytes(layer);
    std::string why;
    if (!damageOf(layer, path, shared, &c.damageLeft, &c.remaining, &why)) c.status = kStatusFailed;
    return c;
}

const std::vector<int32_t>& candidateMasks() {
    // Bit 4 in every one (a PAT header is mended before its entries are
    // read); bits 1 and 2 without bit 8 first, so that a mask whose bit 8
    // finds nothing to do gives way to the same mask without it.
    static const std::vector<int32_t> masks = {4, 5, 6, 7, 12, 13, 14, -1};
    return masks;
}

int Advice::status() const {
    if (!checked()) return kStatusFailed;
    return damage == 0 ? 0 : 1;
}

Advice adviseFile(Platform& base, const std::string& path, bool shared) {
    Advice a;
    a.path = path;
    if (!damageOf(base, path, shared, &a.damage, &a.findings, &a.error)) return a;
    if (a.damage == 0) return a;
    for (int32_t mask : candidateMasks()) {
        MaskOutcome c = runCandidate(base, path, mask, shared);
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
    return "TABULON_UNDO=" + commandWord(path + ".undo") + " tabulon " + commandWord(path) + " " +
           maskOption(mask);
#endif
}

namespace {

std::string listed(const std::vector<std::string>& lines, const char* indent) {
    std::string t;
    for (size_t i = 0; i < lines.size() && i < kListed; ++i) t += indent + lines[i] + "\n";
    if (lines.size() > kListed) t += strf("%sand %zu more\n", indent, lines.size() - kListed);
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
    return strf("  %-6s %11llu %13zu %17zu %7zu %9llu\n", m.c_str(),
                (unsigned long long)c.damageLeft, c.givenUp.size(), c.headersRewritten, c.writes,
                (unsigned long long)c.bytes);
}

}  // namespace

std::string adviceText(const Advice& a) {
    std::string t = "Advice for " + a.path + "\n";
    if (!a.checked()) return t + "The file cannot be checked: " + a.error + "\n";
    if (a.damage == 0) return t + "The check finds no damage: nothing needs repair.\n";
    t += strf("The check finds %llu damage findings:\n", (unsigned long long)a.damage);
    t += listed(a.findings, "  ");
    t += "\nEach fix mask run in memory, then the file checked again:\n";
    t += "  Mask   Damage left  Pages given up  Headers rewritten  Writes     Bytes\n";
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
    if (!c.givenUp.empty()) t += "  Data given up: logical pages " + numbers(c.givenUp) + "\n";
    if (!c.clean()) {
        t += "  No fix mask leaves the file clean; after " + maskOption(c.mask) + " remains:\n";
        t += listed(c.remaining, "    ");
    }
    t += "  Run: " + adviceCommand(a.path, c.mask) + "\n";
    return t;
}

Json adviceJson(const Advice& a) {
    Json j;
    j["path"] = a.path;
    j["status"] = a.status();
    j["damage"] = a.damage;
    j["findings"] = a.findings;
    Json list = Json::array();
    for (const MaskOutcome& c : a.candidates) {
        Json o;
        o["mask"] = c.mask;
        o["option"] = maskOption(c.mask);
        o["sameAs"] =
            c.sameAs >= 0 ? Json(maskOption(a.candidates[size_t(c.sameAs)].mask)) : Json(nullptr);
        o["status"] = c.status;
        o["damageLeft"] = c.damageLeft;
        o["remaining"] = c.remaining;
        o["givenUp"] = c.givenUp;
        o["headersRewritten"] = c.headersRewritten;
        o["writes"] = c.writes;
        o["bytes"] = c.bytes;
        o["clean"] = c.clean();
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

std::string adviceHtml(const std::string& path, bool shared) {
    const Advice a = adviseFile(systemPlatform(), path, shared);
    // Each line as the text forms show it: controls and bytes that are not
    // UTF-8 escaped, so that a file's name cannot break the page.
    std::string shown;
    const std::string text = adviceText(a);
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        shown += displayName(std::string_view(text).substr(at, end - at)) + "\n";
        at = end + 1;
    }
    std::string h = "<pre class=\"advice\">";
    for (char ch : shown) {
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
    const Advice a = adviseFile(systemPlatform(), path, cx.shared);
    if (!a.checked()) return fail(cx.out, a.error);
    cx.out.write(Stream::Out, cx.json ? adviceJson(a).dump(2) + "\n" : adviceText(a));
    return a.status();
}

}  // namespace inspect
