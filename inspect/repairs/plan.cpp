// tabulon-inspect plan: see plan.h.
//
// The run is the engine's own run over a copy-on-write layer of the files
// (simulateRepair): it reads, searches and writes as in a real repair, its
// reads see its earlier writes, and the layer keeps every write. The plan is
// the engine's actions: each entry it re-pointed or reset, from the entry
// the check found to the one the last action wrote. The layer's writes are
// placed by the file's geometry (a PAT page copy, a page header, or other
// bytes) for the list of writes.
#include "inspect/repairs/plan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "check/commandline.h"
#include "check/console.h"
#include "check/program.h"
#include "format/pat.h"
#include "inspect/repairs/advise.h"
#include "inspect/common/json.h"

using namespace tabulon;

namespace inspect {

namespace {

// The file-set offset of a write; false for a file that is no member.
bool setOffsetOf(const RunResult& run, const OverlayWrite& w, uint64_t* at) {
    uint64_t before = 0;
    for (size_t k = 0; k < run.members.size(); ++k) {
        if (run.members[k] == w.file) {
            *at = before + w.offset;
            return true;
        }
        before += run.memberSizes[k];
    }
    return false;
}

PlacedWrite place(const RunResult& run, const OverlayWrite& w) {
    PlacedWrite p;
    p.write = &w;
    const FileGeometry& g = run.geometry;
    uint64_t at = 0;
    if (g.versionCode < version::v600 || !setOffsetOf(run, w, &at)) return p;
    p.at = at;
    if (patPageAt(g, at, &p.pair, &p.copy)) {
        p.kind = PlacedWrite::PatPage;
        return p;
    }
    forEachHeaderFieldTouched(g, at, w.after.size(), [&](uint32_t page) {
        p.kind = PlacedWrite::PageHeader;
        p.page = page;
        return false;
    });
    return p;
}

bool changesEntry(const Action& a) {
    return a.outcome == Outcome::Written &&
           (a.kind == ActionKind::FreeSpace || a.kind == ActionKind::BestPage ||
            a.kind == ActionKind::ResetToFree);
}

// The entry as a slot holds it once written (before 0x0800 the packed word
// keeps 24 bits of the page and 8 of the type).
PatEntry asStored(const FileGeometry& g, uint32_t physical, uint16_t type) {
    // The first slot and the page head before it: a few dozen bytes.
    std::array<uint8_t, 64> slot{};
    if (size_t(patSlotOffset(g, 0) + patSlotSize(g)) > slot.size()) return PatEntry{physical, type};
    writePatSlot(g, slot.data(), patSlotOffset(g, 0), physical, type);
    return readPatEntry(g, slot.data(), 0);
}

}  // namespace

void EntryChanges::pair(const PairEvent& p) {
    current_[p.n] = int(p.current);
    if (forward_) forward_->pair(p);
}

void EntryChanges::finding(const Finding& f) {
    if (f.row().counter != CounterClass::PatPage && f.logical != 0) {
        found_.emplace(f.logical, PatEntry{f.physical, f.storedType});
    }
    if (forward_) forward_->finding(f);
}

void EntryChanges::action(const Action& a) {
    if (changesEntry(a)) {
        auto [it, added] = at_.emplace(a.logical, order_.size());
        if (added) {
            Change c;
            c.logical = a.logical;
            const auto f = found_.find(a.logical);
            if (f != found_.end()) c.before = f->second;
            order_.push_back(c);
        }
        order_[it->second].last = PatEntry{a.physical, a.type};
    }
    if (forward_) forward_->action(a);
}

std::vector<EntryChange> EntryChanges::changes(const FileGeometry& g) const {
    std::vector<EntryChange> changes;
    for (const Change& o : order_) {
        EntryChange c;
        c.logical = o.logical;
        c.before = o.before;
        c.after = asStored(g, o.last.physical, o.last.type);
        if (c.before.physical == c.after.physical && c.before.type == c.after.type) continue;
        pairOfLogical(g, c.logical, &c.pair, &c.slot);
        const auto copy = current_.find(c.pair);
        c.copy = copy == current_.end() ? 0 : copy->second;
        changes.push_back(c);
    }
    return changes;
}

namespace {

// The PAT page copies that the writes leave with the bytes they held: every
// byte written last holds what the first write to it found. A write covers
// runs of bytes, so each is copied as a run, not byte by byte.
size_t unchangedPages(const FileGeometry& g, const std::vector<PlacedWrite>& writes) {
    struct Page {
        std::vector<uint8_t> first, last, touched;
    };
    std::map<std::pair<uint32_t, int>, Page> pages;
    const size_t size = g.patPageSize;
    for (const PlacedWrite& p : writes) {
        if (p.kind != PlacedWrite::PatPage) continue;
        Page& page = pages[{p.pair, p.copy}];
        if (page.touched.empty()) {
            page.first.resize(size);
            page.last.resize(size);
            page.touched.assign(size, 0);
        }
        const uint64_t start = patPairOffset(g, p.pair) + uint64_t(p.copy) * size;
        const OverlayWrite& w = *p.write;
        // The part of the write that lies in the page, as offsets in both.
        const uint64_t n = std::min(w.after.size(), w.before.size());
        const uint64_t from = std::max(p.at, start), to = std::min(p.at + n, start + size);
        if (from >= to) continue;
        const size_t lo = size_t(from - start), hi = size_t(to - start);
        const size_t skip = size_t(from - p.at);
        uint8_t* touched = page.touched.data();
        for (size_t k = lo; k < hi;) {
            const uint8_t seen = touched[k];
            const size_t end =
                size_t(std::find(touched + k, touched + hi, uint8_t(!seen)) - touched);
            if (!seen) {
                std::memcpy(page.first.data() + k, w.before.data() + skip + (k - lo), end - k);
                std::memset(touched + k, 1, end - k);
            }
            k = end;
        }
        std::memcpy(page.last.data() + lo, w.after.data() + skip, hi - lo);
    }
    size_t unchanged = 0;
    for (const auto& [key, page] : pages) unchanged += page.first == page.last;
    return unchanged;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 15];
    }
    return s;
}

