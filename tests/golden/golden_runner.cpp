// Runs one golden case: builds the case's file set in a fresh directory, runs
// the tool on it, and compares standard output, standard error, the exit
// status and every byte the run changed with the case's expectation files.
//
//   golden_runner --tool <tabulon> --case <dir> [--realfiles <dir>]
//                 [--timeout <seconds>] [--keep | --discard]
//                 [--wrapper <program>]... [--windows]
//
// The case's temporary directory is removed after a pass and kept after a
// mismatch; --keep keeps it always, --discard never.
//
// With UPDATE_GOLDEN=1 in the environment the expectation files are written
// from what the run produced instead of being compared.
//
// --wrapper puts a program in front of the tool: `<wrapper>... <tool> args`
// is run instead of `<tool> args` (one word per --wrapper, in order), so that
// a Windows build can run under the Wine loader.
//
// --windows runs the same expectations against a Windows build:
//   - the case directory reaches the tool as a drive path, Z: followed by
//     the directory's absolute path with forward slashes (Wine's Z: drive is
//     the root of the file system); an absolute path that starts with '/'
//     would be an option letter to the Windows build. In the output that
//     form of the directory becomes @DIR, so the expectations stay the same;
//   - in "Failed to Open File <...>, Status Code N, <text>" and
//     "Failed (N), <text>" lines the system's text is masked on both sides,
//     and the expected (POSIX) code N is replaced by the Windows code for the
//     same condition (see kWindowsCodes); every other code must match as is;
//   - cases named in windows-skip.txt two folders above the case
//     (tests/golden/windows-skip.txt for tests/golden/cases/<case>), one
//     `<case> <reason>` per line, are skipped: they cannot hold on Windows.
//
// --joined runs the tool with standard output and standard error on one
// file (`> log 2>&1`) and checks that the file holds the lines of
// expect.stdout and expect.stderr interleaved, each line whole and each
// stream's lines in their order; the status and the file changes are
// checked as usual. Where a line's place among the other stream's lines
// matters (a failure line after the repair line it concerns), the case holds
// expect.joined (expect2.joined): the joined file must be exactly that.
// UPDATE_GOLDEN=1 with --joined rewrites only the .joined files a case has.
//
// Exit status: 0 pass, 1 mismatch, 2 usage or setup error, 77 skipped (a real
// file that is not available, or a case without expectations yet).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "builder/recipe.h"
#include "support/textdiff.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSkip = 77;

struct Options {
    std::string tool;
    fs::path caseDir;
    std::optional<fs::path> realfiles;
    int timeoutSeconds = 300;
    bool keep = false;
    bool discard = false;
    bool update = false;
    std::vector<std::string> wrapper;
    bool windows = false;
    bool joined = false;
};

std::optional<std::string> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
}

// One argument per line; a trailing line end does not make an empty argument.
std::vector<std::string> readArgs(const fs::path& p) {
    std::vector<std::string> args;
    auto text = readFile(p);
    if (!text) return args;
    std::size_t start = 0;
    while (start < text->size()) {
        std::size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        std::string line = text->substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        args.push_back(line);
        start = end + 1;
    }
    return args;
}

// ------------------------------------------------------------ running

struct RunResult {
    std::string out;
    std::string err;
    std::string status;  // "0\n", "-3\n", or "signal 11\n"
};

// How a run ended, as expect.status holds it: the exit status as a signed
// byte, as the tool returns it (-3, not 253), or how it was stopped.
std::string statusLine(bool timedOut, int status) {
    if (timedOut) return "timeout\n";
    if (WIFEXITED(status)) {
        return std::to_string(static_cast<int>(static_cast<signed char>(WEXITSTATUS(status)))) +
               "\n";
    }
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status)) + "\n";
    return "unknown\n";
}

