#include "inspect/inspect.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "inspect/repairs/advise.h"
#include "inspect/common/names.h"
#include "inspect/repairs/plan.h"
#include "inspect/common/session.h"
#include "inspect/common/workers.h"
#include "tabulon_version.h"

using namespace tabulon;

namespace {

// The command line as a shell reads it back: tabulon-inspect and each
// argument, quoted where it holds anything but letters, digits and -_./=:,@%+.
std::string commandLine(int argc, const char* const* argv) {
    std::string t = "tabulon-inspect";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool plain = !a.empty() && a.find_first_not_of(
                                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789-_./=:,@%+") == std::string::npos;
        t += " ";
        if (plain) {
            t += a;
            continue;
        }
        t += "'";
        for (char c : a) t += c == '\'' ? std::string("'\\''") : std::string(1, c);
        t += "'";
    }
    return t;
}

}  // namespace

namespace {

using namespace inspect;

// What the command line asks for: the command chosen and its arguments.
struct Args {
    bool json = false, shared = false, version = false;
    std::string file, outPath, page;
    std::optional<uint32_t> pair;
    bool problems = false;
    unsigned jobs = 0;
    std::vector<std::string> planOptions;
    SurveyArgs survey, report;
    CLI::App *info = nullptr, *pairs = nullptr, *entries = nullptr, *pg = nullptr, *map = nullptr,
             *plan = nullptr, *advise = nullptr, *surveyCmd = nullptr, *reportCmd = nullptr;
    CLI::Option* surveyFormat = nullptr;
    CLI::Option* surveyExpect = nullptr;
    // Options of survey and report given before the command's name, as the
    // packaged service puts TABULON_SURVEY_OPTIONS; the same option after the
    // name wins.
    struct {
        unsigned jobs = 0;
        bool strict = false;
        unsigned expect = 0;
        bool followLinks = false;
        std::string format;
        CLI::Option *jobsOption = nullptr, *strictOption = nullptr, *formatOption = nullptr,
                    *expectOption = nullptr, *followOption = nullptr;
    } before;
};

// The commands on one file set.
void fileCommands(CLI::App& app, Args& a) {
    a.info = app.add_subcommand("info", "the file set and the FCR");
    a.info->add_option("FILE", a.file, "main file of the set")->required();
    a.pairs = app.add_subcommand("pairs", "one row per PAT pair");
    a.pairs->add_option("FILE", a.file, "main file of the set")->required();
    a.entries = app.add_subcommand("entries", "one row per PAT entry");
    a.entries->add_option("FILE", a.file, "main file of the set")->required();
    a.entries->add_option("--pair", a.pair, "only this PAT pair");
    a.entries->add_flag("--problems", a.problems, "only the entries that are not sound");
    a.pg = app.add_subcommand("page", "one physical page, decoded and in hex");
    a.pg->add_option("FILE", a.file, "main file of the set")->required();
    a.pg->add_option("N", a.page, "physical page number (decimal or 0x hex)")->required();
    a.map = app.add_subcommand("map", "an SVG picture of the pages");
    a.map->add_option("FILE", a.file, "main file of the set")->required();
    a.map->add_option("-o,--output", a.outPath, "the SVG file to write")->required();
    a.plan = app.add_subcommand("plan", "what tabulon FILE /F# would write, writing nothing");
    // tabulon's options start with '/', which CLI11 reads as an option of
    // its own on Windows: here they are words to hand on.
    a.plan->allow_windows_style_options(false);
    a.plan->add_option("FILE", a.file, "main file of the set")->required();
    a.plan->add_option("OPTIONS", a.planOptions,
                       "tabulon's options (/F#, /R, /O, /S#, /Z, /D); /F-1 without a /F");
    a.advise = app.add_subcommand("advise", "which fix mask to run: each one tried in memory");
    a.advise->add_option("FILE", a.file, "main file of the set")->required();
}

// The commands on folders of file sets.
void folderCommands(CLI::App& app, Args& a) {
    CLI::App* survey = app.add_subcommand("survey", "check every Btrieve file under the folders");
    a.surveyCmd = survey;
    survey->add_option("DIR", a.survey.dirs, "folders to walk (or files to check)")->required();
    survey->add_option("-j,--jobs", a.jobs, "files checked at a time (default: the cores)");
    survey->add_flag("--strict", a.survey.strict,
                     "count every finding as damage (and, for nagios, a file not checked)");
    a.surveyFormat =
        survey->add_option("--format", a.survey.format, "text, json, prometheus or nagios")
            ->check(CLI::IsMember({"text", "json", "prometheus", "nagios"}));
    survey->add_option("-o,--output", a.survey.output,
                       "write to this file (through a temporary file and a rename)");
    survey->add_flag("--follow-links", a.survey.followLinks,
                     "follow a symbolic link to a file inside the folders surveyed");
    a.surveyExpect = survey->add_option("--expect", a.survey.expect,
                       "the least number of Btrieve files each folder should hold; fewer is "
                       "a problem, as damage is");
    CLI::App* report =
        app.add_subcommand("report", "the survey as one HTML page, with the maps of problem files");
    a.reportCmd = report;
    report->add_option("DIR", a.report.dirs, "folders to walk (or files to check)")->required();
    report->add_option("-o,--output", a.report.output, "the HTML file to write")->required();
    report->add_option("-j,--jobs", a.jobs, "files checked at a time (default: the cores)");
    report->add_flag("--strict", a.report.strict, "count every finding as damage");
    report->add_flag("--follow-links", a.report.followLinks,
                     "follow a symbolic link to a file inside the folders surveyed");
    // The same options before the command's name, in a group without a
    // name: the program's --help lists them under the commands only.
    CLI::Option_group* before = app.add_option_group("");
    a.before.jobsOption = before->add_option("-j,--jobs", a.before.jobs);
    a.before.strictOption = before->add_flag("--strict", a.before.strict);
    a.before.formatOption = before->add_option("--format", a.before.format)
                                ->check(CLI::IsMember({"text", "json", "prometheus", "nagios"}));
    a.before.expectOption = before->add_option("--expect", a.before.expect);
    a.before.followOption = before->add_flag("--follow-links", a.before.followLinks);
}

// Hands the options given before the command's name to survey or report;
// false with the line to print when the command takes none of them.
bool applyLeadingOptions(Args& a, std::string* why) {
    const bool jobs = a.before.jobsOption->count() > 0, strict = a.before.strictOption->count() > 0;
    const bool format = a.before.formatOption->count() > 0;
    const bool expect = a.before.expectOption->count() > 0;
    const bool follow = a.before.followOption->count() > 0;
    if (!jobs && !strict && !format && !expect && !follow) return true;
    if (*a.surveyCmd || (*a.reportCmd && !format && !expect)) {
        SurveyArgs& s = *a.surveyCmd ? a.survey : a.report;
        if (a.jobs == 0) a.jobs = a.before.jobs;
        s.strict = s.strict || a.before.strict;
        s.followLinks = s.followLinks || a.before.followLinks;
        if (format && a.surveyFormat->count() == 0) s.format = a.before.format;
        if (expect && a.surveyExpect->count() == 0) s.expect = a.before.expect;
        return true;
    }
    *why = format   ? "--format goes with the survey command only"
           : expect ? "--expect goes with the survey command only"
           : (jobs || strict) ? "-j and --strict go with the survey and report commands only"
                              : "--follow-links goes with the survey and report commands only";
    return false;
}

// The line for a command line that names no command it knows: the first
// word left over (no option) is taken for the command.
std::string unknownCommand(CLI::App& app) {
    for (const CLI::App* chosen : app.get_subcommands()) {
        if (!chosen->get_name().empty()) return "";
    }
    for (const std::string& word : app.remaining()) {
        if (word.empty() || word[0] == '-') continue;
        std::string known;
        const auto all = std::as_const(app).get_subcommands(
            [](const CLI::App* c) { return !c->get_name().empty(); });
        for (size_t k = 0; k < all.size(); ++k) {
            known += (k == 0 ? "" : k + 1 == all.size() ? " and " : ", ") + all[k]->get_name();
        }
        return "unknown command " + displayName(word) + "; the commands are " + known;
    }
    return "";
}

// Runs the command chosen; -1 when none was.
int dispatch(Context& cx, Args& a) {
    if (*a.info) return cmdInfo(cx, a.file);
    if (*a.pairs) return cmdPairs(cx, a.file);
    if (*a.entries) return cmdEntries(cx, a.file, a.pair, a.problems);
    if (*a.pg) return cmdPage(cx, a.file, a.page);
    if (*a.map) return cmdMap(cx, a.file, a.outPath);
    if (*a.plan) return cmdPlan(cx, a.file, a.planOptions);
    if (*a.advise) return cmdAdvise(cx, a.file);
    if (*a.surveyCmd) {
        a.survey.jobs = a.jobs == 0 ? systemCores() : a.jobs;
        return cmdSurvey(cx, a.survey);
    }
    if (*a.reportCmd) {
        a.report.jobs = a.jobs == 0 ? systemCores() : a.jobs;
        return cmdReport(cx, a.report);
    }
    return -1;
}

}  // namespace

