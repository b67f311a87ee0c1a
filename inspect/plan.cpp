// tabulon-inspect plan: see plan.h.
//
// The run is the tabulon program's own run sequence over an OverlayPlatform:
// the engine reads, searches and writes as in a real repair, its reads see
// its earlier writes, and the layer keeps every write. The plan is then read
// off those writes: each is placed by the file's geometry (a PAT page copy, a
// page header, or other bytes), and the PAT pages written are compared entry
// by entry, before against after, for the entries re-pointed and reset.
#include "inspect/plan.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <utility>

#include "cli/run.h"
#include "fileio/overlay.h"
#include "format/pat.h"
#include "inspect/json.h"

namespace inspect {

namespace {

// The file set as the run found it: the members' names and their sizes
// before any write, and reads through the layer, before or after the writes.
class SetView {
  public:
    SetView(OverlayPlatform& layer, const FileSet& set) : layer_(layer) {
        for (int k = 0; k < set.memberCount(); ++k) {
            uint64_t size = 0;
            layer.fileSize(set.memberFileName(k), true, &size);
            names_.push_back(set.memberFileName(k));
            sizes_.push_back(size);
        }
    }

    // The member of a file name, or -1.
    int member(const std::string& name) const {
        auto it = std::find(names_.begin(), names_.end(), name);
        return it == names_.end() ? -1 : int(it - names_.begin());
    }
    uint64_t setOffset(int k, uint64_t rest) const {
        for (int i = 0; i < k; ++i) rest += sizes_[size_t(i)];
        return rest;
    }

    // n bytes at a file-set offset, across members; false when any is
    // missing.
    bool read(uint64_t offset, uint8_t* out, size_t n, bool original) {
        for (size_t k = 0; k < names_.size() && n > 0; ++k) {
            if (offset >= sizes_[k]) {
                offset -= sizes_[k];
                continue;
            }
            const size_t piece = size_t(std::min<uint64_t>(n, sizes_[k] - offset));
            size_t got = 0;
            if (!layer_.readFile(names_[k], offset, out, piece, original, &got) || got != piece) {
                return false;
            }
            out += piece;
            n -= piece;
            offset = 0;
        }
        return n == 0;
    }

  private:
    OverlayPlatform& layer_;
    std::vector<std::string> names_;
    std::vector<uint64_t> sizes_;
};

PlacedWrite place(const FileGeometry& g, const SetView& view, const OverlayWrite& w) {
    PlacedWrite p;
    p.write = &w;
    const int k = view.member(w.file);
    if (k < 0 || g.versionCode < version::v600) return p;
    const uint64_t at = view.setOffset(k, w.offset);
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

// The entries of one PAT page copy that differ before and after the run;
// returns whether the copy holds the same bytes after the run as before.
bool compareEntries(const FileGeometry& g, SetView& view, uint32_t pair, int copy,
                    std::vector<EntryChange>* changes) {
    const int perPage = patEntriesPerPage(g);
    if (perPage <= 0 || pair == 0) return false;
    const uint64_t at = patPairOffset(g, pair) + uint64_t(copy) * g.patPageSize;
    std::vector<uint8_t> before(g.patPageSize), after(g.patPageSize);
    if (!view.read(at, before.data(), before.size(), true) ||
        !view.read(at, after.data(), after.size(), false)) {
        return false;
    }
    if (before == after) return true;
    const uint32_t slots = patSlotsInPage(g, uint32_t(perPage));
    for (uint32_t j = 0; j < slots; ++j) {
        EntryChange c;
        c.before = readPatEntry(g, before.data(), j);
        c.after = readPatEntry(g, after.data(), j);
        if (c.before.physical == c.after.physical && c.before.type == c.after.type) continue;
        c.pair = pair;
        c.copy = copy;
        c.slot = j;
        c.logical = (pair - 1) * uint32_t(perPage) + j + 1;
        changes->push_back(c);
    }
    return false;
}

}  // namespace

Plan readPlan(OverlayPlatform& layer, const std::string& path) {
    Plan plan;
    for (const OverlayWrite& w : layer.writes()) {
        plan.bytes += w.after.size();
        if (w.after == w.before) ++plan.writesUnchanged;
    }
    // The set as the run opened it, through the layer (whose files are open
    // still): its geometry and its members.
    NullOutput quiet;
    BtrieveFile file(quiet, layer);
    const bool open = file.open(path, ExclusiveRead, false).ok();
    const FileGeometry& g = file.geometry();
    SetView view(layer, file.fileSet());
    std::set<std::pair<uint32_t, int>> patPages;
    std::set<uint32_t> headers;
    for (const OverlayWrite& w : layer.writes()) {
        PlacedWrite p = open ? place(g, view, w) : PlacedWrite{&w};
        if (p.kind == PlacedWrite::PatPage) patPages.insert({p.pair, p.copy});
        if (p.kind == PlacedWrite::PageHeader) headers.insert(p.page);
        plan.writes.push_back(p);
    }
    // Each entry once, from the copy where it changed (repairs change the
    // current copy).
    std::set<uint32_t> seen;
    for (const auto& [pair, copy] : patPages) {
        std::vector<EntryChange> changes;
        if (compareEntries(g, view, pair, copy, &changes)) ++plan.patPagesUnchanged;
        for (const EntryChange& c : changes) {
            if (!seen.insert(c.logical).second) continue;
            plan.entries.push_back(c);
            ++(c.reset() ? plan.reset : plan.repointed);
            if (c.reset() && c.wasUnused()) ++plan.resetUnused;
        }
    }
    plan.patPages = patPages.size();
    plan.pageHeaders = headers.size();
    if (open) file.close();
    return plan;
}

namespace {

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

// Whether an option of the tabulon program is a fix mask (/F#, -f#).
bool isFixMask(const std::string& option) {
    return option.size() >= 2 && (option[0] == '/' || option[0] == '-') &&
           std::toupper(static_cast<unsigned char>(option[1])) == 'F';
}

}  // namespace

int cmdPlan(Context& cx, const std::string& path, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"tabulon", path};
    args.insert(args.end(), options.begin(), options.end());
    if (std::none_of(options.begin(), options.end(), isFixMask)) args.push_back("/F-1");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());

    OverlayPlatform layer(systemPlatform(), cx.shared ? Unprotected : ExclusiveRead);
    BufferOutput captured;
    // The run's lines reach the streams as the program prints them; under
    // --json they go into the document instead.
    Output& runOut = cx.json ? static_cast<Output&>(captured) : cx.out;
    // No undo journal: the layer creates no file.
    const int status =
        runTabulon(int(argv.size()), argv.data(), runOut, layer, nullptr, RunSettings{});
    runOut.flush(Stream::Out);
    const Plan plan = readPlan(layer, path);

    if (cx.json) {
        Json j;
        j["path"] = path;
        j["arguments"] = std::vector<std::string>(args.begin() + 2, args.end());
        j["status"] = status;
        j["stdout"] = captured.outText;
        j["stderr"] = captured.errText;
        const Json details = planJson(plan);
        for (auto& [key, value] : details.items()) j[key] = value;
        cx.out.write(Stream::Out, dumpJson(j) + "\n");
    } else {
        cx.out.write(Stream::Out, planText(plan));
    }
    if (status != 0) return kStatusFailed;
    return plan.writes.empty() ? 0 : 1;
}

}  // namespace inspect