// In the child of a run: enters the case's folder and becomes the tool (or
// its wrapper); never returns.
[[noreturn]] void execTool(const Options& opt, const std::vector<std::string>& args,
                           const fs::path& cwd) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    for (const auto& w : opt.wrapper) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(opt.tool.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // A wrapper without a slash is looked up in PATH, as a shell would.
    if (opt.wrapper.empty()) {
        execv(argv[0], argv.data());
    } else {
        execvp(argv[0], argv.data());
    }
    std::fprintf(stderr, "golden_runner: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

RunResult runTool(const Options& opt, const std::vector<std::string>& args, const fs::path& cwd) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        execTool(opt, args, cwd);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSeconds);
    bool timedOut = false;
    // The run is over when the tool has ended, even where a process that it
    // (or a wrapper) left behind still holds the pipes; what the tool wrote
    // is in the pipes by then and is read up to the last byte.
    bool ended = false;
    int status = 0;
    char buf[65536];
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (!ended) ended = waitpid(pid, &status, WNOHANG) == pid;
        int n = poll(fds, 2, ended ? 0 : static_cast<int>(std::min<long long>(left, 50)));
        if (n < 0 && errno != EINTR) break;
        if (n == 0 && ended) break;  // nothing left to read
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    if (!ended) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    r.status = statusLine(timedOut, status);
    return r;
}

// The tool with standard output and standard error on one file, as a shell's
// `> log 2>&1` makes them; the file's bytes come back in `out`.
RunResult runToolJoined(const Options& opt, const std::vector<std::string>& args,
                        const fs::path& cwd, const fs::path& logPath) {
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot make " + logPath.string());
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execTool(opt, args, cwd);
    }
    close(log);
    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSeconds);
    int status = 0;
    bool timedOut = false;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        poll(nullptr, 0, 20);
    }
    r.out = readFile(logPath).value_or("");
    fs::remove(logPath);
    r.status = statusLine(timedOut, status);
    return r;
}

// ------------------------------------------------------------ file changes

using textdiff::Snapshot;

Snapshot snapshot(const fs::path& dir) {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) s[e.path().filename().string()] = *readFile(e.path());
    }
    return s;
}

// ------------------------------------------------------------ reporting

void printDiff(const std::string& label, const std::string& expected, const std::string& actual) {
    std::cout << textdiff::unifiedDiff(label, expected, actual, "expected", "actual");
}

// ------------------------------------------------------------ joined streams

// The text cut after each line end; a last piece without one is a line too.
std::vector<std::string> linePieces(const std::string& s) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find('\n', start);
        end = end == std::string::npos ? s.size() : end + 1;
        pieces.push_back(s.substr(start, end - start));
        start = end;
    }
    return pieces;
}

// Whether `joined` is the lines of `out` and of `err` interleaved, each
// stream's lines whole and in their order. On a mismatch, prints the first
// line of `joined` that no interleaving explains.
bool checkInterleaving(const std::string& out, const std::string& err, const std::string& joined) {
    const auto a = linePieces(out), b = linePieces(err), j = linePieces(joined);
    // can[k]: the first i + k lines of `joined` are the first i lines of
    // `out` and the first k of `err` (row i of the table, one row kept).
    std::vector<char> can(b.size() + 1, 0), next(b.size() + 1, 0);
    std::size_t reached = 0;  // the most lines of `joined` any cell explains
    for (std::size_t i = 0; i <= a.size(); ++i) {
        for (std::size_t k = 0; k <= b.size(); ++k) {
            const std::size_t at = i + k;  // lines of `joined` explained
            bool ok = false;
            if (i == 0 && k == 0) {
                ok = true;
            } else if (at <= j.size()) {
                ok = (i > 0 && can[k] && a[i - 1] == j[at - 1]) ||
                     (k > 0 && next[k - 1] && b[k - 1] == j[at - 1]);
            }
            next[k] = ok;
            if (ok) reached = std::max(reached, at);
        }
        std::swap(can, next);
    }
    if (can[b.size()] && j.size() == a.size() + b.size()) return true;
    std::cout << "--- joined streams: not a line-wise interleaving of expect.stdout and "
                 "expect.stderr\n";
    if (reached < j.size()) {
        std::cout << "joined line " << reached + 1
                  << " fits neither stream: " << textdiff::visible(j[reached]) << "\n";
    } else {
        std::cout << "the joined output ends after line " << j.size() << " of "
                  << a.size() + b.size() << "\n";
    }
    return false;
}

