#include "differential/generator.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "builder/layout.h"
#include "builder/recipe.h"

namespace differential {

std::uint64_t Rng::next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// What the description of a file set fixes, and what the built model says
// about it, for the changes to aim at.
struct Shape {
    std::uint16_t version = 0x0800;  // folded
    std::uint32_t pageSize = 1024;
    std::uint32_t logical = 0;
    std::uint32_t pairs = 1;
    std::uint32_t physicalPages = 0;  // page slots of the built file
    std::uint64_t size = 0;           // bytes of the built file
    bool compressed = false;
};

struct Family {
    std::uint16_t version;
    int weight;
};

// Every layout family, the version codes the header check names and some it
// does not (0x0620, 0x0940, 0x0A00, 0x8000), and a file before 6.x.
const std::vector<Family> kFamilies = {
    {0x0500, 2}, {0x0600, 10}, {0x0610, 6}, {0x0620, 3}, {0x0700, 10}, {0x0800, 12}, {0x0900, 8},
    {0x0940, 2}, {0x0950, 12}, {0x0951, 3}, {0x0A00, 4}, {0x0D00, 10}, {0x0D30, 8},  {0x8000, 1},
};

std::uint16_t pickVersion(Rng& rng) {
    int total = 0;
    for (const Family& f : kFamilies) total += f.weight;
    int at = int(rng.below(std::uint32_t(total)));
    for (const Family& f : kFamilies) {
        if (at < f.weight) return f.version;
        at -= f.weight;
    }
    return 0x0800;
}

// A page size the builder lays out for this version (it needs an entry
// count); sizes the tables do not know come later, through the FCR.
std::uint32_t pickPageSize(Rng& rng, std::uint16_t v) {
    if (v < 0x0600) return rng.pick<std::uint32_t>({512, 1024});
    if (v < 0x0800) {
        if (rng.chance(5)) return 8192;
        return rng.pick<std::uint32_t>({512, 512, 1024, 1024, 1536, 2048, 2560, 3072, 4096});
    }
    if (v < 0x0950) {
        return rng.pick<std::uint32_t>(
            {512, 512, 1024, 1024, 1536, 2048, 2560, 3072, 3584, 4096, 8192});
    }
    if (rng.chance(4)) return 16384;
    return rng.pick<std::uint32_t>({1024, 1024, 1024, 2048, 2048, 4096, 8192});
}

// Logical pages: a few mostly, now and then enough for a second pair where
// the pair stride keeps the file small.
std::uint32_t pickLogical(Rng& rng, const tbuild::Layout& l) {
    if (l.version < 0x0600) return rng.between(0, 4);
    if (rng.chance(5)) return 0;
    // Pages past the slots a PAT page holds have no entry (from 9.51 on a
    // page of 1024 bytes holds fewer slots than the table counts).
    const std::uint32_t slots = l.slotsOnDisk();
    const bool smallStride = l.pairStride <= 512 * 1024 && slots == l.entriesPerPage;
    if (smallStride && rng.chance(8)) {
        return l.entriesPerPage + rng.between(1, std::min<std::uint32_t>(l.entriesPerPage, 40));
    }
    if (rng.chance(20)) return std::min(slots, rng.between(20, 80));
    return std::min(slots, rng.between(1, 16));
}

std::string maskBytes(Rng& rng) {
    std::string s;
    for (int i = 0; i < 9; ++i) s += " " + hex(rng.below(256));
    return s;
}

// The description line(s): family, page size, pages, and the choices of the
// generator's file.
std::string describe(Rng& rng, Shape& s) {
    std::ostringstream out;
    s.version = pickVersion(rng);
    s.pageSize = pickPageSize(rng, s.version);
    std::uint16_t stored = s.version;
    if (s.version > 0x0600 && s.version < 0x8000 && rng.chance(8)) {
        stored = std::uint16_t(0x10000 - s.version);
    }
    out << "family " << hex(stored) << " page " << s.pageSize;
    if (s.version >= 0x0600 && rng.chance(25)) out << " style " << (rng.chance(50) ? "zero" : "fc");
    std::uint32_t compressed = 0;
    if (s.version >= 0x0950 && rng.chance(10)) {
        compressed = s.pageSize;
        if (s.pageSize >= 2048 && rng.chance(30)) compressed = s.pageSize / 2;
        s.compressed = true;
        out << " compressed " << compressed;
    }
    const tbuild::Layout l = tbuild::makeLayout(s.version, s.pageSize, compressed);
    s.logical = pickLogical(rng, l);
    out << " logical " << s.logical;
    if (s.version < 0x0600) return out.str() + "\n";
    if (l.pairStride <= 512 * 1024 && rng.chance(6)) out << " pairs " << rng.between(2, 3);
    // Past pair 31 of a 6.x file, pages lie 4096 bytes further on.
    if (s.version < 0x0700 && s.pageSize == 512 && rng.chance(10)) out << " pairs 32";
    if (rng.chance(20)) out << " mix data";
    if (rng.chance(25)) out << " scatter " << rng.between(1, 1000);
    if (rng.chance(30)) out << " fcrcurrent 1";
    if (rng.chance(30)) out << " patcurrent 1";
    if (rng.chance(8)) out << " encrypted" << maskBytes(rng);
    if (rng.chance(10)) {
        out << " pagecount "
            << rng.pick<std::uint32_t>(
                   {0, s.logical, s.logical + 1, s.logical + 3, s.logical / 2, 0xFFFF, 0xFFFFFFFF});
    }
    return out.str() + "\n";
}

std::string copyOf(Rng& rng) {
    return rng.pick<std::string>({"0", "1", "both", "current", "other"});
}

std::uint32_t someType(Rng& rng) {
    return rng.pick<std::uint32_t>(
        {0, 0x44, 0x56, 0x41, 0x80, 0x83, 0x8001, 0x4400, 0x4544, 0x0100, rng.below(0x10000)});
}

std::uint32_t someLogical(Rng& rng, const Shape& s) {
    return rng.between(1, s.logical);
}

std::uint32_t somePhysical(Rng& rng, const Shape& s) {
    if (rng.chance(10))
        return rng.pick<std::uint32_t>({0, 1, 2, 0xFFFFFFFF, 0xFFFFFFFE, 0x00FFFFFF});
    return rng.below(s.physicalPages + 4);
}

// One change to an entry of the PAT.
std::string entryChange(Rng& rng, const Shape& s) {
    std::string line = "entry " + std::to_string(someLogical(rng, s));
    switch (rng.below(6)) {
        case 0: line += " phys " + std::to_string(somePhysical(rng, s)); break;
        case 1: line += " logical " + std::to_string(someLogical(rng, s)); break;
        case 2: line += " beyond " + std::to_string(rng.below(4)); break;
        case 3: line += " type " + hex(someType(rng)); break;
        case 4: line += " free"; break;
        default:
            line += " phys " + std::to_string(somePhysical(rng, s)) + " type " + hex(someType(rng));
    }
    if (rng.chance(40)) line += " copy " + copyOf(rng);
    return line;
}

// One change to a page header: of a logical page's page, or of a physical
// page (which may lie past the end).
std::string headerChange(Rng& rng, const Shape& s) {
    std::string line = rng.chance(80) ? "header " + std::to_string(someLogical(rng, s))
                                      : "phys " + std::to_string(rng.below(s.physicalPages + 3));
    switch (rng.below(6)) {
        case 0: return line + " zero";
        case 1: return line + " absent";
        case 2: return line + " id " + std::to_string(rng.below(s.logical + 3));
        case 3: return line + " type " + hex(someType(rng));
        case 4: return line + " usage " + hex(rng.below(0x10000));
        default: return line + " nousagebit";
    }
}

std::string candidateChange(Rng& rng, const Shape& s) {
    std::string line = "candidate " + std::to_string(someLogical(rng, s)) + " usage " +
                       hex(rng.pick<std::uint32_t>({0, 1, 5, 0x8001, 0x8fff, 0xffff}));
    if (rng.chance(40)) line += " type " + hex(someType(rng));
    return line;
}

std::string patChange(Rng& rng, const Shape& s) {
    std::string line = "pat " + std::to_string(rng.between(1, s.pairs));
    if (s.version >= 0x0800 && rng.chance(10)) return line + " iddiffer";
    if (rng.chance(50)) line += " copy " + copyOf(rng);
    switch (rng.below(5)) {
        case 0:
        case 1: return line + " signature";
        case 2:
            return line + " number " +
                   hex(rng.pick<std::uint32_t>(
                       {0, 2, 0x100, 0x10001, 0xFFFFFF, rng.below(1u << 24)}));
        case 3: return line + " usage " + hex(rng.next() & 0xFFFFFFFF);
        default: return line + " byte " + std::to_string(rng.below(24)) + " " + hex(rng.below(256));
    }
}

std::string fcrChange(Rng& rng, const Shape& s) {
    const std::string copy = rng.chance(30) ? " copy " + rng.pick<std::string>({"0", "1"}) : "";
    switch (rng.below(9)) {
        case 0:
            return "fcr pagecount " +
                   std::to_string(
                       rng.pick<std::uint32_t>({0, 1, s.logical, s.logical + 7, 0xFFFFFFFF})) +
                   copy;
        case 1:
            return "fcr lastpair " + std::to_string(rng.pick<std::uint32_t>({0, 1, 2, 3, 5, 300})) +
                   copy;
        case 2: return "fcr usage " + hex(rng.next() & 0xFFFFFFFF) + copy;
        case 3:
        case 4:
            // Page sizes inside and outside the entries tables (3072 and 6144
            // from 9.50 on, 5120 and 768 everywhere).
            return "fcr pagesize " +
                   std::to_string(rng.pick<std::uint32_t>(
                       {512, 768, 1024, 1536, 2048, 3072, 4096, 5120, 6144, 8192, 12288, 16384}));
        case 5:
            return "fcr compressed " +
                   std::to_string(rng.pick<std::uint32_t>({0, 512, 1024, s.pageSize}));
        case 6:
            return "fcr version " +
                   hex(rng.pick<std::uint32_t>({0x0500, 0x0600, 0x0700, 0x0800, 0x0950, 0x0D00,
                                                0x0D30, 0xF800, 0x8000, 0x1234}));
        case 7: return "fcr encrypted" + maskBytes(rng);
        default:
            return "fcr byte " + std::to_string(rng.below(512)) + " " + hex(rng.below(256)) + copy;
    }
}

// Bytes cut off or added at the end, or raw bytes anywhere.
std::string sizeChange(Rng& rng, const Shape& s) {
    if (rng.chance(30)) {
        return "poke " + std::to_string(rng.below(std::uint32_t(s.size))) + " " +
               hex(rng.below(256));
    }
    if (rng.chance(20)) return "size " + std::to_string(s.size + rng.between(1, 3 * s.pageSize));
    // Files before 6.x have no PAT, so their pages have no logical numbers.
    if (s.logical > 0 && s.version >= 0x0600 && rng.chance(40)) {
        return "size logical:" + std::to_string(someLogical(rng, s)) + "+" +
               std::to_string(rng.below(s.pageSize));
    }
    return "size " + std::to_string(rng.between(0, std::uint32_t(s.size)));
}

std::string oneChange(Rng& rng, const Shape& s) {
    const std::uint32_t what = rng.below(100);
    if (s.logical == 0 || s.version < 0x0600) {
        if (s.version >= 0x0600 && what < 40) return patChange(rng, s);
        return what < 70 ? fcrChange(rng, s) : sizeChange(rng, s);
    }
    if (what < 25) return entryChange(rng, s);
    if (what < 45) return headerChange(rng, s);
    if (what < 52) return candidateChange(rng, s);
    if (what < 70) return patChange(rng, s);
    if (what < 84) return fcrChange(rng, s);
    if (what < 88) return "type " + std::to_string(someLogical(rng, s)) + " " + hex(someType(rng));
    return sizeChange(rng, s);
}

// How the bytes are spread over members: extension files at cuts anywhere,
// a delta file, a stray extension file outside the set.
std::string writePlan(Rng& rng, const Shape& s) {
    std::string plan;
    if (rng.chance(18)) {
        if (rng.chance(30)) {
            const std::uint64_t step = std::max<std::uint64_t>(s.size / rng.between(2, 6) + 1, 512);
            plan += "split every " + std::to_string(step) + "\n";
        } else {
            std::vector<std::uint32_t> cuts(rng.between(1, 3));
            for (auto& c : cuts) c = rng.below(std::uint32_t(s.size) + 1);
            std::sort(cuts.begin(), cuts.end());
            plan += "split";
            for (auto c : cuts) plan += " " + std::to_string(c);
            plan += "\n";
        }
    }
    if (rng.chance(12))
        plan += rng.chance(50) ? "delta\n" : "delta " + std::to_string(rng.below(4096)) + "\n";
    if (rng.chance(4)) plan += "stray " + std::to_string(rng.between(1, 3)) + " 512\n";
    return plan;
}

// Reads what the built model says about the described file.
void measure(const std::string& description, Shape& s) {
    const tbuild::BuiltRecipe built = tbuild::interpretRecipe(description);
    s.pairs = std::max<std::uint32_t>(built.file.pairCount(), 1);
    s.physicalPages = built.file.physicalPages();
    s.size = built.file.size();
}

// ------------------------------------------------------------ command lines

// An option as a user might type it: either prefix, either case, now and
// then with trailing characters that the tool ignores.
std::string flag(Rng& rng, char letter) {
    std::string s = rng.chance(80) ? "/" : "-";
    s += rng.chance(80) ? letter : char(letter - 'A' + 'a');
    if (rng.chance(5)) s += "xyz";
    return s;
}

std::string fixOption(Rng& rng) {
    std::string s = flag(rng, 'F').substr(0, 2);
    const std::uint32_t form = rng.below(100);
    if (form < 70) return s + std::to_string(rng.between(1, 15));
    if (form < 80) return s + "-1";
    if (form < 85) return s + rng.pick<std::string>({"0", "16", "31", "255", "-2", "-16"});
    if (form < 90) return s + rng.pick<std::string>({"", "abc", "8x", " 8", "+4", "0x8"});
    return s + std::to_string(rng.pick<int>({3, 7, 9, 12, 14}));
}

std::string startOption(Rng& rng) {
    std::string s = flag(rng, 'S').substr(0, 2);
    return s + rng.pick<std::string>({"0", "1", "1", "2", "3", "5", "-1", "", "2x", "70000"});
}

std::string someOption(Rng& rng) {
    const std::uint32_t what = rng.below(100);
    if (what < 30) return fixOption(rng);
    if (what < 55) return flag(rng, 'R');
    if (what < 65) return flag(rng, 'O');
    if (what < 73) return startOption(rng);
    if (what < 78) return flag(rng, 'U');
    if (what < 86) return flag(rng, 'Z');
    if (what < 93) return flag(rng, 'D');
    // Letters that name no option, a lone prefix, a word that is no option.
    return rng.pick<std::string>({"/Q", "-X", "/", "-", "word", "/?", "/1"});
}

// A command line of the tabulon program: the path and up to four options
// mostly; now and then none, too many, a question mark, a path that is not
// there or an option in the path's place.
std::vector<std::string> commandLineFor(Rng& rng, const std::string& mainName) {
    const std::uint32_t form = rng.below(100);
    if (form < 2) return {};
    if (form < 4) return {rng.pick<std::string>({"?", "/?", "-?", "x?y"}), "/R"};
    std::vector<std::string> args;
    if (form < 7) {
        args.push_back(rng.pick<std::string>({"MISSING.DAT", mainName + ".^01", "/R"}));
    } else {
        args.push_back(mainName);
    }
    std::uint32_t options = rng.between(0, 4);
    if (form >= 7 && form < 9) options = rng.between(5, 7);
    for (std::uint32_t i = 0; i < options; ++i) args.push_back(someOption(rng));
    // The progress lines are there without /R; most runs leave them out.
    if (options < 4 && rng.chance(50)) args.push_back("/R");
    return args;
}

}  // namespace

std::string commandLine(const std::vector<std::string>& args) {
    std::string line = "tabulon";
    for (const std::string& a : args) {
        const bool plain = !a.empty() && a.find_first_of(" '\"?*$\\") == std::string::npos;
        line += plain ? " " + a : " '" + a + "'";
    }
    return line;
}

Case generateCase(std::uint64_t seed) {
    Rng rng(seed);
    Case c;
    c.seed = seed;
    c.mainName = rng.chance(90) ? "TEST.DAT"
                                : rng.pick<std::string>({"orders.btr", "NOEXT", "a.b.c", "-D.DAT"});
    Shape s;
    const std::string description = describe(rng, s);
    measure(description, s);
    std::string recipe = "name " + c.mainName + "\n" + description;
    const std::uint32_t changes = rng.chance(20) ? 0 : rng.between(1, 5);
    for (std::uint32_t i = 0; i < changes; ++i) recipe += oneChange(rng, s) + "\n";
    recipe += writePlan(rng, s);
    c.recipe = recipe;
    c.args = commandLineFor(rng, c.mainName);
    return c;
}

}  // namespace differential
