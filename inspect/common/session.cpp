#include "inspect/common/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fileio/replace.h"
#include "format/pat.h"
#include "inspect/common/names.h"

using namespace tabulon;

namespace inspect {

std::string strf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string s(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, format, again);
    va_end(again);
    return s;
}

int fail(Output& out, const std::string& line) {
    out.write(Stream::Err, "tabulon-inspect: " + displayName(line) + "\n");
    return kStatusFailed;
}

namespace {

std::string trimEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

std::string openFailure(const std::string& path, const tabulon::Status& s) {
    if (!pathFits(path.size())) {
        return strf("the path is longer than %d characters", kMaxPathLength);
    }
    if (s.failure == tabulon::Failure::NotBtrieve) return path + " is not a Btrieve file";
    if (s.ok() || s.code == 0) return "cannot open " + path;
    const std::string text = trimEnd(s.text);
    return "cannot open " + s.name + ": " + (text.empty() ? "error" : text) + " (system error " +
           std::to_string(s.code) + ")";
}

std::optional<CheckedFile> openForLook(Platform& platform, const std::string& path, bool shared,
                                       NoticeSink& quiet, std::string* why, bool eitherFcrCopy) {
    CheckEnvironment env{platform, quiet};
    env.eitherFcrCopy = eitherFcrCopy;
    auto opened = CheckedFile::open(path, quietOptions(shared), env);
    if (auto* checked = std::get_if<CheckedFile>(&opened)) return std::move(*checked);
    *why = openFailure(path, std::get<Status>(opened));
    return std::nullopt;
}

std::optional<CheckedFile> openForCommand(Context& cx, const std::string& path, bool needPat,
                                          bool eitherFcrCopy) {
    std::string why;
    std::optional<CheckedFile> file = openForLook(cx.platform, path, cx.shared, cx.quiet, &why, eitherFcrCopy);
    if (!file) {
        fail(cx.out, why);
        return std::nullopt;
    }
    if (needPat && !file->hasPat()) {
        fail(cx.out, path + " is a pre-6.x file (version " + hex(file->geometry().versionCode, 4) +
                         "): it has no PAT");
        return std::nullopt;
    }
    return file;
}

bool writeAtomically(const std::string& path, const std::string& text, std::string* why) {
    const Status s = replaceFile(systemPlatform(), path, text);
    if (s.ok()) return true;
    std::string reason = s.text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    *why = "cannot write " + path + ": " + reason;
    return false;
}

ScanOptions quietOptions(bool shared) {
    ScanOptions o;
    o.progress = 0;
    o.unprotected = shared ? 1 : 0;
    return o;
}

std::string hex(uint64_t v, int digits) {
    return strf("0x%0*llx", digits, (unsigned long long)v);
}

std::string versionText(uint16_t v) {
    return strf("%d.%.2x", v >> 8, unsigned(v & 0xFF));
}

std::string entryVerdict(const tabulon::EntryCheck& e) {
    if (e.free) return "free";
    if (e.sound()) return "sound";
    std::string t;
    for (int i = 0; i < e.count; ++i) {
        const tabulon::ProblemRow& row = e.findings[i].row();
        if (!t.empty()) t += "; ";
        t += std::string(row.label) + " [" + tabulon::severityKey(row.severity) + "]";
    }
    return t;
}

Json problemsJson(const tabulon::Finding* findings, int count) {
    Json list = Json::array();
    for (int i = 0; i < count; ++i) {
        const tabulon::ProblemRow& row = findings[i].row();
        list.push_back({{"code", row.key}, {"severity", tabulon::severityKey(row.severity)}});
    }
    return list;
}

}  // namespace inspect
