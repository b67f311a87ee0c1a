// The system's binding with calls failing beneath it, through link-time
// wraps: a folder whose entry cannot be flushed fails the journal's create
// before anything is written.
#include "wrapped.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "support.h"

extern "C" void* __real_mmap(void* at, size_t n, int protection, int flags, int fd, off_t offset);
extern "C" int __real_fsync(int fd);

namespace wrapped {
std::atomic<bool> failMmap{false};
std::atomic<bool> failFolderFsync{false};
std::atomic<unsigned> mmapFailures{0};
}  // namespace wrapped

extern "C" void* __wrap_mmap(void* at, size_t n, int protection, int flags, int fd, off_t offset) {
    if (wrapped::failMmap) {
        ++wrapped::mmapFailures;
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return __real_mmap(at, n, protection, flags, fd, offset);
}

extern "C" int __wrap_fsync(int fd) {
    struct stat st;
    if (wrapped::failFolderFsync && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return __real_fsync(fd);
}

namespace {

using namespace undotest;

TEST(JournalFolder, AnEntryThatCannotBeFlushedFailsTheRun) {
    Scratch dir;
    RepairCase rc{
        "x", "family 0x0800 page 512 logical 10\nheader 3 zero\n", {"@FILE", "/F-1", "/R"}};
    const std::string main = buildCase(rc, dir.path());
    const Snapshot before = snapshot(dir.path());
    faults::FaultPlatform p;
    wrapped::failFolderFsync = true;
    TabulonRun r = runTabulonOn(rc.args, dir.path(), main, p, dir.path("undo.journal"));
    wrapped::failFolderFsync = false;
    EXPECT_EQ(r.status, -3);
    EXPECT_NE(r.err.find("Unable to create undo journal <" + dir.path("undo.journal") +
                         ">, Status Code 5, "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("Pages Examined"), std::string::npos);
    EXPECT_TRUE(snapshot(dir.path()) == before) << "written, or a journal left";
}

}  // namespace
