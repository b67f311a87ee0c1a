// The engine's one ordered stream of values: every line a run causes is a
// value handed to an EventSink as it happens, in the order of the console
// text. Findings (what is wrong, where, and how it is counted), actions (what
// a repair wrote, with its outcome), notices (announcements, progress,
// warnings, /D traces, from every layer), the pairs and entries as the walk
// reads them, and the report's counters at the end. A renderer turns the
// stream into text (check/console.h) or anything else; the engine prints
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "check/classify.h"
#include "check/finding.h"
#include "check/options.h"
#include "fileio/notice.h"

namespace tabulon {

// One PAT pair as the walk loaded it: what a renderer needs to draw it.
struct PairEvent {
    uint32_t n = 0;
    uint64_t offset = 0;
    uint32_t usage[2] = {0, 0};
    uint32_t current = 0;
    bool idsMatch = true;
    // Slots of the current copy in use and free (counted for sinks that want
    // the walk's detail, 0 for others).
    uint32_t used = 0, free = 0;
    PatHeaderCheck header;
};

// One entry of the current copy as the walk checked it (its findings come as
// Finding values of their own, before it).
using EntryEvent = EntryCheck;

// The counters of the report, once the set is closed.
struct ReportEvent {
    ScanCounters counters;
    int32_t fixMask = 0;  // the report shows the fixed counters when not 0
};

class EventSink : public NoticeSink {
  public:
    virtual void finding(const Finding&) {}
    virtual void action(const Action&) {}
    virtual void pair(const PairEvent&) {}
    virtual void entry(const EntryEvent&) {}
    virtual void report(const ReportEvent&) {}
    void notice(const Notice&) override {}
    // Whether the walk's detail is wanted: entry() for every entry and the
    // pairs' used and free slots. A walk asks once; without it, it spends
    // nothing on the entries that have no finding.
    virtual bool wantsDetail() const { return true; }
};

// A notice that keeps its text.
struct NoticeRecord {
    NoticeKind kind = NoticeKind::Trace;
    Stream stream = Stream::Err;
    uint8_t flush = 0;
    uint64_t value = 0;
    std::string text;
};

using Event = std::variant<Finding, Action, NoticeRecord, PairEvent, ReportEvent>;

// Keeps the stream (entries apart: they are many and their findings come on
// their own), for tests and for callers that render after the run.
class EventLog : public EventSink {
  public:
    void finding(const Finding& f) override { events.emplace_back(f); }
    void action(const Action& a) override { events.emplace_back(a); }
    void pair(const PairEvent& p) override { events.emplace_back(p); }
    void report(const ReportEvent& r) override { events.emplace_back(r); }
    bool wantsDetail() const override { return false; }
    void notice(const Notice& n) override {
        events.emplace_back(NoticeRecord{n.kind, n.stream, n.flush, n.value, std::string(n.text)});
    }
    // Hands the kept stream to a sink again, in order (a console renderer
    // writes the run's text from it).
    void replay(EventSink& sink) const {
        for (const Event& e : events) {
            if (const auto* f = std::get_if<Finding>(&e)) sink.finding(*f);
            if (const auto* a = std::get_if<Action>(&e)) sink.action(*a);
            if (const auto* p = std::get_if<PairEvent>(&e)) sink.pair(*p);
            if (const auto* r = std::get_if<ReportEvent>(&e)) sink.report(*r);
            if (const auto* n = std::get_if<NoticeRecord>(&e)) {
                sink.notice(Notice{n->kind, n->stream, n->flush, n->value, n->text});
            }
        }
    }
    std::vector<Event> events;
};

}  // namespace tabulon
