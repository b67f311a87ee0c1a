// report: the survey as one self-contained HTML page (no network, the script
// and the style inline): the table of files, sortable by any column with
// problems first, and for each file with findings its FCR, its findings and
// its page map.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/pat.h"
#include "inspect/repairs/advise.h"
#include "inspect/onefile/mapsvg.h"
#include "inspect/common/names.h"
#include "inspect/common/progress.h"
#include "inspect/folders/survey.h"
#include "inspect/common/workers.h"
#include "tabulon_version.h"

using namespace tabulon;

namespace inspect {

namespace {

// Maps drawn into the page itself; the maps of further files with damage,
// and of files without damage, wait in a <template> until asked for, up to
// kMaps maps in all: a report of thousands of files stays light.
constexpr size_t kInlineMaps = 50;
constexpr size_t kMaps = 500;
// Findings listed per file; the rest are counted.
constexpr size_t kListedFindings = 200;

// Text in HTML: the markup characters as entities, and control characters
// and bytes that are not UTF-8 escaped as the text forms escape them.
std::string html(const std::string& text) {
    const std::string s = displayName(text);
    std::string r;
    r.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': r += "&amp;"; break;
            case '<': r += "&lt;"; break;
            case '>': r += "&gt;"; break;
            case '"': r += "&quot;"; break;
            case '\'': r += "&#39;"; break;
            default: r += c;
        }
    }
    return r;
}

// What the report shows of a file with findings beyond its survey row.
struct Detail {
    bool open = false;
    std::string error;
    std::string fcr;  // the FCR table
    std::string svg;  // the page map
    std::string advice;  // which fix mask to run, for a file with damage
};

std::string fcrTable(const BtrieveFile& file) {
    const FileGeometry& g = file.geometry();
    FcrVersion v;
    decodeFcrVersion(file.fcrCopy(0), &v);
    std::string t = "<table class=\"fcr\"><tr><th></th><th>FCR copy 0</th><th>FCR copy 1</th></tr>";
    std::string usage = "<tr><th>usage count</th>", count = "<tr><th>page count</th>",
                last = "<tr><th>last PAT pair</th>", current = "<tr><th>current</th>";
    for (int c = 0; c < 2; ++c) {
        FileGeometry each = g;
        decodeCurrentFcr(file.fcrCopy(c), &each);
        usage += "<td>" + hex(patUsageCount(g, file.fcrCopy(c)), 8) + "</td>";
        count += strf("<td>%lu</td>", (unsigned long)each.pageCount);
        last += strf("<td>%lu</td>", (unsigned long)lastPatPair(g, file.fcrCopy(c)));
        current += std::string("<td>") + (c == g.currentFcr ? "yes" : "") + "</td>";
    }
    t += usage + "</tr>" + count + "</tr>" + last + "</tr>" + current + "</tr></table>";
    t += "<p class=\"geometry\">" +
         strf(
             "version %s (%s, stored as %s), page size %u, PAT page size %u, %lu pages, "
             "last PAT pair %lu%s%s",
             versionText(v.folded).c_str(), hex(v.folded, 4).c_str(), hex(v.stored, 4).c_str(),
             unsigned(g.pageSize), unsigned(g.patPageSize), (unsigned long)g.pageCount,
             (unsigned long)file.lastPatPair(), g.encrypted ? ", encrypted" : "",
             g.compressed ? ", compressed" : "") +
         "</p>";
    return t;
}

// The report's look at each file, from the survey's walk of it: for a file
// with findings, its FCR table, its page map and, for one with damage, the
// advice from that walk as its baseline.
class ReportLook : public FileLook {
  public:
    ReportLook(Platform& platform, bool shared) : platform_(platform), shared_(shared) {}

    std::vector<EventSink*> sinks(CheckedFile& file) override {
        map_ = std::make_unique<MapWalk>(file);
        return {&map_->sink()};
    }
    void done(CheckedFile& file, const std::string& path, const FileFindings& walked) override {
        // A file read from its second FCR copy is looked at as the program
        // reads it, from the first: on its own.
        bool any = false;
        for (int v = 0; v < kSeverities; ++v) any = any || walked.bySeverity(v) > 0;
        if (any && !file.file().firstFcrCopyDamaged()) {
            fcr = fcrTable(file.file());
            ScanCounters counters;
            uint32_t stopped = 0;
            map_->finish(file, &model, &counters, &stopped);
            // The advice's candidates open the set again, after the survey
            // let it go: the walk's header table is kept for them.
            if (walked.bySeverity(Damage) > 0) {
                baseline_ = baselineOf(file, walked);
                file.close();
                kept_.emplace(std::move(file));
            }
        }
        map_.reset();
    }

