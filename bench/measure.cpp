// Runs a command and reports its wall-clock time, peak resident set size and
// processor time:
//
//   measure RESULT_FILE COMMAND [ARGS...]
//
// appends one line "SECONDS MAX_RSS_KB EXIT_STATUS CPU_SECONDS MAJOR_FAULTS"
// to RESULT_FILE, CPU_SECONDS being user plus system time; major faults show
// a page cache that was not warm after all. The
// command keeps measure's standard streams, so the caller redirects them.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: measure RESULT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* out = std::fopen(argv[1], "a");
    if (!out) {
        std::perror(argv[1]);
        return 2;
    }
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::fprintf(out, "%.6f %ld %d %.6f %ld\n", seconds, long(usage.ru_maxrss), code, cpu,
                 long(usage.ru_majflt));
    std::fclose(out);
    return 0;
}
