#include "check/simulate.h"

#include <utility>

namespace tabulon {

Simulation simulateRepair(Platform& base, const std::string& path, const ScanOptions& options,
                          bool shared) {
    OverlayPlatform layer(base, shared ? Unprotected : ExclusiveRead);
    return simulateRepair(layer, path, options);
}

Simulation simulateRepair(OverlayPlatform& layer, const std::string& path,
                          const ScanOptions& options) {
    EventLog log;
    Simulation sim = simulateRepair(layer, path, options, log);
    sim.log = std::move(log);
    return sim;
}

Simulation simulateRepair(OverlayPlatform& layer, const std::string& path,
                          const ScanOptions& options, EventSink& sink) {
    Simulation sim;
    sim.result = runCheck(path, options, RunEnvironment{layer, sink, ""});
    sim.writes = layer.writes();
    return sim;
}

void replay(const std::vector<Event>& events, EventSink& sink) {
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

}  // namespace tabulon