    // The advice from the survey's walk as its baseline, once; empty when
    // the walk made no baseline.
    std::string advise(const std::string& path) {
        if (!kept_) return std::string();
        const std::string h = adviceHtml(adviseFrom(platform_, path, shared_, std::move(baseline_)));
        kept_.reset();
        return h;
    }

    std::string fcr;  // empty: not made from the walk
    MapModel model;

  private:
    Platform& platform_;
    bool shared_;
    std::unique_ptr<MapWalk> map_;
    std::optional<CheckedFile> kept_;  // closed, with its header table
    AdviceBaseline baseline_;
};

void describe(Platform& platform, const SurveyRow& row, bool shared, bool withMap, Detail* d) {
    auto* look = dynamic_cast<ReportLook*>(row.look.get());
    if (look && !look->fcr.empty()) {
        // All from the survey's walk, but an advice it did not make.
        d->open = true;
        d->fcr = look->fcr;
        if (row.findings.bySeverity(Damage) > 0) {
            d->advice = look->advise(pathText(row.path));
            if (d->advice.empty()) d->advice = adviceHtml(platform, pathText(row.path), shared);
        }
        if (withMap) {
            MapModel model = look->model;
            model.name = displayName(pathText(row.path.filename()));
            d->svg = renderMapSvg(model, mapGrid(model), true);
        }
        return;
    }
    if (row.findings.bySeverity(Damage) > 0) {
        d->advice = adviceHtml(platform, pathText(row.path), shared);
    }
    EventSink quiet;
    std::optional<CheckedFile> checked =
        openForLook(platform, pathText(row.path), shared, quiet, &d->error);
    if (!checked) return;
    d->open = true;
    d->fcr = fcrTable(checked->file());
    if (!withMap) return;
    MapModel model;
    ScanCounters counters;
    uint32_t stopped = 0;
    buildMapModel(*checked, &model, &counters, &stopped);
    model.name = displayName(pathText(row.path.filename()));
    d->svg = renderMapSvg(model, mapGrid(model), true);
}

bool hasFindings(const SurveyRow& r) {
    if (r.state != RowState::Checked) return false;
    for (int v = 0; v < kSeverities; ++v) {
        if (r.findings.bySeverity(v) > 0) return true;
    }
    return false;
}

// Problems first: files with damage (most first), files not checked, files
// with findings on unused entries, then the rest; by path within each.
std::vector<size_t> problemsFirst(const Survey& s) {
    std::vector<size_t> order(s.rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto rank = [&](const SurveyRow& r) {
        if (r.damaged(s.strict)) return 0;
        if (r.state == RowState::Failed) return 1;
        if (r.findings.bySeverity(UnusedEntry) > 0) return 2;
        if (r.findings.bySeverity(Info) > 0) return 3;
        return 4;
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const SurveyRow &x = s.rows[a], &y = s.rows[b];
        if (rank(x) != rank(y)) return rank(x) < rank(y);
        for (int v = 0; v < kSeverities; ++v) {
            if (x.findings.bySeverity(v) != y.findings.bySeverity(v)) {
                return x.findings.bySeverity(v) > y.findings.bySeverity(v);
            }
        }
        return false;
    });
    return order;
}