const char* kindName(PlacedWrite::Kind k) {
    switch (k) {
        case PlacedWrite::PatPage: return "pat-page";
        case PlacedWrite::PageHeader: return "page-header";
        default: return "other";
    }
}

Json planJson(const Plan& plan) {
    Json writes = Json::array();
    for (const PlacedWrite& p : plan.writes) {
        Json w;
        w["member"] = p.write->file;
        w["memberOffset"] = p.write->offset;
        w["length"] = p.write->after.size();
        w["kind"] = kindName(p.kind);
        if (p.kind == PlacedWrite::PatPage) {
            w["pair"] = p.pair;
            w["copy"] = p.copy;
        } else if (p.kind == PlacedWrite::PageHeader) {
            w["page"] = p.page;
        }
        w["before"] = hexBytes(p.write->before);
        w["after"] = hexBytes(p.write->after);
        writes.push_back(w);
    }
    Json entries = Json::array();
    for (const EntryChange& c : plan.entries) {
        entries.push_back({{"logical", c.logical},
                           {"pair", c.pair},
                           {"copy", c.copy},
                           {"slot", c.slot},
                           {"action", c.reset() ? "reset" : "re-pointed"},
                           {"before", {{"physical", c.before.physical}, {"type", c.before.type}}},
                           {"after", {{"physical", c.after.physical}, {"type", c.after.type}}}});
    }
    Json j;
    j["summary"] = {{"patPages", plan.patPages},
                    {"patPagesUnchanged", plan.patPagesUnchanged},
                    {"pageHeaders", plan.pageHeaders},
                    {"entriesRepointed", plan.repointed},
                    {"entriesReset", plan.reset},
                    {"entriesResetHeldData", plan.reset - plan.resetUnused},
                    {"entriesResetUnused", plan.resetUnused},
                    {"byteCount", plan.bytes},
                    {"writeCount", plan.writes.size()},
                    {"writesUnchanged", plan.writesUnchanged}};
    j["writes"] = writes;
    j["entries"] = entries;
    return j;
}

