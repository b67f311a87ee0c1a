#include <cstdio>

#include "cli/run.h"

int main(int argc, char** argv) {
    int status = runTabulon(argc, argv);
    std::fflush(stdout);
    return status;
}
