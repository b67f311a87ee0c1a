// A repair killed at a random moment, and one that finished, are undone to
// the original bytes by tabulon-undo, both programs run as child processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support.h"

using namespace tabulon;

namespace {

using namespace undotest;

// A set of about 6 MiB with repairs spread over its PAT pairs: zero page
// headers (each journaled on its own) and misdirected entries.
std::string damagedRecipe() {
    std::string r = "family 0x0800 page 1024 logical 6000\n";
    for (int l = 5; l < 6000; l += 29) r += "header " + std::to_string(l) + " zero\n";
    for (int l = 11; l < 6000; l += 37) {
        r += "entry " + std::to_string(l) + " logical " + std::to_string(l + 2) + "\n";
    }
    r += "split 2000000 4000000\n";
    return r;
}

// Starts a program with TABULON_UNDO set; returns its process id.
pid_t start(const std::vector<std::string>& args, const std::string& journal) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TABULON_UNDO", journal.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        if (freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class Crash : public ::testing::Test {
  protected:
    void SetUp() override {
        RepairCase c{"crash", damagedRecipe(), {}};
        main = dir.path(buildCase(c, dir.path()));
        original = snapshot(dir.path());
    }
    void reset() {
        for (const auto& [name, bytes] : original) writeBytes(dir.path(name), bytes);
        fs::remove(journal());
    }
    std::string journal() const { return dir.path("undo.journal"); }
    int repair() { return wait(start({TABULON_EXE, main, "/F-1", "/R"}, journal())); }
    int undoRun() { return wait(start({TABULON_UNDO_EXE, journal(), "--set", main}, "")); }

    Scratch dir;
    std::string main;
    Snapshot original;
};

TEST_F(Crash, FinishedRepairIsUndone) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(repair(), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_NE(snapshot(dir.path(), "undo.journal"), original);
    EXPECT_EQ(undoRun(), 0);
    EXPECT_TRUE(snapshot(dir.path(), "undo.journal") == original);
    RecordProperty("repair_seconds", std::to_string(seconds));
}

TEST_F(Crash, KilledRepairIsUndone) {
    // How long a whole repair takes here, to kill inside it.
    reset();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(repair(), 0);
    const double full =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::mt19937 random(std::random_device{}());
    int cutShort = 0;
    for (int round = 0; round < 5; ++round) {
        reset();
        const double at = std::uniform_real_distribution<double>(0, full)(random);
        SCOPED_TRACE("killed after " + std::to_string(at) + " s of " + std::to_string(full));
        pid_t pid = start({TABULON_EXE, main, "/F-1", "/R"}, journal());
        std::this_thread::sleep_for(std::chrono::duration<double>(at));
        kill(pid, SIGKILL);
        const int status = wait(pid);
        if (status == -SIGKILL) ++cutShort;
        if (!fs::exists(journal())) {
            // Killed before the journal was made: nothing may have changed.
            EXPECT_TRUE(snapshot(dir.path()) == original);
            continue;
        }
        const int undone = undoRun();
        // A journal killed before its identity record was whole cannot be
        // used, and then nothing was written.
        EXPECT_TRUE(undone == 0 || undone == 2) << undone;
        EXPECT_TRUE(snapshot(dir.path(), "undo.journal") == original);
    }
    RecordProperty("rounds_cut_short", std::to_string(cutShort));
}

}  // namespace
