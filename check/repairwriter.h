// The repair writer: makes the writes of the repairs and prints the lines
// that follow them, in order. While PAT entries are staged (written together
// once the pair is done), every line waits in a queue behind them, and the
// line of a staged repair is printed only once the write that carries it
// succeeded. Each repair ends as an action with its outcome, handed to the
// owner's `settled` callback.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "access/btrfile.h"
#include "access/patpair.h"
#include "check/finding.h"

namespace tabulon {

class RepairWriter {
  public:
    using Settled = std::function<void(const Action&)>;
    RepairWriter(PatPair& pair, Output& out, Settled settled);

    // A line that is no repair: printed now, or after the lines that wait.
    void print(Stream stream, std::string_view text);

    // Sets logical page a.logical's entry to a.physical and a.type: staged
    // when it can wait, else written at once.
    void setEntry(Action a);

    // An action whose write the caller made (or did not attempt): its line,
    // its failure line and its outcome, now or after the lines that wait.
    void settle(const Action& a);

    // Writes the staged entries and prints every line that waits.
    void commit();

  private:
    // A line (its text in text_) or an action (in actions_) that waits.
    struct Waiting {
        Stream stream;
        size_t at, size;
        bool isAction;
    };
    void report(const Action& a, bool showFailure);

    PatPair& pair_;
    Output& out_;
    Settled settled_;
    std::vector<Waiting> queue_;
    std::string text_;
    std::vector<Action> actions_;
};

// The outcome of a write with this status: Written, Failed for the system's
// failure, NotAttempted for a write that was not made.
Outcome outcomeOf(const Status& s);

}  // namespace tabulon
