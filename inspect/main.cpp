// tabulon-inspect: see inspect.h.
#include "inspect/inspect.h"

int main(int argc, char** argv) {
    StdioOutput out;
    return runInspect(argc, argv, out);
}
