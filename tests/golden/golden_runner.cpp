// Runs one golden case: builds the case's file set in a fresh directory, runs
// the tool on it, and compares standard output, standard error, the exit
// status and every byte the run changed with the case's expectation files.
//
//   golden_runner --tool <tabulon> --case <dir> [--realfiles <dir>]
//                 [--timeout <seconds>] [--keep]
//
// With UPDATE_GOLDEN=1 in the environment the expectation files are written
// from what the run produced instead of being compared.
//
// Exit status: 0 pass, 1 mismatch, 2 usage or setup error, 77 skipped (a real
// file that is not available, or a case without expectations yet).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include <sstream>
#include <string>
#include <vector>

#include "builder/recipe.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSkip = 77;

struct Options {
    std::string tool;
    fs::path caseDir;
    std::optional<fs::path> realfiles;
    int timeoutSeconds = 300;
    bool keep = false;
    bool update = false;
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
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(opt.tool.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(opt.tool.c_str(), argv.data());
        std::fprintf(stderr, "golden_runner: cannot run %s: %s\n", opt.tool.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSeconds);
    bool timedOut = false;
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
        int n = poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) break;
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
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        r.status = "timeout\n";
    } else if (WIFEXITED(status)) {
        // The exit status as a signed byte, as the tool returns it (-3, not 253).
        r.status =
            std::to_string(static_cast<int>(static_cast<signed char>(WEXITSTATUS(status)))) + "\n";
    } else if (WIFSIGNALED(status)) {
        r.status = "signal " + std::to_string(WTERMSIG(status)) + "\n";
    } else {
        r.status = "unknown\n";
    }
    return r;
}

// ------------------------------------------------------------ file changes

using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& dir) {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) s[e.path().filename().string()] = *readFile(e.path());
    }
    return s;
}

// Every changed byte as "<member> <offset> <old> <new>", offsets in hex;
// files that appear, disappear or change size get a line of their own.
std::string listChanges(const Snapshot& before, const Snapshot& after) {
    std::ostringstream out;
    char line[512];
    std::map<std::string, int> names;
    for (const auto& [n, _] : before) names[n] |= 1;
    for (const auto& [n, _] : after) names[n] |= 2;
    for (const auto& [name, where] : names) {
        if (where == 1) {
            out << name << " removed\n";
            continue;
        }
        if (where == 2) {
            out << name << " created " << after.at(name).size() << "\n";
            continue;
        }
        const std::string& a = before.at(name);
        const std::string& b = after.at(name);
        std::size_t common = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < common; ++i) {
            if (a[i] == b[i]) continue;
            std::snprintf(line, sizeof line, "%s %010llx %02x %02x\n", name.c_str(),
                          static_cast<unsigned long long>(i), static_cast<unsigned char>(a[i]),
                          static_cast<unsigned char>(b[i]));
            out << line;
        }
        if (a.size() != b.size()) out << name << " size " << a.size() << " -> " << b.size() << "\n";
    }
    return out.str();
}

// ------------------------------------------------------------ reporting

std::string visible(const std::string& line) {
    std::string out;
    char hex[8];
    for (unsigned char c : line) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(s.substr(start) + "  (no line end)");
            break;
        }
        lines.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A line diff (longest common subsequence) of expected against actual.
void printDiff(const std::string& label, const std::string& expected, const std::string& actual) {
    std::cout << "--- " << label << " (expected)\n+++ " << label << " (actual)\n";
    auto a = splitLines(expected);
    auto b = splitLines(actual);
    if (a.size() * b.size() > 4000000) {
        std::size_t i = 0;
        while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
        std::cout << "first difference at line " << i + 1 << "\n";
        if (i < a.size()) std::cout << "-" << visible(a[i]) << "\n";
        if (i < b.size()) std::cout << "+" << visible(b[i]) << "\n";
        return;
    }
    std::vector<std::vector<std::uint32_t>> lcs(a.size() + 1,
                                                std::vector<std::uint32_t>(b.size() + 1, 0));
    for (std::size_t i = a.size(); i-- > 0;) {
        for (std::size_t j = b.size(); j-- > 0;) {
            lcs[i][j] =
                a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
    }
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            std::cout << " " << visible(a[i]) << "\n";
            ++i;
            ++j;
        } else if (i < a.size() && (j == b.size() || lcs[i + 1][j] >= lcs[i][j + 1])) {
            std::cout << "-" << visible(a[i++]) << "\n";
        } else {
            std::cout << "+" << visible(b[j++]) << "\n";
        }
    }
}

// ------------------------------------------------------------ one case

struct Outcome {
    std::string stdoutText, stderrText, status, diff;
};

bool compare(const fs::path& caseDir, const std::string& file, const std::string& actual,
             bool optionalEmpty) {
    auto expected = readFile(caseDir / file);
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
    const std::string main = (dir / mainName).string();
    for (std::string a : rawArgs) {
        replaceAll(a, "@FILE", main);
        replaceAll(a, "@NAME", mainName);
        replaceAll(a, "@DIR", dir.string());
        args.push_back(a);
    }
    Snapshot before = snapshot(dir);
    RunResult r = runTool(opt, args, dir);
    Snapshot after = snapshot(dir);
    replaceAll(r.out, dir.string(), "@DIR");
    replaceAll(r.err, dir.string(), "@DIR");
    return Outcome{r.out, r.err, r.status, listChanges(before, after)};
}

bool check(const Options& opt, const std::string& prefix, const Outcome& o) {
    const fs::path& c = opt.caseDir;
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
    ok &= compare(c, prefix + ".stdout", o.stdoutText, false);
    ok &= compare(c, prefix + ".stderr", o.stderrText, false);
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
    const fs::path dir(name.data());
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

    bool ok = check(opt, "expect", runOnce(opt, readArgs(c / "args"), dir, mainName));
    bool second = fs::exists(c / "args2") || hasAny(c, "expect2");
    if (second) {
        fs::path args2 = fs::exists(c / "args2") ? c / "args2" : c / "args";
        ok &= check(opt, "expect2", runOnce(opt, readArgs(args2), dir, mainName));
    }

    if (ok && !opt.keep) {
        fs::remove_all(dir);
    } else {
        std::cout << "files kept in " << dir.string() << "\n";
    }
    return ok ? 0 : 1;
}

int usage() {
    std::cerr << "usage: golden_runner --tool <program> --case <dir> [--realfiles <dir>]"
                 " [--timeout <seconds>] [--keep]\n";
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
        } else {
            return usage();
        }
    }
    if (opt.tool.empty() || opt.caseDir.empty()) return usage();
    const char* update = std::getenv("UPDATE_GOLDEN");
    opt.update = update != nullptr && std::string(update) == "1";
    try {
        return runCase(opt);
    } catch (const std::exception& e) {
        std::cerr << "golden_runner: " << e.what() << "\n";
        return 2;
    }
}
