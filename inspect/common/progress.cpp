#include "inspect/common/progress.h"

#include <cstdio>

namespace inspect {

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(200);

std::string amount(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 1000 && u < 4) {
        bytes /= 1000;
        ++u;
    }
    char b[32];
    std::snprintf(b, sizeof b, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return b;
}

std::string duration(double seconds) {
    const long s = long(seconds + 0.5);
    char b[32];
    if (s >= 3600) {
        std::snprintf(b, sizeof b, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(b, sizeof b, "%ld:%02ld", s / 60, s % 60);
    }
    return b;
}

}  // namespace

ProgressLine::ProgressLine(tabulon::Output& out, bool enabled, std::string what)
    : out_(out), enabled_(enabled), what_(std::move(what)) {
    begun_ = std::chrono::steady_clock::now();
}

ProgressLine::~ProgressLine() {
    clear();
}

bool ProgressLine::wanted(const tabulon::Output& out, const std::string& format) {
    return format == "text" && out.terminal(tabulon::Stream::Err);
}

std::string ProgressLine::text(const std::string& what, uint64_t done, uint64_t total,
                               uint64_t bytes, double seconds) {
    std::string t = what + ": " + std::to_string(done);
    if (total > 0) t += " of " + std::to_string(total);
    t += " files";
    if (bytes > 0) t += ", " + amount(double(bytes)) + " read";
    if (bytes > 0 && seconds >= 0.5) {
        t += ", " + amount(double(bytes) / seconds) + "/s";
        if (total > 0 && done > 0 && done < total) {
            t += ", " + duration(seconds * double(total - done) / double(done)) + " left";
        }
    }
    return t;
}

void ProgressLine::start(const std::string& what, uint64_t files) {
    if (!enabled_) return;
    {
        JobLockHeld lock(drawing_);
        what_ = what;
        files_ = 0;
        bytes_ = 0;
        total_ = files;
        begun_ = std::chrono::steady_clock::now();
    }
    draw(true);
}

void ProgressLine::advance(uint64_t files, uint64_t bytes) {
    if (!enabled_) return;
    const uint64_t done = files_ += files;
    bytes_ += bytes;
    // The last file of a phase is always shown.
    draw(done == total_);
}

void ProgressLine::draw(bool force) {
    // A worker that finds the line being drawn does not wait, unless its
    // state must be shown.
    JobLockHeld lock(drawing_, !force);
    if (!lock.held()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - drawn_ < kRedraw) return;
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - begun_).count();
    // Carriage return, the line, and the rest of the old line erased.
    out_.write(tabulon::Stream::Err,
               "\r" + text(what_, files_, total_, bytes_, seconds) + "\x1b[K");
    out_.flush(tabulon::Stream::Err);
    shown_ = true;
}

void ProgressLine::clear() {
    if (!enabled_) return;
    JobLockHeld lock(drawing_);
    if (!shown_) return;
    out_.write(tabulon::Stream::Err, "\r\x1b[K");
    out_.flush(tabulon::Stream::Err);
    shown_ = false;
}

}  // namespace inspect
