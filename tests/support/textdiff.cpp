#include "support/textdiff.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>

namespace textdiff {

std::string visible(const std::string& line) {
    std::string out;
    char hex[8];
    for (unsigned char c : line) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
}

namespace {

// Lines with their ends; a last piece without one says so.
std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find('\n', start);
        if (end == std::string::npos) {
            v.push_back(visible(s.substr(start)) + "  (no line end)");
            break;
        }
        v.push_back(visible(s.substr(start, end - start)));
        start = end + 1;
    }
    return v;
}

struct Edit {
    char op;  // ' ', '-' or '+'
    std::string line;
};

// The edit script from a to b: common head and tail as they are, the middle
// by a longest common subsequence (or all removed and added when it is too
// large to tabulate).
std::vector<Edit> editScript(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::size_t head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    while (tail + head < a.size() && tail + head < b.size() &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
        ++tail;
    }
    const std::size_t n = a.size() - head - tail, m = b.size() - head - tail;
    std::vector<Edit> script;
    for (std::size_t i = 0; i < head; ++i) script.push_back({' ', a[i]});
    const bool table = n * m <= 4000000;
    std::vector<std::uint32_t> lcs(table ? (n + 1) * (m + 1) : 0, 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return lcs[i * (m + 1) + j]; };
    for (std::size_t i = n; table && i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            at(i, j) = a[head + i] == b[head + j] ? at(i + 1, j + 1) + 1
                                                  : std::max(at(i + 1, j), at(i, j + 1));
        }
    }
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (table && i < n && j < m && a[head + i] == b[head + j]) {
            script.push_back({' ', a[head + i++]});
            ++j;
        } else if (i < n && (j == m || !table || at(i + 1, j) >= at(i, j + 1))) {
            script.push_back({'-', a[head + i++]});
        } else {
            script.push_back({'+', b[head + j++]});
        }
    }
    for (std::size_t k = a.size() - tail; k < a.size(); ++k) script.push_back({' ', a[k]});
    return script;
}

}  // namespace

std::string unifiedDiff(const std::string& label, const std::string& before,
                        const std::string& after, const char* beforeName, const char* afterName) {
    if (before == after) return "";
    const std::vector<Edit> script = editScript(lines(before), lines(after));
    std::ostringstream out;
    out << "--- " << label << " (" << beforeName << ")\n+++ " << label << " (" << afterName
        << ")\n";
    const std::size_t context = 3;
    std::vector<std::size_t> changed;
    for (std::size_t x = 0; x < script.size(); ++x) {
        if (script[x].op != ' ') changed.push_back(x);
    }
    for (std::size_t g = 0; g < changed.size();) {
        // One hunk: the changes less than twice the context apart, with the
        // context before the first and after the last.
        std::size_t last = g;
        while (last + 1 < changed.size() && changed[last + 1] - changed[last] - 1 <= 2 * context) {
            ++last;
        }
        const std::size_t from = changed[g] > context ? changed[g] - context : 0;
        const std::size_t to = std::min(script.size(), changed[last] + 1 + context);
        std::size_t aLine = 1, bLine = 1, aCount = 0, bCount = 0;
        for (std::size_t x = 0; x < to; ++x) {
            const bool inA = script[x].op != '+', inB = script[x].op != '-';
            (x < from ? aLine : aCount) += inA;
            (x < from ? bLine : bCount) += inB;
        }
        out << "@@ -" << aLine << "," << aCount << " +" << bLine << "," << bCount << " @@\n";
        for (std::size_t x = from; x < to; ++x) out << script[x].op << script[x].line << "\n";
        g = last + 1;
    }
    return out.str();
}

std::string listChanges(const Snapshot& before, const Snapshot& after) {
    std::ostringstream out;
    char line[512];
    std::map<std::string, int> names;
    for (const auto& entry : before) names[entry.first] |= 1;
    for (const auto& entry : after) names[entry.first] |= 2;
    for (const auto& [name, where] : names) {
        if (where != 3) {
            out << name
                << (where == 1 ? " removed\n"
                               : " created " + std::to_string(after.at(name).size()) + "\n");
            continue;
        }
        const std::string& a = before.at(name);
        const std::string& b = after.at(name);
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            if (a[i] == b[i]) continue;
            std::snprintf(line, sizeof line, "%s %010llx %02x %02x\n", name.c_str(),
                          static_cast<unsigned long long>(i), static_cast<unsigned char>(a[i]),
                          static_cast<unsigned char>(b[i]));
            out << line;
        }
        if (a.size() != b.size()) out << name << " size " << a.size() << " -> " << b.size() << "\n";
    }
    return out.str();
}

}  // namespace textdiff