std::string planText(const Plan& plan) {
    std::string t = "\nPlan of the repair (nothing was written):\n";
    auto line = [&](const char* label, uint64_t v) {
        t += strf("  %-25s: %llu\n", label, (unsigned long long)v);
    };
    t += strf("  %-25s: %zu (%zu unchanged)\n", "PAT pages written", plan.patPages,
              plan.patPagesUnchanged);
    line("Page headers written", plan.pageHeaders);
    line("Entries re-pointed", plan.repointed);
    t += strf("  %-25s: %zu (%zu held data, %zu were unused)\n", "Entries reset", plan.reset,
              plan.reset - plan.resetUnused, plan.resetUnused);
    t += strf("  %-25s: %zu (%zu unchanged)\n", "Writes", plan.writes.size(), plan.writesUnchanged);
    line("Bytes written in all", plan.bytes);
    return t;
}

}  // namespace

Plan readPlan(const RunResult& run, const std::vector<OverlayWrite>& writes,
              const EntryChanges& changes) {
    Plan plan;
    std::set<std::pair<uint32_t, int>> patPages;
    std::set<uint32_t> headers;
    for (const OverlayWrite& w : writes) {
        plan.bytes += w.after.size();
        if (w.after == w.before) ++plan.writesUnchanged;
        const PlacedWrite p = place(run, w);
        if (p.kind == PlacedWrite::PatPage) patPages.insert({p.pair, p.copy});
        if (p.kind == PlacedWrite::PageHeader) headers.insert(p.page);
        plan.writes.push_back(p);
    }
    plan.entries = changes.changes(run.geometry);
    for (const EntryChange& c : plan.entries) {
        ++(c.reset() ? plan.reset : plan.repointed);
        if (c.reset() && c.wasUnused()) ++plan.resetUnused;
    }
    plan.patPagesUnchanged = unchangedPages(run.geometry, plan.writes);
    plan.patPages = patPages.size();
    plan.pageHeaders = headers.size();
    return plan;
}

int cmdPlan(Context& cx, const std::string& path, const std::vector<std::string>& options) {
    std::vector<std::string> words = {path};
    words.insert(words.end(), options.begin(), options.end());
    // Without a fix mask of its own, the plan is of every repair.
    if (!parseCommandWords(words).fixMaskGiven) words.push_back("/F-1");
    if (parseCommandWords(words).showUsage) return fail(cx.out, "tabulon takes at most four options");

    BufferOutput captured;
    // The run's lines reach the streams as the program prints them; under
    // --json they go into the document instead.
    Output& runOut = cx.json ? static_cast<Output&>(captured) : cx.out;
    // The program's run, its text written as it goes, over a copy-on-write
    // layer that keeps every write (no undo journal: the layer creates no
    // file); the entries it changes are kept on the way.
    OverlayPlatform layer(cx.platform, cx.shared ? Unprotected : ExclusiveRead);
    ConsoleRenderer console(runOut);
    EntryChanges changes(&console);
    VersionLedger ledger;
    const ProgramResult program =
        runTabulon(words, ProgramEnvironment{layer, changes, "", false, &ledger});
    const RunResult& run = program.run;
    runOut.flush(Stream::Out);
    const int status = run.status;
    const Plan plan = readPlan(run, layer.writes(), changes);
    // A set that lacks a member: the repair would reset what it cannot see.
    const std::string incomplete =
        run.members.empty() || run.geometry.versionCode < version::v600
            ? std::string()
            : incompleteSetText(run.extent);

    if (cx.json) {
        Json j;
        j["path"] = path;
        j["arguments"] = std::vector<std::string>(words.begin() + 1, words.end());
        j["status"] = status;
        j["stdout"] = captured.outText;
        j["stderr"] = captured.errText;
        const Json details = planJson(plan);
        for (auto& [key, value] : details.items()) j[key] = value;
        j["incomplete"] = incomplete.empty() ? Json(nullptr) : Json(incomplete);
        j["ledger"] = ledgerJson(ledger);
        cx.out.write(Stream::Out, dumpJson(j) + "\n");
    } else {
        std::string t = planText(plan);
        if (!ledger.rows.empty()) {
            t += "\nWhere each entry it changes or leaves damaged ends:\n";
            t += ledgerText(ledger, SIZE_MAX, "  ");
        }
        if (!incomplete.empty()) {
            t += "\nThe set is incomplete: " + incomplete +
                 "\nDo not run this repair: it would reset the entries of the pages the set "
                 "lacks.\n";
        }
        cx.out.write(Stream::Out, t);
    }
    if (status != 0 || !incomplete.empty()) return kStatusFailed;
    return plan.writes.empty() ? 0 : 1;
}

}  // namespace inspect
