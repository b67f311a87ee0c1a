// A stand-in for the tool, driven by its arguments, for testing the golden
// runner itself:
//   out TEXT     print TEXT and "\n" on standard output
//   err TEXT     print TEXT and "\r\n" on standard error
//   poke PATH OFFSET BYTE   overwrite one byte of a file
//   exit N       end with status N (after the other commands)
//   cut N TEXT   print the first N characters of TEXT and "\n" on standard output
//   part TEXT    print TEXT without a line end on standard output, and flush it
//   skip         pass over the next argument (the tool's path, when the stub
//                stands in for a wrapper too)
//   linger N     leave a process behind that holds standard output and error
//                open for N seconds after the stub has ended
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "out") == 0 && i + 1 < argc) {
            std::printf("%s\n", argv[++i]);
        } else if (std::strcmp(argv[i], "err") == 0 && i + 1 < argc) {
            std::fprintf(stderr, "%s\r\n", argv[++i]);
        } else if (std::strcmp(argv[i], "poke") == 0 && i + 3 < argc) {
            std::FILE* f = std::fopen(argv[i + 1], "r+b");
            if (f == nullptr) return 2;
            std::fseek(f, std::strtol(argv[i + 2], nullptr, 0), SEEK_SET);
            std::fputc(static_cast<int>(std::strtol(argv[i + 3], nullptr, 0)), f);
            std::fclose(f);
            i += 3;
        } else if (std::strcmp(argv[i], "exit") == 0 && i + 1 < argc) {
            status = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "cut") == 0 && i + 2 < argc) {
            std::printf("%.*s\n", std::atoi(argv[i + 1]), argv[i + 2]);
            i += 2;
        } else if (std::strcmp(argv[i], "part") == 0 && i + 1 < argc) {
            std::printf("%s", argv[++i]);
            std::fflush(stdout);
        } else if (std::strcmp(argv[i], "skip") == 0 && i + 1 < argc) {
            ++i;
        } else if (std::strcmp(argv[i], "linger") == 0 && i + 1 < argc) {
            unsigned seconds = unsigned(std::atoi(argv[++i]));
            std::fflush(nullptr);
            if (fork() == 0) {
                sleep(seconds);
                _exit(0);
            }
        } else {
            return 99;
        }
    }
    return status;
}
