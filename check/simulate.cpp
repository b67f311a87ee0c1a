#include "check/simulate.h"

namespace tabulon {

RunResult simulateRepair(OverlayPlatform& layer, const std::string& path,
                         const ScanOptions& options, EventSink& sink) {
    return runCheck(path, options, RunEnvironment{layer, sink, ""});
}

}  // namespace tabulon
