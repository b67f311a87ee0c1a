#include "check/repairwriter.h"

namespace tabulon {

Outcome outcomeOf(const Status& s) {
    if (s.ok()) return Outcome::Written;
    return s.failure == Failure::Write ? Outcome::Failed : Outcome::NotAttempted;
}

RepairWriter::RepairWriter(PatPair& pair, Output& out, Settled settled)
    : pair_(pair), out_(out), settled_(std::move(settled)) {}

void RepairWriter::print(Stream stream, std::string_view text) {
    if (text.empty()) return;
    if (queue_.empty() && !pair_.hasStaged()) {
        out_.write(stream, text);
        return;
    }
    queue_.push_back(Waiting{stream, text_.size(), text.size(), false});
    text_.append(text);
}

void RepairWriter::report(const Action& a, bool showFailure) {
    const Line line = renderAction(a);
    if (line.view().size() > 0) out_.write(Stream::Out, line.view());
    if (a.outcome == Outcome::Failed && showFailure) {
        out_.flush(Stream::Out);
        out_.write(Stream::Err, renderWriteFailure(a.status));
    }
    settled_(a);
}

void RepairWriter::settle(const Action& a) {
    if (queue_.empty() && !pair_.hasStaged()) {
        report(a, true);
        return;
    }
    queue_.push_back(Waiting{Stream::Out, actions_.size(), 0, true});
    actions_.push_back(a);
}

void RepairWriter::setEntry(Action a) {
    if (pair_.canStage(a.logical)) {
        pair_.stageEntry(a.logical, a.physical, a.type);
        a.outcome = Outcome::Waiting;
        queue_.push_back(Waiting{Stream::Out, actions_.size(), 0, true});
        actions_.push_back(a);
        return;
    }
    commit();
    const Status s = pair_.setEntry(a.logical, a.physical, a.type);
    a.outcome = outcomeOf(s);
    a.status = s;
    report(a, true);
}

void RepairWriter::commit() {
    const Status s = pair_.flushStaged();
    // One failed write carries every staged repair: its line is shown once.
    bool failureShown = false;
    for (const Waiting& w : queue_) {
        if (!w.isAction) {
            out_.write(w.stream, std::string_view(text_).substr(w.at, w.size));
            continue;
        }
        Action& a = actions_[w.at];
        if (a.outcome != Outcome::Waiting) {
            report(a, true);  // made on its own
            continue;
        }
        a.outcome = outcomeOf(s);
        if (!s) a.status = s;
        report(a, !failureShown);
        failureShown = failureShown || a.outcome == Outcome::Failed;
    }
    queue_.clear();
    text_.clear();
    actions_.clear();
}

}  // namespace tabulon