int runInspect(int argc, const char* const* argv, Output& out, Platform& platform) {
    CLI::App app{"Looks into a Btrieve file set (6.x and later) without writing to it.",
                 "tabulon-inspect"};
    app.fallthrough();
    app.require_subcommand(0, 1);
    Args a;
    app.add_flag("--json", a.json, "print one JSON document");
    app.add_flag("--shared", a.shared, "let other processes read and write the set meanwhile");
    app.add_flag("--version", a.version, "print the version");
    fileCommands(app, a);
    folderCommands(app, a);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // --help, of the program or of a command.
        std::ostringstream help, ignored;
        app.exit(e, help, ignored);
        out.write(Stream::Out, help.str());
        return 0;
    } catch (const CLI::ParseError& e) {
        const std::string unknown = unknownCommand(app);
        out.write(Stream::Err, "tabulon-inspect: " + (unknown.empty() ? e.what() : unknown) +
                                   "\nRun with --help for more information.\n");
        return kStatusFailed;
    }
    if (std::string why; !applyLeadingOptions(a, &why)) {
        out.write(Stream::Err,
                  "tabulon-inspect: " + why + "\nRun with --help for more information.\n");
        return kStatusFailed;
    }
    if (a.version) {
        out.write(Stream::Out, std::string("tabulon-inspect ") + TABULON_VERSION + "\n" +
                                   TABULON_LICENSE_LINE + "\n");
        return 0;
    }
    Context cx{out, platform, a.json, a.shared, commandLine(argc, argv)};
    try {
        const int status = dispatch(cx, a);
        if (status >= 0) return status;
    } catch (const std::bad_alloc&) {
        return fail(out, "out of memory");
    } catch (const std::exception& e) {
        return fail(out, e.what());
    }
    out.write(Stream::Err, app.help());
    return kStatusFailed;
}
