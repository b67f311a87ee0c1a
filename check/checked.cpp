#include "check/checked.h"

#include "check/scan.h"

namespace tabulon {

std::variant<Status, CheckedFile> CheckedFile::open(const std::string& path,
                                                    const ScanOptions& options,
                                                    const CheckEnvironment& env) {
    if (!pathFits(path.size())) {
        return Status{Failure::Open, path, 0, "the path is longer than a name buffer holds"};
    }
    auto file = std::make_unique<BtrieveFile>(env.notices, env.platform);
    const int mode = env.mode >= 0 ? env.mode : openModeFor(options);
    const bool verbose = options.verbose != 0;
    const Status set = file->openSet(path, mode, verbose, env.opener);
    // The open's own lines: the member that could not be opened, the delta
    // file found.
    const std::string lines = openReport(file->fileSet(), set, verbose);
    if (!lines.empty()) {
        env.notices.emit(set.ok() ? NoticeKind::DeltaFound : NoticeKind::OpenFailed, Stream::Err,
                         lines);
    }
    // Nothing opened; or a member that did not open, where the whole set is
    // asked for. Otherwise the set is checked as far as its members reach.
    if (file->fileSet().memberCount() == 0) return set;
    // The members it reached are closed with the file, without the close's
    // trace.
    if (!set.ok() && env.wholeSet) return set;
    const Status fcr = env.eitherFcrCopy ? file->loadFcrEitherCopy() : file->loadFcr();
    if (!fcr.ok()) return fcr;
    return CheckedFile(std::move(file), options);
}

CheckedFile::CheckedFile(std::unique_ptr<BtrieveFile> file, const ScanOptions& options)
    : file_(std::move(file)),
      options_(options),
      scanner_(std::make_unique<Scanner>(*file_, options_)) {}
CheckedFile::CheckedFile(CheckedFile&&) noexcept = default;
CheckedFile& CheckedFile::operator=(CheckedFile&&) noexcept = default;
CheckedFile::~CheckedFile() = default;

void CheckedFile::check(EventSink& sink, VersionLedger* ledger, const HeaderCache* headers) {
    Scanner& s = *scanner_;
    if (headers) s.cache().shareTable(*headers);
    LedgerBuilder builder;
    if (ledger) s.keepLedger(&builder);
    s.scanPatPairs(sink);
    if (ledger) {
        *ledger = builder.finish(geometry(), s.index());
        s.keepLedger(nullptr);
    }
}

void CheckedFile::walk(std::vector<EventSink*> sinks, const WalkRange& range) {
    Scanner& s = *scanner_;
    if (range.entries && !preloaded_) s.preload();
    preloaded_ = preloaded_ || range.entries;
    EventTee tee(std::move(sinks));
    s.walk(range.first, range.last == 0 ? lastPair() : range.last, &tee, range.entries);
}

bool CheckedFile::pageHeader(uint32_t p, PageHeader& header) {
    return scanner_->fetchPageHeader(p, header);
}

PatPair& CheckedFile::pair() { return scanner_->pair(); }
HeaderCache& CheckedFile::headers() { return scanner_->cache(); }
const HeaderCache& CheckedFile::headers() const { return scanner_->cache(); }

const ScanCounters& CheckedFile::counters() const { return scanner_->counters(); }
const SeverityCounts& CheckedFile::severities() const { return scanner_->severities(); }
const std::vector<Status>& CheckedFile::writeFailures() const { return scanner_->writeFailures(); }

Status CheckedFile::close() { return file_->close(); }

}  // namespace tabulon
