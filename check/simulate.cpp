#include "check/simulate.h"

namespace tabulon {

RunResult simulateRepair(OverlayPlatform& layer, const std::string& path,
                         const ScanOptions& options, EventSink& sink, VersionLedger* ledger,
                         const HeaderCache* headers) {
    return runCheck(path, options, RunEnvironment{layer, sink, "", ledger, headers});
}

}  // namespace tabulon
