// tabulon-inspect: see inspect.h.
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "inspect/inspect.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // The same bytes on every system: each line ends with "\n" as written;
    // text mode would make it "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    StdioOutput out;
    int status = runInspect(argc, argv, out);
    std::fflush(stdout);
    return status;
}
