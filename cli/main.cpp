#include <cstdio>

#include "cli/run.h"

using namespace tabulon;

int main(int argc, char** argv) {
    StdioOutput out;
    int status = runTabulon(argc, argv, out);
    std::fflush(stdout);
    return status;
}
