// One self-updating progress line on a terminal: files done of their total,
// bytes read, the rate and the time left, redrawn in place a few times a
// second on standard error and cleared at the end. Made only where standard
// error is a terminal and the output is text, so that nothing of it reaches
// a file, a pipe or a monitoring format. Workers of several threads may
// report to one line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "fileio/output.h"
#include "inspect/common/workers.h"

namespace inspect {

class ProgressLine {
  public:
    // `what` leads the line ("checking"). Shows nothing unless `enabled`.
    ProgressLine(tabulon::Output& out, bool enabled, std::string what);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Whether `out` shows standard error on a terminal and `format` is the
    // text format.
    static bool wanted(const tabulon::Output& out, const std::string& format);

    bool enabled() const { return enabled_; }
    // A new phase: its name and its number of files (0 while unknown).
    void start(const std::string& what, uint64_t files);
    // `files` more to look at than said so far.
    void expect(uint64_t files) { total_ += files; }
    // One file done, of `bytes` bytes.
    void done(uint64_t bytes) { advance(1, bytes); }
    // `files` more looked at, of `bytes` bytes in all.
    void advance(uint64_t files, uint64_t bytes);
    // Removes the line.
    void clear();

    // The text of the line (without the carriage return), for the figures
    // given: what a terminal shows.
    static std::string text(const std::string& what, uint64_t done, uint64_t total, uint64_t bytes,
                            double seconds);

  private:
    void draw(bool force);

    tabulon::Output& out_;
    const bool enabled_;
    std::string what_;
    std::atomic<uint64_t> files_{0}, total_{0}, bytes_{0};
    std::chrono::steady_clock::time_point begun_, drawn_{};
    JobLock drawing_;
    bool shown_ = false;
};

}  // namespace inspect
