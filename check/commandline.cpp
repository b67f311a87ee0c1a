#include "check/commandline.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tabulon {

int32_t optionValue(const char* text) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return int32_t(v);
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    int n = argc - 1;
    if (n < 1 || n > 5) {
        cl.showUsage = true;
        return cl;
    }
    const char* first = argv[1];
    if (first[0] == '?' || (first[0] != '\0' && first[1] == '?')) {
        cl.showUsage = true;
        return cl;
    }

    ScanOptions& o = cl.options;
    for (int i = n; i >= 1; --i) {
        const char* arg = argv[i];
        bool isOption = arg[0] == '-' || arg[0] == '/';
#ifndef _WIN32
        // An absolute POSIX path starts with '/': as the first argument it is
        // the path only, never an option.
        if (i == 1 && arg[0] == '/') isOption = false;
#endif
        if (!isOption) continue;
        switch (std::toupper(static_cast<unsigned char>(arg[1]))) {
            case 'D': o.verbose = 1; break;
            case 'R': o.progress = 0; break;
            case 'O': o.showOffsets = 1; break;
            case 'U': o.unprotected = 1; break;
            case 'Z': o.checkZeroPointers = 1; break;
            case 'F':
                o.fixMask = optionValue(arg + 2);
                cl.fixMaskGiven = true;
                cl.notices.emplace_back("I sure hope you had a backup....\n");
                break;
            case 'S': {
                int32_t v = optionValue(arg + 2);
                o.startPair = uint32_t(v);
                char line[64];
                std::snprintf(line, sizeof line, "Starting at PAT Pair %d....\n", int(v));
                cl.notices.emplace_back(line);
                break;
            }
            default: break;
        }
    }
    cl.path = first;
    return cl;
}

CommandLine parseCommandWords(const std::vector<std::string>& words) {
    std::vector<const char*> argv = {"tabulon"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    return parseCommandLine(int(argv.size()), argv.data());
}

}  // namespace tabulon
