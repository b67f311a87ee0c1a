#include "support/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>

#include "builder/readback.h"

extern char** environ;

namespace harness {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tabulon-rel-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + name);
}

Bytes readFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

RunResult runTool(const std::vector<std::string>& args, double timeoutSeconds) {
    return runProgram(TABULON_EXE, args, "", timeoutSeconds);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& folder, double timeoutSeconds) {
    RunResult r;
    TempDir io;
    const std::string outName = io.file("out"), errName = io.file("err");
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the tool");

    int wstatus = 0;
    // Short runs are the most: look again soon at first, then less often.
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) break;
        std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        if (spent.count() > timeoutSeconds) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(2));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    Bytes out = readFile(outName), err = readFile(errName);
    r.out.assign(out.begin(), out.end());
    r.err.assign(err.begin(), err.end());
    return r;
}

std::string runFault(const RunResult& r) {
    if (r.timedOut) return "did not finish in time";
    if (r.signal) return "ended by signal " + std::to_string(r.signal);
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos) {
        return "sanitizer report:\n" + r.err.substr(0, 4000);
    }
    if (r.status != 0 && r.status != 253) return "exit status " + std::to_string(r.status);
    return "";
}

std::string changesOutsideRepairs(const std::vector<Bytes>& before, const std::vector<Bytes>& after,
                                  const std::string& output) {
    if (before.size() != after.size() || before.empty()) return "member count changed";
    Bytes set;
    for (const Bytes& m : before) set.insert(set.end(), m.begin(), m.end());
    std::vector<std::pair<uint64_t, uint64_t>> allowed;  // [from, to) file-set offsets
    const std::optional<tbuild::FcrReading> read = tbuild::readLayout(set, before[0].size());
    if (read && read->layout.hasPat()) {
        const tbuild::Layout& l = read->layout;
        // The header and the entry slots of a PAT page.
        const uint64_t patBytes =
            std::min<uint64_t>(l.firstSlot + uint64_t(l.entriesPerPage) * l.slotSize, l.patPageSize);
        for (uint64_t n = 1; n <= read->lastPair; ++n) {
            const uint64_t at = tbuild::pairOffset(l, uint32_t(n));
            if (at >= set.size()) break;
            for (uint64_t c = 0; c < 2; ++c) {
                allowed.emplace_back(at + c * l.patPageSize, at + c * l.patPageSize + patBytes);
            }
            if (l.pairStride == 0) break;
        }
        const std::string repaired = "-->Repaired By Writing Corrected Page ID to Physical Page ";
        for (size_t at = output.find(repaired); at != std::string::npos; at = output.find(repaired, at + 1)) {
            uint64_t page = std::stoull(output.substr(at + repaired.size(), 8), nullptr, 16);
            uint64_t offset = tbuild::pageOffset(l, uint32_t(page));
            allowed.emplace_back(offset, offset + l.headerSize);
        }
    }
    auto isAllowed = [&](uint64_t o) {
        for (auto& [from, to] : allowed) if (o >= from && o < to) return true;
        return false;
    };
    std::string faults;
    uint64_t base = 0;
    for (size_t m = 0; m < before.size(); ++m) {
        const Bytes &b = before[m], &a = after[m];
        if (a.size() < b.size()) faults += "member " + std::to_string(m) + " shrank\n";
        for (size_t i = 0; i < a.size() && faults.size() < 2000; ++i) {
            if (i < b.size() && a[i] == b[i]) continue;
            if (isAllowed(base + i)) continue;
            char line[96];
            std::snprintf(line, sizeof line, "member %zu byte 0x%zx (set offset 0x%llx) changed\n", m, i,
                          (unsigned long long)(base + i));
            faults += line;
        }
        base += b.size();
    }
    return faults;
}

}  // namespace harness