// ------------------------------------------------------------ Windows

// The Windows code for the condition that a POSIX build reports with an errno
// value, for the conditions the tool can meet when it opens a file. A code
// not listed here must be the same on both.
struct CodePair {
    unsigned long posix;
    unsigned long windows;
};
constexpr CodePair kWindowsCodes[] = {
    {2, 2},    // ENOENT: ERROR_FILE_NOT_FOUND
    {13, 5},   // EACCES: ERROR_ACCESS_DENIED
    {16, 32},  // EBUSY, the POSIX build's sharing conflict: ERROR_SHARING_VIOLATION
    {21, 5},   // EISDIR: ERROR_ACCESS_DENIED (CreateFile on a folder)
    {95, 50},  // EOPNOTSUPP, no regular file: ERROR_NOT_SUPPORTED, no disk file
};

// The Z: drive form of an absolute POSIX path, with forward slashes.
std::string windowsPath(const fs::path& p) {
    return "Z:" + p.generic_string();
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Masks the system's error text in the lines that carry it, and on the
// expected side (the POSIX build's codes) turns the code into the Windows
// code for the same condition. The text stays as it is where it is empty or
// the system had none ("Unknown error"), so that such a line still differs.
std::string maskSystemErrors(const std::string& text, bool posixSide) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;

        // Where the code starts, for each of the two shapes.
        std::size_t codeAt = std::string::npos;
        const std::string openShape = "Failed to Open File <";
        const std::string statusShape = ">, Status Code ";
        if (std::size_t o = line.find(openShape); o != std::string::npos) {
            if (std::size_t s = line.find(statusShape, o + openShape.size());
                s != std::string::npos) {
                codeAt = s + statusShape.size();
            }
        }
        if (codeAt == std::string::npos) {
            if (std::size_t f = line.find("Failed ("); f != std::string::npos) codeAt = f + 8;
        }
        if (codeAt == std::string::npos) {
            out += line;
            continue;
        }
        std::size_t codeEnd = codeAt;
        while (codeEnd < line.size() && isDigit(line[codeEnd])) ++codeEnd;
        const bool parenthesised = line.compare(codeAt - 1, 1, "(") == 0;
        const std::string after = parenthesised ? "), " : ", ";
        if (codeEnd == codeAt || codeEnd - codeAt > 9 ||
            line.compare(codeEnd, after.size(), after) != 0) {
            out += line;
            continue;
        }
        unsigned long code = std::stoul(line.substr(codeAt, codeEnd - codeAt));
        if (posixSide) {
            for (const CodePair& c : kWindowsCodes) {
                if (c.posix == code) {
                    code = c.windows;
                    break;
                }
            }
        }
        std::size_t textAt = codeEnd + after.size();
        std::size_t textEnd = line.size();
        if (textEnd > textAt && line[textEnd - 1] == '\n') --textEnd;
        if (textEnd > textAt && line[textEnd - 1] == '\r') --textEnd;
        std::string systemText = line.substr(textAt, textEnd - textAt);
        if (!systemText.empty() && systemText.rfind("Unknown error", 0) != 0) {
            systemText = "<system text>";
        }
        out += line.substr(0, codeAt) + std::to_string(code) + after + systemText +
               line.substr(textEnd);
    }
    return out;
}

