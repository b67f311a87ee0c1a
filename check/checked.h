// One file set opened for the check: its members, its FCR, its geometry and
// whether it has a PAT, decided once at the open. Walking it runs the scan
// and hands the ordered stream to any number of sinks at once; what the walk
// read stays for later questions (the counters, the severities, the page
// headers and the best-page index), so a caller that wants the stream in
// several forms, or a page's header after the walk, reads the file once.
//
// The tabulon program's run (runCheck) is built on it, and so is every
// command of the inspector.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "access/btrfile.h"
#include "access/cache.h"
#include "access/patpair.h"
#include "check/event.h"
#include "check/ledger.h"
#include "check/options.h"
#include "fileio/platform.h"

namespace tabulon {

class Scanner;

// What an open takes from its caller besides the path and the options.
struct CheckEnvironment {
    Platform& platform;
    // The library's lines while the set is open (FCR warnings, /D traces,
    // the walk's notices); it must outlive the checked file.
    NoticeSink& notices;
    // The members, opened already by the caller (the survey opens each by
    // its handle inside its folder); none: each is opened by its name.
    MemberOpener* opener = nullptr;
    // The open mode; -1: the one the options ask for (openModeFor).
    int mode = -1;
    // A first FCR copy that is no FCR gives way to a sound second copy
    // (BtrieveFile::loadFcrEitherCopy). The tabulon program reads the first
    // copy only.
    bool eitherFcrCopy = false;
    // Every member must open: a member that does not fails the open (its
    // status names it). Otherwise the set ends before that member.
    bool wholeSet = false;
};

// Which pairs a walk visits, and how.
struct WalkRange {
    uint32_t first = 1;
    uint32_t last = 0;  // 0: the last pair of the FCR
    // With the entries: the headers of the pages they point at are read
    // first, in one pass, as the check does. Without: only the pairs'
    // headers are checked.
    bool entries = true;
};

// Hands one stream to several sinks, in order, each value to each sink.
class EventTee : public EventSink {
  public:
    explicit EventTee(std::vector<EventSink*> sinks) : sinks_(std::move(sinks)) {}
    void finding(const Finding& f) override {
        for (EventSink* s : sinks_) s->finding(f);
    }
    void action(const Action& a) override {
        for (EventSink* s : sinks_) s->action(a);
    }
    void pair(const PairEvent& p) override {
        for (EventSink* s : sinks_) s->pair(p);
    }
    void entry(const EntryEvent& e) override {
        for (EventSink* s : sinks_) s->entry(e);
    }
    void report(const ReportEvent& r) override {
        for (EventSink* s : sinks_) s->report(r);
    }
    void notice(const Notice& n) override {
        for (EventSink* s : sinks_) s->notice(n);
    }
    bool wantsDetail() const override {
        for (const EventSink* s : sinks_) {
            if (s->wantsDetail()) return true;
        }
        return false;
    }

  private:
    std::vector<EventSink*> sinks_;
};

class CheckedFile {
  public:
    // Opens the set at `path` and reads its FCR; the open's lines (a member
    // that did not open, the delta file found) go to the environment's
    // notices. A path too long for a name buffer, a main file that cannot be
    // opened (Failure::Open or Size) or a file that is no usable Btrieve file
    // (the FCR's failure) comes back as the Status that says why; the members
    // the open reached are closed again.
    static std::variant<Status, CheckedFile> open(const std::string& path,
                                                  const ScanOptions& options,
                                                  const CheckEnvironment& env);

    CheckedFile(CheckedFile&&) noexcept;
    CheckedFile& operator=(CheckedFile&&) noexcept;
    ~CheckedFile();

    // The tabulon program's scan: the announcement, the header preload with
    // its progress lines and the walk from the options' start pair, with the
    // repairs of its fix mask, into `sink`. With `ledger`, the walk keeps
    // what the version ledger needs, and the ledger is made at its end. With
    // `headers`, a built header cache of the same files opened the same way,
    // the walk shares its table instead of reading every header again.
    void check(EventSink& sink, VersionLedger* ledger = nullptr,
               const HeaderCache* headers = nullptr);

    // Walks the pairs of `range` with the options' fix mask, handing the
    // stream to every sink, without progress lines. A later walk continues
    // with the counters of the earlier ones.
    void walk(std::vector<EventSink*> sinks, const WalkRange& range = {});

    // The header of physical page p as the check reads it: from the walk's
    // preloaded headers, else from the file. False when it cannot be read.
    bool pageHeader(uint32_t p, PageHeader& header);

    // PAT pair n, loaded on its own (no walk needed).
    PatPair& pair();

    // The page headers the walks read, by physical page. Before the first
    // walk, a caller may share another walk's table into it
    // (HeaderCache::shareTable); the walk then reads only what it lacks.
    HeaderCache& headers();
    const HeaderCache& headers() const;

    bool hasPat() const { return tabulon::hasPat(file_->geometry()); }
    const FileGeometry& geometry() const { return file_->geometry(); }
    uint32_t lastPair() const { return file_->lastPatPair(); }
    SetExtent extent() const { return setExtent(*file_); }
    BtrieveFile& file() { return *file_; }
    const BtrieveFile& file() const { return *file_; }

    // What the walks found so far.
    const ScanCounters& counters() const;
    const SeverityCounts& severities() const;
    // The repair writes that failed, in order.
    const std::vector<Status>& writeFailures() const;

    // Closes the set: the repairs' writes are flushed; each member that
    // could not be is in the status.
    Status close();

  private:
    CheckedFile(std::unique_ptr<BtrieveFile> file, const ScanOptions& options);

    std::unique_ptr<BtrieveFile> file_;
    ScanOptions options_;
    std::unique_ptr<Scanner> scanner_;
    bool preloaded_ = false;
};

}  // namespace tabulon
