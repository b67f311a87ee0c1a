// Fuzz target of the undo journal's reader: the input is a journal, parsed
// in memory and then given to tabulon-undo, in-process, with --dry-run and
// with --dry-run --force, against a repaired copy of a small set. A dry run
// that changes a byte of the set aborts, as a crash, and so does a status
// other than 0, 1 or 2 or a parse that contradicts itself.
//
// Input: one flags byte, then the journal. Flag 1 recomputes the checksum of
// every whole record first, so that mutations get past them; flag 2 names
// the set with --set instead of taking the journal's path.
//
// A long campaign, from the build folder (crashes and timeouts land in the
// folder it starts in, or under -artifact_prefix taken from there):
//   mkdir -p journal_corpus
//   tests/fuzz/tabulon_fuzz_journal -max_len=20000 journal_corpus tests/fuzz/journal_seeds
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fileio/journal.h"
#include "format/le.h"
#include "journal_set.h"
#include "support/harness.h"
#include "undo/undo.h"

using namespace tabulon;

namespace {

// Each input is undone in the set's folder (the journals name the set by a
// relative path); in between, the fuzzer reads and writes its corpus
// folders, named relative to the folder it started in.
std::string dir, home;
harness::Bytes repaired;

void removeFiles() {
    unlink((dir + "/" + journalfuzz::kMain).c_str());
    unlink((dir + "/J").c_str());
    rmdir(dir.c_str());
}

void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// libFuzzer writes a crash, a timeout or a slow input to its artifact prefix
// ("./" by default) when it happens, mostly while an input is undone in the
// set's folder, which is a temporary one. The prefix, and an exact artifact
// path, are made absolute from the starting folder before libFuzzer reads its
// flags; the prefix goes first, so that one named on the command line wins.
std::vector<std::string> argStore;
std::vector<char*> args;

void anchorArtifacts(int* argc, char*** argv) {
    argStore.push_back((*argv)[0]);
    argStore.push_back("-artifact_prefix=" + home + "/");
    for (int i = 1; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
            const size_t n = std::strlen(flag);
            if (arg.compare(0, n, flag) == 0 && arg.size() > n && arg[n] != '/') {
                arg = flag + home + "/" + arg.substr(n);
            }
        }
        argStore.push_back(arg);
    }
    for (std::string& a : argStore) args.push_back(a.data());
    args.push_back(nullptr);
    *argc = int(argStore.size());
    *argv = args.data();
}

// Gives every record that fits in the bytes its right checksum.
void recomputeChecksums(std::vector<uint8_t>& j) {
    size_t at = 12;
    while (at < j.size() && j.size() - at >= 9) {
        const uint64_t total = uint64_t(le32(j.data() + at + 1)) + 9;
        if (total > j.size() - at) break;
        putLe32(j.data() + at + total - 4, crc32(j.data() + at, size_t(total) - 4));
        at += size_t(total);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tabulon-fuzzj-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    home = std::filesystem::current_path().string();
    anchorArtifacts(argc, argv);
    if (chdir(dir.c_str()) != 0) std::abort();
    if (journalfuzz::makeRepairedSet("/F-1", "") != 0) fail("the set could not be repaired");
    repaired = harness::readFile(journalfuzz::kMain);
    std::atexit(removeFiles);
    if (chdir(home.c_str()) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (flags & 1) recomputeChecksums(bytes);

    JournalContents c;
    if (parseJournal(bytes, &c).ok()) {
        for (const JournaledBlock& b : c.blocks) {
            if (b.old.size() != b.block.length || b.oldAt + b.block.length > bytes.size()) {
                fail("a block's old bytes are not the journal's");
            }
        }
        if (c.closed && c.finalCrcs.size() != c.blocks.size()) fail("closing count differs");
        if (c.tornTail && c.damaged) fail("both cut short and damaged");
        if (c.tornTail && c.tornAt + c.tornBytes != bytes.size()) fail("a tail that is not one");
        for (const TornBlock& t : c.tornBlocks) {
            if (t.shown > t.block.length || t.oldAt + t.shown > bytes.size()) fail("torn block");
        }
    }
    if (chdir(dir.c_str()) != 0) fail("the set's folder is gone");

    harness::writeFile("J", bytes);
    for (bool force : {false, true}) {
        std::vector<const char*> argv = {"tabulon-undo", "J", "--dry-run"};
        if (force) argv.push_back("--force");
        if (flags & 2) {
            argv.push_back("--set");
            argv.push_back(journalfuzz::kMain);
        }
        NullOutput out;
        const int status = runUndo(int(argv.size()), argv.data(), out, tabulon::systemPlatform());
        if (status < 0 || status > 2) fail("tabulon-undo ended with a status it does not have");
        if (harness::readFile(journalfuzz::kMain) != repaired) fail("a dry run wrote");
    }
    if (chdir(home.c_str()) != 0) fail("the starting folder is gone");
    return 0;
}
