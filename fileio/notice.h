// Notices as values: the announcements, progress lines, warnings and /D
// traces that the library causes, each handed to a sink as it happens, with
// its kind, the stream its console line belongs to and that line. The
// library never prints: a program's renderer decides what a notice becomes.
// The sink interface lives here, in the lowest layer that emits notices.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string_view>

namespace tabulon {

enum class Stream { Out, Err };

#if defined(__GNUC__) && !defined(_WIN32)
#define TABULON_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TABULON_PRINTF(fmt, args)
#endif

enum class NoticeKind : uint8_t {
    Trace,               // a /D trace line of any layer
    OpenFailed,          // a member of the set could not be opened
    DeltaFound,          // the delta file is open
    VersionWarning,      // the version (value) is not completely supported
    CompressionWarning,  // page compression is on
    UnexpectedPageSize,  // the PAT tables know no page size of value bytes
    WrongPair,           // a write-back named a pair that is not loaded
    PreloadStart,        // the header cache is about to be filled
    PreloadProgress,     // the figure of the preload's progress (value: page)
    PreloadDone,         // value: pages whose headers are held
    PreloadNoMemory,     // value: pages whose headers did not fit
    ScanStart,           // the first and last pair of the walk
    PairProgress,        // a piece of the progress line of pair value
    PageFound,           // the best-page search found a page for logical page value
    WriteFailure,        // a repair's write failed
    RunHeader,           // the run names the file it scans
    OptionNotice,        // the command line's notices
    Usage,               // the usage text
    OpenFailure,         // the run could not open the set
    OldVersion,          // a file before 6.x: no PAT to check
    PageCount,           // value: pages the run checks
    ScanComplete,        // the walk is over
    Journal,             // the undo journal: its place, or why it failed
    FlushFailure,        // a member's repairs could not be forced to the disk
};

struct Notice {
    // What the reader must have seen before the line, and after it.
    static constexpr uint8_t flushOutBefore = 1;  // standard output, up to here
    static constexpr uint8_t flushAfter = 2;      // the notice's own stream

    NoticeKind kind = NoticeKind::Trace;
    Stream stream = Stream::Err;
    uint8_t flush = 0;
    uint64_t value = 0;     // the number the notice is about (see the kinds)
    std::string_view text;  // its console text, valid during the call only
};

class NoticeSink {
  public:
    virtual ~NoticeSink() = default;
    virtual void notice(const Notice& n) = 0;

    // A notice whose text is given, or formatted with the C library's
    // formats into a buffer of the call (callers build a notice only when
    // it is wanted, e.g. a trace under /D).
    void emit(NoticeKind kind, Stream stream, std::string_view text, uint64_t value = 0,
              uint8_t flush = 0) {
        notice(Notice{kind, stream, flush, value, text});
    }
    void emitf(NoticeKind kind, Stream stream, const char* format, ...) TABULON_PRINTF(4, 5);
    void emitf(NoticeKind kind, Stream stream, uint64_t value, const char* format, ...)
        TABULON_PRINTF(5, 6);
    void vemitf(NoticeKind kind, Stream stream, uint64_t value, uint8_t flush, const char* format,
                va_list args);
};

// Takes every notice and drops it.
class NullNotices : public NoticeSink {
  public:
    void notice(const Notice&) override {}
};

}  // namespace tabulon
