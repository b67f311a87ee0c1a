#include "inspect/session.h"

namespace inspect {
int cmdMap(Context& cx, const std::string&, const std::string&) {
    return fail(cx.out, "map: not built yet");
}
}  // namespace inspect
