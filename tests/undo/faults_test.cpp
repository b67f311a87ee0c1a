// The repair cases of the golden suite with a fault at each write, each flush
// and each read in turn, with and without the undo journal: a write that
// failed gets no repair line and no count, no byte changes but by writes
// that succeeded, a failure is reported, and the journal gives back the set
// as it was. The test command runs a seeded sample of the faults; the test
// undo_faults_long (`ctest -C long -L undo-long`) runs every one.
#include <sys/stat.h>

#include "fileio/replace.h"
#include "support.h"
#include "support/forwarding_platform.h"
#include "support/sweep.h"

using namespace tabulon;

namespace {

using namespace undotest;
using faults::FaultPlatform;
using faults::How;
using faults::Op;

struct Counts {
    uint64_t reads = 0, writes = 0, flushes = 0;
};

// Calls of each kind in a run without a fault.
Counts countCalls(const RepairCase& c, bool journal) {
    Scratch dir;
    const std::string main = buildCase(c, dir.path());
    FaultPlatform p;
    runTabulonOn(c.args, dir.path(), main, p, journal ? dir.path("undo.journal") : "");
    return {p.calls[int(Op::Read)], p.calls[int(Op::Write)], p.calls[int(Op::Flush)]};
}

// Runs the case with the fault and checks every rule; returns the failures.
std::string runWithFault(const RepairCase& c, faults::Fault fault, bool journal) {
    Scratch dir;
    const std::string main = buildCase(c, dir.path());
    const std::string journalPath = journal ? dir.path("undo.journal") : "";
    const Snapshot before = snapshot(dir.path());
    FaultPlatform p(fault);
    TabulonRun r = runTabulonOn(c.args, dir.path(), main, p, journalPath);
    const Snapshot after = snapshot(dir.path(), "undo.journal");

    std::string why = countersAgreeWithLines(r);
    if (applyWrites(before, p.written, dir.path()) != after) {
        why += "bytes changed other than by the writes that succeeded; ";
    }
    if (p.fired && fault.op == Op::Write) why += noRepairLineAfter(r, fault.nth);

    const bool onJournal = p.fired && p.firedOn == journalPath;
    const bool memberFlush = p.fired && fault.op == Op::Flush && !onJournal;
    const bool memberWrite = p.fired && fault.op == Op::Write && !onJournal;
    if (memberFlush || memberWrite || onJournal) {
        if (r.status != -3) why += "status " + std::to_string(r.status) + " after a failure; ";
        const std::string line = memberFlush   ? "Unable to flush "
                                 : memberWrite ? "Unable to write " + p.firedOn + ", Status Code "
                                               : " undo journal <" + journalPath + ">";
        if (r.err.find(line) == std::string::npos) why += "no line naming the failure; ";
    } else if (fault.op != Op::Read && r.status != 0) {
        why += "status " + std::to_string(r.status) + " without a failure to report; ";
    }

    if (journal && fs::exists(journalPath)) {
        UndoRun u = runUndoOn({journalPath, "--set", dir.path(main)});
        const bool created = r.err.find("Unable to create undo journal") == std::string::npos;
        // An append cut short before its first old byte leaves nothing to
        // tell a stopped run from a cut journal: status 2, the rest restored.
        const bool untold = u.err.find("shows no old bytes to compare") != std::string::npos;
        if (created && u.status != (untold ? undo::kError : undo::kRestored)) {
            why += "undo ended with " + std::to_string(u.status) + ": " + u.err + "; ";
        }
        if (snapshot(dir.path(), "undo.journal") != before) why += "undo did not restore the set; ";
    }
    return why;
}

// One point of a sweep: a case and the call of its run that fails.
struct Point {
    const RepairCase* c;
    faults::Fault fault;
    std::string what;
};

// Runs the points of a sweep, or a sample of `budget` of them (see
// support/sweep.h).
void runSweep(const std::vector<Point>& points, size_t budget, bool journal) {
    const sweep::Sweep s = sweep::fromEnvironment();
    SCOPED_TRACE(s.note());
    const std::vector<size_t> picked = s.pick(points.size(), budget);
    for (size_t i : picked) {
        const Point& p = points[i];
        EXPECT_EQ(runWithFault(*p.c, p.fault, journal), "") << p.c->name << ": " << p.what;
    }
    ::testing::Test::RecordProperty("points", std::to_string(picked.size()) + " of " +
                                                  std::to_string(points.size()));
}

constexpr size_t kSampledPoints = 100;

class Faults : public ::testing::TestWithParam<bool> {};

TEST_P(Faults, EachWriteAndFlushFailsInTurn) {
    const bool journal = GetParam();
    const std::vector<RepairCase> cases = repairCases();
    ASSERT_GT(cases.size(), 10u);
    std::vector<Point> points;
    for (const RepairCase& c : cases) {
        const Counts n = countCalls(c, journal);
        for (How how : {How::Error, How::Short}) {
            for (uint64_t k = 1; k <= n.writes; ++k) {
                const uint32_t error = how == How::Error ? EIO : ENOSPC;
                points.push_back({&c, {Op::Write, k, how, error},
                                  "write " + std::to_string(k) + (how == How::Short ? " short" : " fails")});
            }
        }
        for (uint64_t k = 1; k <= n.flushes; ++k) {
            for (uint32_t error : {uint32_t(EIO), uint32_t(ENOSPC)}) {
                points.push_back({&c, {Op::Flush, k, How::Error, error},
                                  "flush " + std::to_string(k) + " fails with " + std::to_string(error)});
            }
        }
    }
    runSweep(points, kSampledPoints, journal);
}

TEST_P(Faults, EachReadFailsInTurn) {
    const bool journal = GetParam();
    const std::vector<RepairCase> cases = repairCases();
    std::vector<Point> points;
    for (const RepairCase& c : cases) {
        const Counts n = countCalls(c, journal);
        for (How how : {How::Error, How::Short}) {
            for (uint64_t k = 1; k <= std::min<uint64_t>(n.reads, 64); ++k) {
                points.push_back({&c, {Op::Read, k, how, EIO},
                                  "read " + std::to_string(k) + (how == How::Short ? " short" : " fails")});
            }
        }
    }
    runSweep(points, kSampledPoints, journal);
}

INSTANTIATE_TEST_SUITE_P(Journal, Faults, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Journal" : "NoJournal"; });

// Watches the order of the journal's appends and flushes and the writes
// into the set: each record reaches the disk on its own, and before any
// write it covers.
class OrderPlatform : public ForwardingPlatform {
  public:
    using ForwardingPlatform::ForwardingPlatform;
    bool create(const char* name, PlatformHandle* h, uint32_t* error) override {
        if (!next_.create(name, h, error)) return false;
        journal_ = *h;
        return true;
    }
    bool append(PlatformHandle h, const void* b, size_t n, uint32_t* error) override {
        if (h == journal_ && unflushed_) why += "two journal records without a flush between; ";
        if (h == journal_) unflushed_ = true;
        return next_.append(h, b, n, error);
    }
    bool flush(PlatformHandle h, uint32_t* error) override {
        const bool ok = next_.flush(h, error);
        if (h == journal_ && ok) unflushed_ = false;
        return ok;
    }
    bool writeAt(PlatformHandle h, uint64_t at, const void* b, size_t n, size_t* put,
                 uint32_t* error) override {
        if (journal_ == kInvalidHandle) why += "a write before the journal was created; ";
        if (unflushed_) why += "a write before the journal's last record was flushed; ";
        ++writes;
        return next_.writeAt(h, at, b, n, put, error);
    }
    std::string why;
    size_t writes = 0;

  private:
    PlatformHandle journal_ = kInvalidHandle;
    bool unflushed_ = false;
};

TEST(JournalOrder, EveryWriteFollowsTheFlushOfItsRecord) {
    for (const RepairCase& c : repairCases()) {
        Scratch dir;
        const std::string main = buildCase(c, dir.path());
        FaultPlatform counting;
        OrderPlatform order(counting);
        runTabulonOn(c.args, dir.path(), main, counting, dir.path("undo.journal"), &order);
        EXPECT_EQ(order.why, "") << c.name;
    }
}

TEST(FlushFailure, ReportedWithTheSystemTextAndStatus) {
    std::vector<RepairCase> cases = repairCases();
    auto it = std::find_if(cases.begin(), cases.end(),
                           [](const RepairCase& c) { return c.name == "fix_all_bits"; });
    ASSERT_NE(it, cases.end());
    Scratch dir;
    const std::string main = buildCase(*it, dir.path());
    FaultPlatform p({Op::Flush, 1, How::Error, EIO});
    TabulonRun r = runTabulonOn(it->args, dir.path(), main, p);
    EXPECT_EQ(r.status, -3);
    EXPECT_NE(r.err.find("Unable to flush " + dir.path("TEST.DAT") + ", Status Code 5, " +
                         systemPlatform().errorText(EIO)),
              std::string::npos)
        << r.err;
    // The report still comes, after the line.
    EXPECT_NE(r.out.find("Problems Fixed (Total)"), std::string::npos);
}

// An output file replaced through a temporary file: a close that fails, or a
// FIFO put at the target while the bytes were written, leaves the target as
// it was and no temporary file beside it.
TEST(FlushFailure, OutputReplacementKeepsTheTarget) {
    struct AtClose : FaultPlatform {
        std::string fifo;  // made at the close, when set; else the close fails
        bool closeWritten(PlatformHandle h, uint32_t* error) override {
            if (fifo.empty()) return close(h), *error = EIO, false;
            return FaultPlatform::closeWritten(h, error) && fs::remove(fifo) &&
                   mkfifo(fifo.c_str(), 0600) == 0;
        }
    };
    for (bool fifo : {false, true}) {
        Scratch dir;
        AtClose p;
        p.fifo = fifo ? dir.path("out") : "";
        const Bytes old{'o', 'l', 'd'};
        writeBytes(dir.path("out"), old);
        EXPECT_FALSE(replaceFile(p, dir.path("out"), "new").ok());
        EXPECT_TRUE(fifo ? fs::is_fifo(dir.path("out")) : readBytes(dir.path("out")) == old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}

}  // namespace
