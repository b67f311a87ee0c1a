#include <cstdio>

#include "undo/undo.h"

using namespace tabulon;

int main(int argc, char** argv) {
    StdioOutput out;
    int status = runUndo(argc, argv, out);
    std::fflush(stdout);
    return status;
}