const char* kStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#1a1a1a;max-width:80em}
h1{font-size:1.5em}h2{font-size:1.15em;margin-top:2em;overflow-wrap:anywhere}
table{border-collapse:collapse;margin:.5em 0}
th,td{border:1px solid #c8c8c8;padding:.2em .5em;text-align:left;vertical-align:top}
td.n{text-align:right;font-variant-numeric:tabular-nums}
#survey th{cursor:pointer;background:#eef2f7;user-select:none}
#survey th[aria-sort=ascending]::after{content:" \25B2"}
#survey th[aria-sort=descending]::after{content:" \25BC"}
#survey td:first-child{overflow-wrap:break-word}
#survey td.state{white-space:nowrap}
tr.damage td.state{background:#D55E00;color:#fff;font-weight:bold}
tr.failed td.state{background:#000;color:#fff;font-weight:bold}
tr.unused td.state{background:#e6e6e6}
td.sev-damage{color:#a53f00;font-weight:bold}
.summary{font-size:1.05em}
.map svg{max-width:100%;height:auto}
.findings td:nth-child(3){max-width:50em}
button{font:inherit}
)";

// Sorts the survey table by a column when its head is clicked (again:
// the other way), or by the URL fragment #sort=KEY or #sort=-KEY; the
// rows hold their values in data-KEY. Opens a file's waiting map.
const char* kScript = R"(
(function(){
var table=document.getElementById('survey');
var body=table.tBodies[0];
function sortBy(key,desc){
  var heads=table.tHead.rows[0].cells;
  var num=false;
  for(var i=0;i<heads.length;i++){
    var h=heads[i];
    if(h.dataset.key===key){num=h.dataset.type==='n';h.setAttribute('aria-sort',desc?'descending':'ascending');}
    else h.removeAttribute('aria-sort');
  }
  var rows=Array.prototype.slice.call(body.rows);
  rows.sort(function(a,b){
    var x=a.dataset[key],y=b.dataset[key],c;
    if(num){c=Number(x)-Number(y);}else{c=x<y?-1:x>y?1:0;}
    if(desc)c=-c;
    if(c===0)c=Number(a.dataset.rank)-Number(b.dataset.rank);
    return c;
  });
  for(var j=0;j<rows.length;j++)body.appendChild(rows[j]);
  table.dataset.sorted=(desc?'-':'')+key;
}
table.tHead.addEventListener('click',function(e){
  var h=e.target.closest('th');if(!h)return;
  var key=h.dataset.key;
  var desc=table.dataset.sorted===key;
  sortBy(key,desc);
  history.replaceState(null,'','#sort='+(desc?'-':'')+key);
});
function fromHash(){
  var m=/^#sort=(-?)([a-zA-Z]+)$/.exec(location.hash);
  if(m)sortBy(m[2],m[1]==='-');
}
window.addEventListener('hashchange',fromHash);
fromHash();
document.addEventListener('click',function(e){
  var b=e.target.closest('button[data-map]');if(!b)return;
  var t=document.getElementById(b.dataset.map);
  b.parentNode.replaceChild(t.content.cloneNode(true),b);
});
})();
)";

std::string stateText(const SurveyRow& r, bool strict) {
    switch (r.state) {
        case RowState::PreSix: return "pre-6.x";
        case RowState::Failed: return "not checked";
        case RowState::Changing: return "changing";
        case RowState::Skipped: return "skipped";
        default: break;
    }
    if (r.damaged(strict)) return "damage";
    if (r.findings.bySeverity(UnusedEntry) > 0) return "unused entries";
    return "sound";
}

std::string numberCell(const char* key, uint64_t v, bool known, std::string* data) {
    *data += strf(" data-%s=\"%llu\"", key, (unsigned long long)(known ? v : 0));
    return known ? strf("<td class=\"n\">%llu</td>", (unsigned long long)v)
                 : std::string("<td class=\"n\">-</td>");
}

}  // namespace

namespace {

// The files with findings, in the order of the table, with what the report
// shows of each beyond its row (read again, several at a time).
struct Details {
    std::vector<size_t> order, rankOf, detailOf;
    std::vector<Detail> of;
};

Details gatherDetails(Platform& platform, const Survey& s, bool shared) {
    Details d;
    d.order = problemsFirst(s);
    d.rankOf.resize(s.rows.size());
    for (size_t k = 0; k < d.order.size(); ++k) d.rankOf[d.order[k]] = k;
    std::vector<size_t> detailed;
    d.detailOf.assign(s.rows.size(), SIZE_MAX);
    for (size_t i : d.order) {
        if (!hasFindings(s.rows[i])) continue;
        d.detailOf[i] = detailed.size();
        detailed.push_back(i);
    }
    d.of.resize(detailed.size());
    runJobs(detailed.size(), systemCores(),
            [&](size_t k) { describe(platform, s.rows[detailed[k]], shared, k < kMaps, &d.of[k]); });
    return d;
}

// The head of the page: the title, the style, the summary, the version
// and command that made it, and the folders that could not be read.
std::string reportHead(const Survey& s, const std::string& command) {
    std::string dirs;
    for (const std::string& d : s.dirs) dirs += (dirs.empty() ? "" : ", ") + html(d);
    const std::time_t when = std::time_t(s.time);
    char stamp[32] = "";
    if (const std::tm* tm = std::gmtime(&when)) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", tm);
    }
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    h += "<title>Tabulon survey of " + dirs + "</title>\n<style>" + kStyle + "</style>\n</head>\n";
    h += "<body>\n<h1>Tabulon survey of " + dirs + "</h1>\n";
    h += strf(
        "<p class=\"summary\" id=\"summary\">%s: %zu files, %zu checked: <b>%zu with "
        "damage</b>, %zu with findings on unused entries only; %zu pre-6.x, %zu not "
        "checked%s%s.</p>\n",
        stamp, s.rows.size(), s.count(RowState::Checked), s.damaged(), s.unusedOnly(),
        s.count(RowState::PreSix), s.count(RowState::Failed),
        s.count(RowState::Changing) > 0
            ? strf(", %zu changing while checked", s.count(RowState::Changing)).c_str()
            : "",
        s.strict ? "; strict: every finding counts as damage" : "");
    h += "<p class=\"made\">Made by Tabulon " + html(TABULON_VERSION) + ": <code>" + html(command) +
         "</code></p>\n";
    // The commands of the page (this one, the advice's Run: lines, the maps)
    // name the files as the survey reached them: from this folder.
    std::string from;
    if (!finalFolderPath(".", &from)) from = ".";
    h += "<p class=\"from\" id=\"run-from\">The commands on this page run from the folder <code>" +
         html(from) + "</code>; the file names of the table are relative to " +
         (s.dirs.size() == 1 ? "the folder surveyed, <code>" + html(s.dirs[0]) + "</code>"
                             : std::string("that folder")) +
         ".</p>\n";
    for (const WalkError& e : s.walkErrors) {
        h += "<p>A folder could not be read: " + html(e.text(s)) + "</p>\n";
    }
    return h;
}

std::string tableRow(const Survey& s, size_t i, size_t rank) {
    const SurveyRow& r = s.rows[i];
    const bool checked = r.state == RowState::Checked;
    const bool known = r.state != RowState::Failed;
    const int stateRank = r.damaged(s.strict)                      ? 0
                          : r.state == RowState::Failed            ? 1
                          : r.findings.bySeverity(UnusedEntry) > 0 ? 2
                          : r.state == RowState::PreSix            ? 4
                                                                   : 3;
    std::string data = strf(" data-rank=\"%zu\" data-path=\"%s\" data-state=\"%d\"", rank,
                            html(r.shown).c_str(), stateRank);
    std::string cells;
    const std::string name = html(r.shown);
    cells += hasFindings(r) ? strf("<td><a href=\"#file-%zu\">%s</a></td>", i, name.c_str())
                            : "<td>" + name + "</td>";
    cells += "<td class=\"state\">" + html(stateText(r, s.strict)) +
             (r.error.empty() ? std::string() : ": " + html(r.error)) +
             (r.incomplete.empty() ? std::string() : ": incomplete set: " + html(r.incomplete)) +
             "</td>";
    data += strf(" data-version=\"%u\"", unsigned(r.version));
    cells += known ? "<td>" + versionHex(r.version) + "</td>" : "<td>-</td>";
    cells += numberCell("pages", r.pages, known, &data);
    cells += numberCell("last-pair", r.lastPair, checked, &data);
    cells += numberCell("examined", r.findings.counters.totalPagesExamined, checked, &data);
    cells += numberCell("damage", r.findings.bySeverity(Damage), checked, &data);
    cells += numberCell("unused", r.findings.bySeverity(UnusedEntry), checked, &data);
    cells += numberCell("info", r.findings.bySeverity(Info), checked, &data);
    cells += numberCell("problems", r.findings.counters.totalProblems, checked, &data);
    const char* cls = r.damaged(s.strict)           ? "damage"
                      : r.state == RowState::Failed ? "failed"
                      : hasFindings(r)              ? "unused"
                                                    : "ok";
    return strf("<tr class=\"%s\"%s>", cls, data.c_str()) + cells + "</tr>\n";
}

std::string surveyTable(const Survey& s, const Details& d) {
    std::string h = "<table id=\"survey\" data-sorted=\"rank\">\n<thead><tr>";
    const char* heads[][3] = {
        {"path", "t", "file"},          {"state", "n", "state"},
        {"version", "n", "version"},    {"pages", "n", "pages"},
        {"lastPair", "n", "last pair"}, {"examined", "n", "pages examined"},
        {"damage", "n", "damage"},      {"unused", "n", "unused-entry"},
        {"info", "n", "info"},          {"problems", "n", "problems (check)"},
    };
    for (const auto& c : heads) {
        h += strf("<th data-key=\"%s\" data-type=\"%s\">%s</th>", c[0], c[1], c[2]);
    }
    h += "</tr></thead>\n<tbody>\n";
    for (size_t i : d.order) h += tableRow(s, i, d.rankOf[i]);
    return h + "</tbody>\n</table>\n";
}

std::string findingsTable(const SurveyRow& r) {
    std::string h =
        "<table class=\"findings\"><tr><th>code</th><th>severity</th><th>finding</th></tr>\n";
    size_t listed = 0;
    for (const ListedFinding& f : r.findings.list) {
        if (listed++ == kListedFindings) break;
        h += strf("<tr><td>%s</td><td class=\"sev-%s\">%s</td><td>", f.code(),
                  severityName(f.severity()), severityName(f.severity())) +
             html(tabulon::renderDetail(f.finding)) + "</td></tr>\n";
    }
    h += "</table>\n";
    if (r.findings.list.size() > kListedFindings) {
        h += strf("<p>and %zu findings more (tabulon-inspect entries lists them all).</p>\n",
                  r.findings.list.size() - kListedFindings);
    }
    return h;
}

std::string fileSection(const Survey& s, size_t i, const Detail& d, size_t* inlined) {
    const SurveyRow& r = s.rows[i];
    std::string h =
        strf("<section class=\"file\" id=\"file-%zu\">\n<h2>", i) + html(r.shown) + "</h2>\n";
    h += strf(
        "<p>%s: %llu damage, %llu unused-entry, %llu info; the check counts %lu "
        "problems.</p>\n",
        html(stateText(r, s.strict)).c_str(), (unsigned long long)r.findings.bySeverity(Damage),
        (unsigned long long)r.findings.bySeverity(UnusedEntry),
        (unsigned long long)r.findings.bySeverity(Info),
        (unsigned long)r.findings.counters.totalProblems);
    if (!d.open) {
        return h + "<p>The file could not be opened again: " + html(d.error) +
               "</p>\n</section>\n";
    }
    h += d.fcr + "\n" + findingsTable(r);
    if (d.svg.empty()) {
        h += "<p>The map: <code>tabulon-inspect map " + html(pathText(r.path)) +
             " -o map.svg</code> (the report carries the maps of the first " +
             std::to_string(kMaps) + " files).</p>\n";
    } else if (r.damaged(s.strict) && *inlined < kInlineMaps) {
        ++*inlined;
        h += "<div class=\"map\">" + d.svg + "</div>\n";
    } else {
        h += strf(
                 "<div class=\"map\"><button data-map=\"map-%zu\">Show the page "
                 "map</button></div>\n<template id=\"map-%zu\">",
                 i, i) +
             d.svg + "</template>\n";
    }
    return h + d.advice + "</section>\n";
}

}  // namespace

std::string surveyReport(Platform& platform, const Survey& s, bool shared,
                         const std::string& command) {
    const Details d = gatherDetails(platform, s, shared);
    std::string h;
    h.reserve(4096 + s.rows.size() * 400);
    h += reportHead(s, command);
    h += surveyTable(s, d);
    // The files with findings, problems first.
    size_t inlined = 0;
    for (size_t i : d.order) {
        if (d.detailOf[i] != SIZE_MAX) h += fileSection(s, i, d.of[d.detailOf[i]], &inlined);
    }
    h += std::string("<script>") + kScript + "</script>\n</body>\n</html>\n";
    return h;
}

int cmdReport(Context& cx, const SurveyArgs& a) {
    ProgressLine progress(cx.out, !cx.json && ProgressLine::wanted(cx.out, "text"), "report");
    SurveyOptions o;
    o.dirs = a.dirs;
    o.jobs = a.jobs;
    o.shared = cx.shared;
    o.keepLists = true;
    o.look = [&cx] { return std::make_unique<ReportLook>(cx.platform, cx.shared); };
    o.strict = a.strict;
    o.followLinks = a.followLinks;
    o.progress = &progress;
    Survey s;
    runSurvey(o, &s);
    std::string why;
    if (!writeAtomically(a.output, surveyReport(cx.platform, s, cx.shared, cx.command), &why)) {
        return fail(cx.out, why);
    }
    const int status = surveyStatus(s);
    if (cx.json) {
        Json j;
        j["output"] = a.output;
        j["fileCount"] = s.rows.size();
        j["damagedFiles"] = s.damaged();
        j["status"] = status;
        cx.out.write(Stream::Out, dumpJson(j) + "\n");
    } else {
        cx.out.write(Stream::Out, strf("%s: %zu files, %zu with damage\n",
                                       displayName(a.output).c_str(), s.rows.size(), s.damaged()));
    }
    return status;
}

}  // namespace inspect
