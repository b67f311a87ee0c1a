#include "fileio/entry.h"
#include "undo/undo.h"

namespace {

int run(int argc, const char* const* argv, tabulon::Output& out) {
    return runUndo(argc, argv, out, tabulon::systemPlatform());
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return tabulon::runProgram(argc, argv, run);
}
#else
int main(int argc, char** argv) {
    return tabulon::runProgram(argc, argv, run);
}
#endif
