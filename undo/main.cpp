#include <cstdio>

#include "fileio/platform.h"
#include "undo/undo.h"

using namespace tabulon;

namespace {

int run(int argc, const char* const* argv) {
    StdioOutput out;
    int status = runUndo(argc, argv, out);
    std::fflush(stdout);
    return status;
}

}  // namespace

#ifdef _WIN32
// The arguments as the system holds them, in UTF-16 (the program is linked
// with -municode), read in UTF-8 like every name inside the program.
int wmain(int argc, wchar_t** argv) {
    const Utf8Arguments args(argc, argv);
    return run(argc, args.argv.data());
}
#else
int main(int argc, char** argv) {
    return run(argc, argv);
}
#endif
