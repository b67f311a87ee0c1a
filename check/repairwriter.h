// The repair writer: makes the writes of the repairs and hands the values
// that follow them to the sink, in order. While PAT entries are staged
// (written together once the pair is done), every finding and notice that
// the engine hands it waits in a queue behind them, and the action of a
// staged repair is handed on only once the write that carries it succeeded
// (or failed: its failure notice then follows it). Each settled action is
// counted into the run's counters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "access/btrfile.h"
#include "access/patpair.h"
#include "check/event.h"
#include "check/ledger.h"

namespace tabulon {

class RepairWriter {
  public:
    RepairWriter(PatPair& pair, ScanCounters& counters, std::vector<Status>& failures);

    void setSink(EventSink* sink) { sink_ = sink; }
    // Every settled action is noted in the ledger too.
    void setLedger(LedgerBuilder* ledger) { ledger_ = ledger; }

    // A finding, or a notice of the engine: handed on now, or after the
    // values that wait.
    void finding(const Finding& f);
    void notice(NoticeKind kind, Stream stream, std::string_view text, uint64_t value);

    // Sets logical page a.logical's entry to a.physical and a.type: staged
    // when it can wait, else written at once.
    void setEntry(Action a);

    // An action whose write the caller made (or did not attempt): now or
    // after the values that wait.
    void settle(const Action& a);

    // Writes the staged entries and hands on every value that waits.
    void commit();

  private:
    enum class Held : uint8_t { Finding, Notice, Action };
    // A value that waits, by its place in its own list.
    struct Waiting {
        Held held;
        uint32_t at;
    };
    struct HeldNotice {
        NoticeKind kind;
        Stream stream;
        uint64_t value;
        size_t at, size;  // its text in text_
    };
    bool waiting() const { return !queue_.empty() || pair_.hasStaged(); }
    void report(const Action& a, bool showFailure);

    PatPair& pair_;
    ScanCounters& counters_;
    std::vector<Status>& failures_;
    EventSink* sink_ = nullptr;
    LedgerBuilder* ledger_ = nullptr;
    std::vector<Waiting> queue_;
    std::vector<Finding> findings_;
    std::vector<HeldNotice> notices_;
    std::string text_;
    std::vector<Action> actions_;
};

// The outcome of a write with this status: Written, Failed for the system's
// failure, NotAttempted for a write that was not made.
Outcome outcomeOf(const Status& s);

// Counts a settled action into the fixed counters.
void countSettled(ScanCounters& c, const Action& a);

}  // namespace tabulon