// The reason a case is skipped on Windows, from the skip list two folders
// above the case: `<case> <reason>` per line, '#' starts a comment line.
// Sets *bad when the case is listed without a reason.
std::optional<std::string> windowsSkipReason(const fs::path& caseDir, bool* bad) {
    const fs::path list = caseDir.parent_path().parent_path() / "windows-skip.txt";
    auto text = readFile(list);
    if (!text) return std::nullopt;
    const std::string name = caseDir.filename().string();
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::size_t nameEnd = line.find_first_of(" \t", first);
        if (line.substr(first, nameEnd == std::string::npos ? nameEnd : nameEnd - first) != name) {
            continue;
        }
        std::size_t reason =
            nameEnd == std::string::npos ? nameEnd : line.find_first_not_of(" \t", nameEnd);
        if (reason == std::string::npos) {
            *bad = true;
            return std::string();
        }
        return line.substr(reason);
    }
    return std::nullopt;
}

// ------------------------------------------------------------ one case

// How long a run took differs from run to run: "duration=0.012s" (the
// survey's log line) is compared as "duration=@DURATION".
void maskDurations(std::string& text) {
    static const std::regex duration("duration=[0-9]+(\\.[0-9]+)?s");
    text = std::regex_replace(text, duration, "duration=@DURATION");
}

struct Outcome {
    std::string stdoutText, stderrText, status, diff;
};

bool compare(const fs::path& caseDir, const std::string& file, std::string actual,
             bool optionalEmpty, bool windowsMasks = false) {
    auto expected = readFile(caseDir / file);
    if (expected && windowsMasks) {
        *expected = maskSystemErrors(*expected, true);
        actual = maskSystemErrors(actual, false);
    }
    if (!expected) {
        if (optionalEmpty && actual.empty()) return true;
        std::cout << "missing " << file << "; actual:\n";
        printDiff(file, "", actual);
        return false;
    }
    if (*expected == actual) return true;
    printDiff(file, *expected, actual);
    return false;
}

bool hasAny(const fs::path& dir, const char* prefix) {
    for (const char* suffix : {".stdout", ".stderr", ".status", ".diff"}) {
        if (fs::exists(dir / (std::string(prefix) + suffix))) return true;
    }
    return false;
}

Outcome runOnce(const Options& opt, const std::vector<std::string>& rawArgs, const fs::path& dir,
                const std::string& mainName) {
    std::vector<std::string> args;
    // The directory as the tool is to see it.
    const std::string dirArg = opt.windows ? windowsPath(dir) : dir.string();
    for (std::string a : rawArgs) {
        replaceAll(a, "@FILE", dirArg + "/" + mainName);
        replaceAll(a, "@NAME", mainName);
        replaceAll(a, "@DIR", dirArg);
        args.push_back(a);
    }
    Snapshot before = snapshot(dir);
    RunResult r = opt.joined ? runToolJoined(opt, args, dir, dir.string() + ".joined")
                             : runTool(opt, args, dir);
    Snapshot after = snapshot(dir);
    for (std::string* text : {&r.out, &r.err}) {
        replaceAll(*text, dirArg, "@DIR");
        replaceAll(*text, dir.string(), "@DIR");
        maskDurations(*text);
    }
    return Outcome{r.out, r.err, r.status, textdiff::listChanges(before, after)};
}

