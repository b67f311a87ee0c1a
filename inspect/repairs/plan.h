// tabulon-inspect plan: the repair that `tabulon FILE /F#` would make, run by
// the engine itself over a copy-on-write layer of the files, so that no byte
// reaches them.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "check/simulate.h"
#include "fileio/overlay.h"
#include "format/pat.h"
#include "inspect/common/session.h"

namespace inspect {

// One write of the run, placed in the file set.
struct PlacedWrite {
    const tabulon::OverlayWrite* write = nullptr;
    enum Kind { PatPage, PageHeader, Other } kind = Other;
    uint32_t pair = 0;  // PatPage: the pair and the copy (0 or 1)
    int copy = 0;
    uint32_t page = 0;  // PageHeader: the physical page
    uint64_t at = 0;    // the file-set offset of its first byte
};

// One PAT entry that the run changed: as the check found it, and as the
// last action on it left it.
struct EntryChange {
    uint32_t logical = 0;
    uint32_t pair = 0;
    int copy = 0;
    uint32_t slot = 0;
    tabulon::PatEntry before{}, after{};
    bool reset() const { return after.type == 0; }
    // A reset of an entry that was unused already (stored type 0): no data
    // is lost with it.
    bool wasUnused() const { return before.type == 0; }
};

// What the run would change: the engine's actions, and the layer's writes.
struct Plan {
    std::vector<PlacedWrite> writes;
    std::vector<EntryChange> entries;
    size_t patPages = 0, pageHeaders = 0, repointed = 0, reset = 0;
    size_t patPagesUnchanged = 0;  // written with the bytes they held
    size_t writesUnchanged = 0;    // writes of the bytes that were there
    size_t resetUnused = 0;        // of `reset`, entries that were unused already
    uint64_t bytes = 0;
};

// Keeps, from a run's stream, what the plan needs of it: the entries the
// engine's written actions changed, each with the entry its finding reported,
// and the current copy of each pair. Hands every value on to `forward` when
// given (the console renderer prints the run as it goes).
class EntryChanges : public tabulon::EventSink {
  public:
    explicit EntryChanges(tabulon::EventSink* forward = nullptr) : forward_(forward) {}
    void finding(const tabulon::Finding& f) override;
    void action(const tabulon::Action& a) override;
    void pair(const tabulon::PairEvent& p) override;
    void entry(const tabulon::EntryEvent& e) override {
        if (forward_) forward_->entry(e);
    }
    void report(const tabulon::ReportEvent& r) override {
        if (forward_) forward_->report(r);
    }
    void notice(const tabulon::Notice& n) override {
        if (forward_) forward_->notice(n);
    }
    bool wantsDetail() const override { return forward_ && forward_->wantsDetail(); }

    // The entries changed, in the order the engine first acted on them: from
    // the entry as found to the entry its last written action left (as a
    // slot of this geometry stores it); entries left as they were are not
    // listed.
    std::vector<EntryChange> changes(const tabulon::FileGeometry& g) const;

  private:
    struct Change {
        uint32_t logical = 0;
        tabulon::PatEntry before{}, last{};
    };
    tabulon::EventSink* forward_;
    std::unordered_map<uint32_t, int> current_;  // the current copy of each pair walked
    std::unordered_map<uint32_t, tabulon::PatEntry> found_;
    std::unordered_map<uint32_t, size_t> at_;  // logical page -> its place in order_
    std::vector<Change> order_;
};

// The plan of a run made over a copy-on-write layer: its writes placed in
// the set, and the entries its actions changed.
Plan readPlan(const tabulon::RunResult& run, const std::vector<tabulon::OverlayWrite>& writes,
              const EntryChanges& changes);

// Runs the check with tabulon's `options` (/F-1 added when none is a fix
// mask) on `path` over the layer: prints what tabulon prints, on the
// same streams, then the summary of the writes it made; with --json one
// document with both. Status 0 when nothing would be written, 1 when the
// repair would write, 2 when the run failed.
int cmdPlan(Context& cx, const std::string& path, const std::vector<std::string>& options);

}  // namespace inspect
