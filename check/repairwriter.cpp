#include "check/repairwriter.h"

namespace tabulon {

Outcome outcomeOf(const Status& s) {
    if (s.ok()) return Outcome::Written;
    return s.failure == Failure::Write ? Outcome::Failed : Outcome::NotAttempted;
}

RepairWriter::RepairWriter(PatPair& pair, ScanCounters& counters, std::vector<Status>& failures)
    : pair_(pair), counters_(counters), failures_(failures) {}

void RepairWriter::finding(const Finding& f) {
    if (!waiting()) {
        sink_->finding(f);
        return;
    }
    queue_.push_back(Waiting{Held::Finding, uint32_t(findings_.size())});
    findings_.push_back(f);
}

void RepairWriter::notice(NoticeKind kind, Stream stream, std::string_view text, uint64_t value) {
    if (!waiting()) {
        sink_->emit(kind, stream, text, value);
        return;
    }
    queue_.push_back(Waiting{Held::Notice, uint32_t(notices_.size())});
    notices_.push_back(HeldNotice{kind, stream, value, text_.size(), text.size()});
    text_.append(text);
}

void RepairWriter::report(const Action& a, bool showFailure) {
    if (a.outcome == Outcome::Failed) failures_.push_back(a.status);
    countSettled(counters_, a);
    if (ledger_) ledger_->noteAction(a);
    sink_->action(a);
    if (a.outcome == Outcome::Failed && showFailure) {
        sink_->emit(NoticeKind::WriteFailure, Stream::Err, renderWriteFailure(a.status), a.logical,
                    Notice::flushOutBefore);
    }
}

void RepairWriter::settle(const Action& a) {
    if (!waiting()) {
        report(a, true);
        return;
    }
    queue_.push_back(Waiting{Held::Action, uint32_t(actions_.size())});
    actions_.push_back(a);
}

void RepairWriter::setEntry(Action a) {
    if (pair_.canStage(a.logical)) {
        pair_.stageEntry(a.logical, a.physical, a.type);
        a.outcome = Outcome::Waiting;
        queue_.push_back(Waiting{Held::Action, uint32_t(actions_.size())});
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
    if (queue_.empty() && !pair_.hasStaged()) return;
    const Status s = pair_.flushStaged();
    // One failed write carries every staged repair: its line is shown once.
    bool failureShown = false;
    for (const Waiting& w : queue_) {
        if (w.held == Held::Finding) {
            sink_->finding(findings_[w.at]);
            continue;
        }
        if (w.held == Held::Notice) {
            const HeldNotice& n = notices_[w.at];
            sink_->emit(n.kind, n.stream, std::string_view(text_).substr(n.at, n.size), n.value);
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
    findings_.clear();
    notices_.clear();
    text_.clear();
    actions_.clear();
}

void countSettled(ScanCounters& c, const Action& a) {
    if (a.outcome != Outcome::Written) return;
    switch (a.kind) {
        case ActionKind::PatHeader:
            c.patHeadersFixed += a.fields;
            c.totalFixed += a.fields;
            return;
        case ActionKind::PageId:
        case ActionKind::FreeSpace: ++c.totalFixed; return;
        case ActionKind::BestPage:
            ++c.totalFixed;
            if (a.type == pagetype::data) {
                ++c.dataPointersFixed;
            } else if (isIndexType(a.type)) {
                ++c.indexPointersFixed;
            } else if (a.type == pagetype::variable) {
                ++c.variablePointersFixed;
            }
            return;
        case ActionKind::ResetToFree:
            ++c.totalFixed;
            ++c.pagesResetToFree;
            return;
    }
}

}  // namespace tabulon