bool check(const Options& opt, const std::string& prefix, const Outcome& o) {
    const fs::path& c = opt.caseDir;
    if (opt.joined && opt.update) {
        // The separate run records the rest.
        if (fs::exists(c / (prefix + ".joined"))) writeFile(c / (prefix + ".joined"), o.stdoutText);
        return true;
    }
    if (opt.joined) {
        // Both streams in one file: the expected lines of each, interleaved,
        // and exactly the transcript where the case pins one.
        if (fs::exists(c / (prefix + ".joined"))) {
            if (!compare(c, prefix + ".joined", o.stdoutText, false)) return false;
        }
        bool ok = checkInterleaving(readFile(c / (prefix + ".stdout")).value_or(""),
                                    readFile(c / (prefix + ".stderr")).value_or(""), o.stdoutText);
        ok &= compare(c, prefix + ".status", o.status, false);
        ok &= compare(c, prefix + ".diff", o.diff, true);
        return ok;
    }
    if (opt.update) {
        writeFile(c / (prefix + ".stdout"), o.stdoutText);
        writeFile(c / (prefix + ".stderr"), o.stderrText);
        writeFile(c / (prefix + ".status"), o.status);
        if (!o.diff.empty() || fs::exists(c / (prefix + ".diff"))) {
            writeFile(c / (prefix + ".diff"), o.diff);
        }
        std::cout << "updated " << prefix << ".* in " << c.string() << "\n";
        return true;
    }
    bool ok = true;
    ok &= compare(c, prefix + ".stdout", o.stdoutText, false, opt.windows);
    ok &= compare(c, prefix + ".stderr", o.stderrText, false, opt.windows);
    ok &= compare(c, prefix + ".status", o.status, false);
    // A case without a diff file expects the run to change nothing.
    ok &= compare(c, prefix + ".diff", o.diff, true);
    return ok;
}

// A case that copies a real file names it, relative to the real-file root,
// in a file `realfile` or in a `realfile <path>` line of its recipe.
std::optional<std::string> realFileReference(const fs::path& caseDir) {
    for (const char* source : {"realfile", "recipe"}) {
        auto text = readFile(caseDir / source);
        if (!text) continue;
        std::istringstream lines(*text);
        std::string line;
        while (std::getline(lines, line)) {
            if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
            std::istringstream words(line);
            std::string first, second;
            words >> first >> second;
            if (first == "realfile" && !second.empty()) return second;
            if (std::string(source) == "realfile" && !first.empty()) return first;
        }
    }
    return std::nullopt;
}

int runCase(const Options& opt) {
    const fs::path& c = opt.caseDir;
    if (!fs::is_directory(c)) {
        std::cerr << "golden_runner: no case directory " << c.string() << "\n";
        return 2;
    }
    if (opt.windows) {
        bool bad = false;
        auto reason = windowsSkipReason(c, &bad);
        if (bad) {
            std::cerr << "golden_runner: " << c.filename().string()
                      << " is in windows-skip.txt without a reason\n";
            return 2;
        }
        if (reason) {
            std::cout << "skipped on Windows: " << *reason << "\n";
            return kSkip;
        }
    }
    if (!opt.update && !hasAny(c, "expect")) {
        std::cout << "no expectations recorded yet; run with UPDATE_GOLDEN=1 to record them\n";
        return kSkip;
    }

    std::string tmpl = (fs::temp_directory_path() / "tabulon-golden-XXXXXX").string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        std::cerr << "golden_runner: cannot make a temporary directory\n";
        return 2;
    }
    const fs::path dir = fs::absolute(name.data());
    std::string mainName = "TEST.DAT";

    auto recipe = readFile(c / "recipe");
    auto rel = realFileReference(c);
    if (recipe && !rel) {
        try {
            tbuild::BuiltRecipe built = tbuild::interpretRecipe(*recipe);
            if (built.mainName) mainName = *built.mainName;
            tbuild::writeFileSet(built.file, (dir / mainName).string(), built.plan);
        } catch (const std::exception& e) {
            std::cerr << "golden_runner: " << (c / "recipe").string() << ": " << e.what() << "\n";
            fs::remove_all(dir);
            return 2;
        }
    } else if (rel) {
        std::optional<fs::path> root = opt.realfiles;
        if (!root) {
            if (const char* env = std::getenv("TABULON_REALFILES")) root = env;
        }
        if (!root || !fs::is_regular_file(*root / *rel)) {
            std::cout << "real file " << *rel << " is not available; skipped\n";
            fs::remove_all(dir);
            return kSkip;
        }
        mainName = fs::path(*rel).filename().string();
        fs::copy_file(*root / *rel, dir / mainName);
        fs::permissions(dir / mainName, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::add);
    }

    // fifos: names (one per line) that become FIFOs in the case's directory,
    // in place of a file the recipe wrote or beside the set.
    for (const std::string& fifo : readArgs(c / "fifos")) {
        if (fifo.empty()) continue;
        fs::remove(dir / fifo);
        if (mkfifo((dir / fifo).c_str(), 0644) != 0) {
            std::cerr << "golden_runner: cannot make the FIFO " << fifo << "\n";
            fs::remove_all(dir);
            return 2;
        }
    }

    bool ok = check(opt, "expect", runOnce(opt, readArgs(c / "args"), dir, mainName));
    bool second = fs::exists(c / "args2") || hasAny(c, "expect2");
    if (second) {
        fs::path args2 = fs::exists(c / "args2") ? c / "args2" : c / "args";
        ok &= check(opt, "expect2", runOnce(opt, readArgs(args2), dir, mainName));
    }

    if ((ok && !opt.keep) || opt.discard) {
        fs::remove_all(dir);
    } else {
        std::cout << "files kept in " << dir.string() << "\n";
    }
    return ok ? 0 : 1;
}

