// The console renderer of the tabulon program: writes the engine's stream of
// values as the program's text, line by line as the values come, on the
// stream each line belongs to.
#pragma once

#include "check/event.h"
#include "fileio/output.h"

namespace tabulon {

class ConsoleRenderer : public EventSink {
  public:
    explicit ConsoleRenderer(Output& out) : out_(out) {}
    void notice(const Notice& n) override { out_.notice(n); }
    void finding(const Finding& f) override;
    void action(const Action& a) override;
    void report(const ReportEvent& r) override;
    bool wantsDetail() const override { return false; }
    Output& output() { return out_; }

  private:
    Output& out_;
};

// The report's lines for these counters.
void printReport(Output& out, const ScanCounters& c, int32_t fixMask);

}  // namespace tabulon
