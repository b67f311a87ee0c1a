#include "inspect/inspect.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <optional>
#include <sstream>
#include <string>

#include "inspect/session.h"
#include "inspect/workers.h"
#include "tabulon_version.h"

using namespace tabulon;

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

    std::string file, dir, out_path, page;
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
    CLI::App* survey = app.add_subcommand("survey", "check every Btrieve file under a folder");
    survey->add_option("DIR", dir, "folder to walk")->required();
    survey->add_option("-j,--jobs", jobs, "files checked at a time (default: the cores)");

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
        out.write(Stream::Out, std::string("tabulon-inspect ") + TABULON_VERSION + "\n");
        return 0;
    }

    Context cx{out, json, shared};
    try {
        if (*info) return cmdInfo(cx, file);
        if (*pairs) return cmdPairs(cx, file);
        if (*entries) return cmdEntries(cx, file, pair, problems);
        if (*pg) return cmdPage(cx, file, page);
        if (*map) return cmdMap(cx, file, out_path);
        if (*survey) return cmdSurvey(cx, dir, jobs == 0 ? systemCores() : jobs);
    } catch (const std::bad_alloc&) {
        return fail(out, "out of memory");
    } catch (const std::exception& e) {
        return fail(out, e.what());
    }
    out.write(Stream::Err, app.help());
    return kStatusFailed;
}
