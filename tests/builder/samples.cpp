#include "builder/samples.h"

#include <cstdio>

#include "builder/recipe.h"

namespace tbuild {

std::string sampleRecipe(const SampleShape& s) {
    const std::uint16_t v = s.version;
    char line[160];
    std::string r;
    auto add = [&r](const char* text) { r += text, r += '\n'; };
    const unsigned stored = s.signature ? 0x10000u - v : v;
    if (v < 0x0600) {
        std::snprintf(line, sizeof line, "family 0x%04X style %s page %u logical 1 pagecount 3",
                      stored, s.signature ? "fc" : "zero", s.pageSize);
        add(line);
        add("fcr lastpair 1 copy 0");
        return r;
    }
    std::snprintf(line, sizeof line,
                  "family 0x%04X style %s page %u logical 4 mix data pagecount %u fcrcurrent 1 "
                  "patcurrent 1",
                  stored, s.signature ? "fc" : "zero", s.pageSize, v < 0x0800 ? 3u : 6u);
    add(line);
    if (s.compressed && v >= 0x0950) {
        std::snprintf(line, sizeof line, "compressed %u", s.pageSize);
        add(line);
    }
    if (!s.signature && v >= 0x0800 && v < 0x0950) {
        add("# The usage counts, above the version code in the same word.");
        add("fcr u16 8 1 copy 0");
        add("fcr u16 8 2 copy 1");
    }
    add("type 2 0x80          # an index page");
    add("type 3 'V'           # a variable page");
    add("header 1 usage 0x8001");
    add("header 4 usage 0x8004");
    if (v >= 0x0D30) add("entry 4 type 0x4544 copy both   # 'D' 'E', a data page");
    add("duplicate 2 usage 1  # an older copy of page 2 that no entry names");
    return r;
}

BtrFile makeSample(const SampleShape& shape) {
    return interpretRecipe(sampleRecipe(shape)).file;
}

std::vector<NamedSample> healthySamples() {
    const std::pair<const char*, SampleShape> shapes[] = {
        {"v0500", {0x0500, 512}},
        {"v0600", {0x0600, 512}},
        {"v0600_4096", {0x0600, 4096}},
        {"v0610_signed", {0x0610, 512, true}},
        {"v0620", {0x0620, 1024}},
        {"v0700", {0x0700, 1024}},
        {"v0800", {0x0800, 512}},
        {"v0800_2048", {0x0800, 2048}},
        {"v0900_signed", {0x0900, 1024, true}},
        {"v0950", {0x0950, 1024}},
        {"v0951", {0x0951, 1024}},
        {"v0D00", {0x0D00, 1024}},
        {"v0D00_2048", {0x0D00, 2048}},
        {"v0D00_compressed", {0x0D00, 1024, false, true}},
        {"v0D30", {0x0D30, 1024}},
    };
    std::vector<NamedSample> samples;
    for (const auto& [name, shape] : shapes) samples.push_back({name, shape, sampleRecipe(shape)});
    return samples;
}

}  // namespace tbuild
