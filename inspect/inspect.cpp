#include "inspect/inspect.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <optional>
#include <sstream>
#include <string>

#include "inspect/plan.h"
#include "inspect/session.h"
#include "inspect/workers.h"
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

int runInspect(int argc, const char* const* argv, Output& out) {
    using namespace inspect;
    CLI::App app{"Looks into a Btrieve file set (6.x and later) without writing to it.",
                 "tabulon-inspect"};
    app.fallthrough();
    app.require_subcommand(0, 1);
    bool json = false, shared = false, version = false;
    app.add_flag("--json", json, "print one JSON document");
    app.add_flag("--shared", shared, "let other processes read and write the set meanwhile");
    app.add_flag("--version", version, "print the version");

    std::string file, out_path, page;
    std::optional<uint32_t> pair;
    bool problems = false;
    unsigned jobs = 0;

    CLI::App* info = app.add_subcommand("info", "the file set and the FCR");
    info->add_option("FILE", file, "main file of the set")->required();
    CLI::App* pairs = app.add_subcommand("pairs", "one row per PAT pair");
    pairs->add_option("FILE", file, "main file of the set")->required();
    CLI::App* entries = app.add_subcommand("entries", "one row per PAT entry");
    entries->add_option("FILE", file, "main file of the set")->required();
    entries->add_option("--pair", pair, "only this PAT pair");
    entries->add_flag("--problems", problems, "only the entries that are not sound");
    CLI::App* pg = app.add_subcommand("page", "one physical page, decoded and in hex");
    pg->add_option("FILE", file, "main file of the set")->required();
    pg->add_option("N", page, "physical page number (decimal or 0x hex)")->required();
    CLI::App* map = app.add_subcommand("map", "an SVG picture of the pages");
    map->add_option("FILE", file, "main file of the set")->required();
    map->add_option("-o,--output", out_path, "the SVG file to write")->required();
    std::vector<std::string> plan_options;
    CLI::App* plan =
        app.add_subcommand("plan", "what tabulon FILE /F# would write, writing nothing");
    // tabulon's options start with '/', which CLI11 reads as an option of
    // its own on Windows: here they are words to hand on.
    plan->allow_windows_style_options(false);
    plan->add_option("FILE", file, "main file of the set")->required();
    plan->add_option("OPTIONS", plan_options,
                     "tabulon's options (/F#, /R, /O, /S#, /Z, /D); /F-1 without a /F");
    CLI::App* survey = app.add_subcommand("survey", "check every Btrieve file under the folders");
    SurveyArgs surveyArgs;
    survey->add_option("DIR", surveyArgs.dirs, "folders to walk (or files to check)")->required();
    survey->add_option("-j,--jobs", jobs, "files checked at a time (default: the cores)");
    survey->add_flag("--strict", surveyArgs.strict,
                     "count every finding as damage (and, for nagios, a file not checked)");
    survey->add_option("--format", surveyArgs.format, "text, json, prometheus or nagios")
        ->check(CLI::IsMember({"text", "json", "prometheus", "nagios"}));
    survey->add_option("-o,--output", surveyArgs.output,
                       "write to this file (through a temporary file and a rename)");

    CLI::App* report =
        app.add_subcommand("report", "the survey as one HTML page, with the maps of problem files");
    SurveyArgs reportArgs;
    report->add_option("DIR", reportArgs.dirs, "folders to walk (or files to check)")->required();
    report->add_option("-o,--output", reportArgs.output, "the HTML file to write")->required();
    report->add_option("-j,--jobs", jobs, "files checked at a time (default: the cores)");
    report->add_flag("--strict", reportArgs.strict, "count every finding as damage");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // --help, of the program or of a command.
        std::ostringstream help, ignored;
        app.exit(e, help, ignored);
        out.write(Stream::Out, help.str());
        return 0;
    } catch (const CLI::ParseError& e) {
        out.write(Stream::Err, std::string("tabulon-inspect: ") + e.what() +
                                   "\nRun with --help for more information.\n");
        return kStatusFailed;
    }
    if (version) {
        out.write(Stream::Out, std::string("tabulon-inspect ") + TABULON_VERSION + "\n" +
                                   TABULON_LICENSE_LINE + "\n");
        return 0;
    }

    Context cx{out, json, shared, commandLine(argc, argv)};
    try {
        if (*info) return cmdInfo(cx, file);
        if (*pairs) return cmdPairs(cx, file);
        if (*entries) return cmdEntries(cx, file, pair, problems);
        if (*pg) return cmdPage(cx, file, page);
        if (*map) return cmdMap(cx, file, out_path);
        if (*plan) return cmdPlan(cx, file, plan_options);
        if (*survey) {
            surveyArgs.jobs = jobs == 0 ? systemCores() : jobs;
            return cmdSurvey(cx, surveyArgs);
        }
        if (*report) {
            reportArgs.jobs = jobs == 0 ? systemCores() : jobs;
            return cmdReport(cx, reportArgs);
        }
    } catch (const std::bad_alloc&) {
        return fail(out, "out of memory");
    } catch (const std::exception& e) {
        return fail(out, e.what());
    }
    out.write(Stream::Err, app.help());
    return kStatusFailed;
}