int usage() {
    std::cerr << "usage: golden_runner --tool <program> --case <dir> [--realfiles <dir>]"
                 " [--timeout <seconds>] [--keep | --discard] [--wrapper <program>]... [--windows]"
                 " [--joined]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (a == "--tool") {
            auto v = value();
            if (!v) return usage();
            opt.tool = *v;
        } else if (a == "--case") {
            auto v = value();
            if (!v) return usage();
            opt.caseDir = *v;
        } else if (a == "--realfiles") {
            auto v = value();
            if (!v) return usage();
            if (!v->empty()) opt.realfiles = fs::path(*v);
        } else if (a == "--timeout") {
            auto v = value();
            if (!v) return usage();
            opt.timeoutSeconds = std::atoi(v->c_str());
        } else if (a == "--keep") {
            opt.keep = true;
        } else if (a == "--discard") {
            opt.discard = true;
        } else if (a == "--wrapper") {
            auto v = value();
            if (!v || v->empty()) return usage();
            opt.wrapper.push_back(*v);
        } else if (a == "--windows") {
            opt.windows = true;
        } else if (a == "--joined") {
            opt.joined = true;
        } else {
            return usage();
        }
    }
    if (opt.tool.empty() || opt.caseDir.empty()) return usage();
    const char* update = std::getenv("UPDATE_GOLDEN");
    opt.update = update != nullptr && std::string(update) == "1";
    if (opt.joined && opt.windows) {
        std::cout << "the joined check does not run with --windows\n";
        return kSkip;
    }
    if (opt.update && opt.windows) {
        // The expectations are the POSIX build's; a Windows run only checks them.
        std::cerr << "golden_runner: UPDATE_GOLDEN=1 does not go with --windows\n";
        return 2;
    }
    try {
        // The tool runs in the case's directory: its path (and a wrapper's
        // path, where it has a slash) must not depend on where we are.
        opt.tool = fs::absolute(opt.tool).string();
        if (!opt.wrapper.empty() && opt.wrapper[0].find('/') != std::string::npos) {
            opt.wrapper[0] = fs::absolute(opt.wrapper[0]).string();
        }
        // A case is named by its folder, with or without a trailing slash.
        opt.caseDir = fs::absolute(opt.caseDir).lexically_normal();
        if (opt.caseDir.filename().empty()) opt.caseDir = opt.caseDir.parent_path();
    } catch (const std::exception& e) {
        std::cerr << "golden_runner: " << e.what() << "\n";
        return 2;
    }
    try {
        return runCase(opt);
    } catch (const std::exception& e) {
        std::cerr << "golden_runner: " << e.what() << "\n";
        return 2;
    }
}
