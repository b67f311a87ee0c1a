// tabulon-inspect plan against the repair itself, on every golden case of the
// tabulon program that repairs (its arguments hold /F): the plan prints what
// the repair prints, up to its summary, and changes no byte of the set; its
// JSON writes, laid over the files, give the files the repair leaves.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "builder/recipe.h"
#include "support.h"

using namespace tabulon;

namespace {

namespace fs = std::filesystem;
using itest::Json;

std::optional<std::string> readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

using Files = std::map<std::string, std::string>;

Files snapshot(const fs::path& dir) {
    Files files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) files[e.path().filename().string()] = *readText(e.path());
    }
    return files;
}

// The real file a case copies, from its `realfile` file or a `realfile`
// line of its recipe.
std::optional<std::string> realFile(const fs::path& c) {
    if (auto text = readText(c / "realfile")) {
        for (const std::string& l : lines(*text)) {
            if (!l.empty() && l[0] != '#') return l;
        }
    }
    if (auto recipe = readText(c / "recipe")) {
        for (const std::string& l : lines(*recipe)) {
            std::istringstream words(l);
            std::string key, path;
            words >> key >> path;
            if (key == "realfile" && !path.empty()) return path;
        }
    }
    return std::nullopt;
}

bool isFixMask(const std::string& a) {
    return a.size() >= 2 && (a[0] == '/' || a[0] == '-') &&
           std::toupper(static_cast<unsigned char>(a[1])) == 'F';
}

// Lays the plan's writes over the files as they were.
Files applyWrites(Files files, const Json& writes) {
    for (const Json& w : writes) {
        const std::string name = fs::path(w["member"].get<std::string>()).filename().string();
        std::string& bytes = files[name];
        const uint64_t offset = w["memberOffset"].get<uint64_t>();
        const std::string hex = w["after"].get<std::string>();
        if (bytes.size() < offset + hex.size() / 2) bytes.resize(offset + hex.size() / 2, '\0');
        for (size_t i = 0; i < hex.size() / 2; ++i) {
            bytes[offset + i] = char(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        }
    }
    return files;
}

// The PAT page copies the writes land in, and how many of them the repair
// left with other bytes than before.
std::pair<size_t, size_t> patPagesChanged(const Files& before, const Files& after,
                                          const Json& writes) {
    std::map<std::pair<uint32_t, int>, bool> changed;
    for (const Json& w : writes) {
        if (w["kind"] != "pat-page") continue;
        bool& c = changed[{w["pair"].get<uint32_t>(), w["copy"].get<int>()}];
        const std::string name = fs::path(w["member"].get<std::string>()).filename().string();
        const uint64_t at = w["memberOffset"].get<uint64_t>(), n = w["length"].get<uint64_t>();
        c = c || before.at(name).compare(at, n, after.at(name), at, n) != 0;
    }
    size_t n = 0;
    for (const auto& [copy, differs] : changed) n += differs ? 1 : 0;
    return {changed.size(), n};
}

TEST(Plan, PrintsTheRepairAndWritesNothingOnEveryGoldenRepairCase) {
    const fs::path cases = fs::path(TABULON_SOURCE_DIR) / "tests/golden/cases";
    int tried = 0;
    for (const auto& entry : fs::directory_iterator(cases)) {
        const fs::path c = entry.path();
        const auto args = readText(c / "args");
        if (!args || fs::exists(c / "fifos")) continue;
        std::vector<std::string> words = lines(*args);
        if (words.empty() || words[0] != "@FILE") continue;
        if (std::none_of(words.begin() + 1, words.end(), isFixMask)) continue;
        SCOPED_TRACE(c.filename().string());

        itest::ScratchDir dir("tabulon-plan");
        std::string mainName = "TEST.DAT";
        if (auto real = realFile(c)) {
            const fs::path source = fs::path(TABULON_REALFILES_DIR) / *real;
            if (!fs::is_regular_file(source)) continue;
            mainName = fs::path(*real).filename().string();
            fs::copy_file(source, dir.path() / mainName);
            fs::permissions(dir.path() / mainName, fs::perms::owner_write, fs::perm_options::add);
        } else if (auto recipe = readText(c / "recipe")) {
            tbuild::BuiltRecipe built = tbuild::interpretRecipe(*recipe);
            if (built.mainName) mainName = *built.mainName;
            tbuild::writeFileSet(built.file, dir.path(mainName), built.plan);
        } else {
            continue;
        }
        const std::string path = dir.path(mainName);
        std::vector<std::string> options(words.begin() + 1, words.end());
        ++tried;

        const Files before = snapshot(dir.path());
        std::vector<std::string> planArgs = {"plan", path};
        planArgs.insert(planArgs.end(), options.begin(), options.end());
        const itest::Result plan = itest::inspect(planArgs);
        planArgs.insert(planArgs.begin(), "--json");
        const itest::Result planJson = itest::inspect(planArgs);
        EXPECT_EQ(snapshot(dir.path()), before) << "the plan changed the files";

        std::vector<const char*> argv = {"tabulon", path.c_str()};
        for (const std::string& o : options) argv.push_back(o.c_str());
        BufferOutput real;
        const int status =
            runTabulon(int(argv.size()), argv.data(), real, systemPlatform(), nullptr, {});

        EXPECT_EQ(plan.err, real.errText);
        ASSERT_GE(plan.out.size(), real.outText.size());
        EXPECT_EQ(plan.out.substr(0, real.outText.size()), real.outText);
        EXPECT_EQ(plan.out.substr(real.outText.size()).rfind("\nPlan of the repair", 0), 0u);
        const Json j = planJson.json();
        EXPECT_EQ(j["stdout"], real.outText);
        EXPECT_EQ(j["stderr"], real.errText);
        EXPECT_EQ(j["status"], status);
        EXPECT_EQ(applyWrites(before, j["writes"]), snapshot(dir.path()))
            << "the plan's writes do not give the repaired files";
        // A PAT page written with the bytes it held counts as unchanged.
        const Json& sum = j["summary"];
        const auto [written, changed] = patPagesChanged(before, snapshot(dir.path()), j["writes"]);
        EXPECT_EQ(sum["patPages"].get<size_t>(), written);
        EXPECT_EQ(sum["patPages"].get<size_t>() - sum["patPagesUnchanged"].get<size_t>(), changed);
        if (status != 0 || !j["incomplete"].is_null()) {
            EXPECT_EQ(plan.status, 2);
        } else {
            EXPECT_EQ(plan.status, j["writes"].empty() ? 0 : 1);
        }
    }
    EXPECT_GE(tried, 30);
}

}  // namespace
