#include <cstdio>

#include "cli/run.h"

int main(int argc, char** argv) {
    StdioOutput out;
    int status = runTabulon(argc, argv, out);
    std::fflush(stdout);
    return status;
}
