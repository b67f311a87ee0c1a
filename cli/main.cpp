#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/run.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Every line is printed with its own line end ("\n" or "\r\n"); text mode
    // would turn each "\n" into "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    StdioOutput out;
    int status = runTabulon(argc, argv, out);
    std::fflush(stdout);
    return status;
}
