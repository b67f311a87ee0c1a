// tabulon-inspect: see inspect.h.
#include <cstdio>

#include "inspect/inspect.h"

using namespace tabulon;

int main(int argc, char** argv) {
    StdioOutput out;
    int status = runInspect(argc, argv, out);
    std::fflush(stdout);
    return status;
}
