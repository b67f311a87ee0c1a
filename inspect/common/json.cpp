#include "inspect/common/json.h"

#include "inspect/common/names.h"

namespace inspect {

namespace {

void dumpInto(std::string& out, const Json& j, int indent, int level) {
    const auto pad = [&](int l) { out.append(size_t(indent * l), ' '); };
    if (j.is_string()) {
        out += jsonString(j.get_ref<const std::string&>());
    } else if (j.is_object() && !j.empty()) {
        out += "{\n";
        size_t k = 0;
        for (const auto& [key, value] : j.items()) {
            pad(level + 1);
            out += jsonString(key) + ": ";
            dumpInto(out, value, indent, level + 1);
            out += ++k < j.size() ? ",\n" : "\n";
        }
        pad(level);
        out += "}";
    } else if (j.is_array() && !j.empty()) {
        out += "[\n";
        size_t k = 0;
        for (const Json& value : j) {
            pad(level + 1);
            dumpInto(out, value, indent, level + 1);
            out += ++k < j.size() ? ",\n" : "\n";
        }
        pad(level);
        out += "]";
    } else {
        out += j.dump();
    }
}

}  // namespace

std::string dumpJson(const Json& j, int indent) {
    std::string out;
    dumpInto(out, j, indent, 0);
    return out;
}

}  // namespace inspect
