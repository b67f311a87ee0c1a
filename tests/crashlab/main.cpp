// crashlab [--full] [--seed N] [--release-order] [--svg FILE]: cuts the
// workload of the shadow-paging model after every write and every sector of
// a torn write, on each kind of file and with each write order, and examines
// every cut (see README.md). Without --full every k-th cut point, about 300
// in all, with the test's seed. The run fails when the check misses damage
// it can see, when a prediction of advise is not what the repair then does,
// when the advised mask keeps fewer pages than another candidate, or (in
// the engine's order) when bits 1 and 8 leave an entry on a page bit 1
// relabelled while a complete version is on disk.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "crashlab/lab.h"
#include "inspect/repairs/advise.h"

namespace crashlab {
namespace {

constexpr size_t kSmallCuts = 300;
constexpr size_t kVerdicts = 5;

// Figures of a group of cut points. Column k < masks is candidate mask k,
// then the advice.
struct Tally {
    size_t cuts = 0, behind = 0;
    size_t verdicts[kVerdicts] = {};
    std::vector<size_t> whole;  // cut points where no page is lost
    std::vector<std::uint64_t> lostSum;
    std::vector<std::uint32_t> worst;
    std::vector<LossCounts> causes;
    std::map<std::string, size_t> advised;  // by mask, or why there is none

    void add(const CutResult& r) {
        const size_t masks = inspect::candidateMasks().size();
        if (whole.empty()) {
            whole.assign(masks + 1, 0);
            lostSum.assign(masks + 1, 0);
            worst.assign(masks + 1, 0);
            causes.assign(masks + 1, LossCounts{});
        }
        ++cuts;
        ++advised[r.advised >= 0 ? inspect::maskOption(inspect::candidateMasks()[size_t(r.advised)])
                  : !r.damage    ? "no damage found"
                  : r.incomplete ? "incomplete set"
                                 : "no mask mends"];
        ++verdicts[size_t(r.verdict)];
        behind += r.adviceBehind();
        for (size_t k = 0; k <= masks; ++k) {
            const std::uint32_t lost = k == masks ? r.lostAdvised : r.lostBy(k);
            whole[k] += lost == 0;
            lostSum[k] += lost;
            worst[k] = std::max(worst[k], lost);
            const size_t from = k < masks ? k : size_t(r.advised);
            if (r.causes.empty() || (k == masks && r.advised < 0)) continue;
            for (size_t c = 0; c < kLosses; ++c) causes[k][c] += r.causes[from][c];
        }
    }
    double share(size_t k) const { return cuts ? 100.0 * double(whole[k]) / double(cuts) : 0; }
    double mean(size_t k) const { return cuts ? double(lostSum[k]) / double(cuts) : 0; }
};

size_t maskColumn(std::int32_t mask) {
    const std::vector<std::int32_t>& m = inspect::candidateMasks();
    return size_t(std::find(m.begin(), m.end(), mask) - m.begin());
}

std::string share(const Tally& t, size_t k) {
    char b[32];
    if (!t.cuts) return "-";
    std::snprintf(b, sizeof b, "%.1f %%", t.share(k));
    return b;
}

std::string column(const Tally& t, size_t k) {
    char b[64];
    std::snprintf(b, sizeof b, "%5.1f%% %5.2f %3u", t.share(k), t.mean(k), unsigned(t.worst[k]));
    return b;
}

// Keys: kind or family, write order (0 A, 1 B), torn (0 whole, 1 torn).
using Key = std::tuple<std::string, int, int>;

void printKinds(const std::vector<std::string>& kinds, std::map<Key, Tally>& byKind) {
    const size_t f1 = maskColumn(-1), f12 = maskColumn(12),
                 advice = inspect::candidateMasks().size();
    std::printf(
        "\nBy kind, write order and cut (miss: visible misses; stale: misses behind right "
        "headers; beyond: past the page count; alarm: false alarms; whole %%, mean and "
        "worst pages lost)\n");
    std::printf("%-13s %-5s %5s | %4s %5s %6s %5s | %-20s | %-20s | %-20s | %6s\n", "kind", "order",
                "cuts", "miss", "stale", "beyond", "alarm", "/F-1", "/F12", "advice", "behind");
    for (const std::string& kind : kinds) {
        for (int o = 0; o < 2; ++o) {
            for (int torn = 0; torn < 2; ++torn) {
                const Tally& t = byKind[{kind, o, torn}];
                if (!t.cuts) continue;
                std::printf(
                    "%-13s %s %-5s %3zu | %4zu %5zu %6zu %5zu | %-20s | %-20s | %-20s | %6zu\n",
                    kind.c_str(), o ? "B" : "A", torn ? "torn" : "whole", t.cuts,
                    t.verdicts[size_t(CheckVerdict::MissedSeen)],
                    t.verdicts[size_t(CheckVerdict::MissedStale)],
                    t.verdicts[size_t(CheckVerdict::MissedBeyond)],
                    t.verdicts[size_t(CheckVerdict::FalseAlarm)], column(t, f1).c_str(),
                    column(t, f12).c_str(), column(t, advice).c_str(), t.behind);
            }
        }
    }
}

// Every page recovered, by family and kind of cut, as a Markdown table.
void printFamilies(const std::vector<std::string>& families, std::map<Key, Tally>& byFamily) {
    const size_t f1 = maskColumn(-1), f12 = maskColumn(12),
                 advice = inspect::candidateMasks().size();
    std::printf(
        "\nEvery page recovered, by family and cut\n\n"
        "| family | cut | A cuts | A /F-1 | A /F12 | A advice | B cuts | B /F-1 | B /F12 | B "
        "advice |\n"
        "|---|---|---|---|---|---|---|---|---|---|\n");
    auto row = [&](const std::string& name, const char* cut, const Tally& a, const Tally& b) {
        std::printf("| %s | %s | %zu | %s | %s | %s | %zu | %s | %s | %s |\n", name.c_str(), cut,
                    a.cuts, share(a, f1).c_str(), share(a, f12).c_str(), share(a, advice).c_str(),
                    b.cuts, share(b, f1).c_str(), share(b, f12).c_str(), share(b, advice).c_str());
    };
    std::map<std::pair<int, int>, Tally> all;
    for (const std::string& f : families) {
        for (int torn = 0; torn < 2; ++torn) {
            row(f, torn ? "torn" : "whole", byFamily[{f, 0, torn}], byFamily[{f, 1, torn}]);
        }
    }
    for (int torn = 0; torn < 2; ++torn) {
        row("all", torn ? "torn" : "whole", byFamily[{"all", 0, torn}], byFamily[{"all", 1, torn}]);
    }
}

void printMasks(std::map<Key, Tally>& byFamily) {
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    std::printf("\nBy mask, write order and cut (whole%%, mean lost, worst lost)\n%-8s", "mask");
    for (int o = 0; o < 2; ++o) {
        for (int torn = 0; torn < 2; ++torn) {
            std::printf(" | %s %-5s (%4zu cuts)  ", o ? "B" : "A", torn ? "torn" : "whole",
                        byFamily[{"all", o, torn}].cuts);
        }
    }
    std::printf("\n");
    for (size_t k = 0; k <= masks.size(); ++k) {
        const std::string name = k < masks.size() ? inspect::maskOption(masks[k]) : "advice";
        std::printf("%-8s", name.c_str());
        for (int o = 0; o < 2; ++o) {
            for (int torn = 0; torn < 2; ++torn) {
                std::printf(" | %-22s", column(byFamily[{"all", o, torn}], k).c_str());
            }
        }
        std::printf("\n");
    }
}

// The pages lost, by cause, over the cut points where the check found damage.
void printCauses(std::map<Key, Tally>& byFamily) {
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    std::printf("\nPages lost, by cause (all cuts)\n%-8s", "mask");
    for (size_t c = 0; c < kLosses; ++c) std::printf(" %15s", lossName(Loss(c)));
    std::printf("\n");
    for (size_t k = 0; k <= masks.size(); ++k) {
        const std::string name = k < masks.size() ? inspect::maskOption(masks[k]) : "advice";
        std::printf("%-8s", name.c_str());
        for (size_t c = 0; c < kLosses; ++c) {
            unsigned n = 0;
            for (int o = 0; o < 2; ++o) {
                for (int torn = 0; torn < 2; ++torn) n += byFamily[{"all", o, torn}].causes[k][c];
            }
            std::printf(" %15u", n);
        }
        std::printf("\n");
    }
}

// The recovered share by mask as bars, one group per write order.
void writeSvg(const std::string& path, const Tally orders[2]) {
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    const size_t bars = masks.size() + 1;
    const int bw = 22, gap = 40, h = 200, top = 30, left = 50;
    const int width = left + 2 * int(bars) * bw + 3 * gap;
    std::ofstream svg(path);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
        << h + top + 60 << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<text x=\"" << left << "\" y=\"18\">Cut points with every page recovered, by mask"
        << "</text>\n";
    for (int pct = 0; pct <= 100; pct += 25) {
        const int y = top + h - h * pct / 100;
        svg << "<line x1=\"" << left << "\" x2=\"" << width << "\" y1=\"" << y << "\" y2=\"" << y
            << "\" stroke=\"#ddd\"/><text x=\"5\" y=\"" << y + 4 << "\">" << pct << "%</text>\n";
    }
    for (int o = 0; o < 2; ++o) {
        const int x0 = left + gap + o * (int(bars) * bw + gap);
        svg << "<text x=\"" << x0 << "\" y=\"" << top + h + 45 << "\">order " << (o ? "B" : "A")
            << (o ? ": no flushes" : ": flushed steps") << "</text>\n";
        for (size_t k = 0; k < bars; ++k) {
            const int bh = int(h * orders[o].share(k) / 100.0), x = x0 + int(k) * bw;
            const std::string name = k < masks.size() ? inspect::maskOption(masks[k]) : "advice";
            svg << "<rect x=\"" << x << "\" y=\"" << top + h - bh << "\" width=\"" << bw - 4
                << "\" height=\"" << bh << "\" fill=\""
                << (k < masks.size() ? "#4477aa" : "#ee6677") << "\"><title>" << name << ": "
                << orders[o].share(k) << "%</title></rect>\n"
                << "<text x=\"" << x << "\" y=\"" << top + h + 14 << "\" font-size=\"8\">" << name
                << "</text>\n";
        }
    }
    svg << "</svg>\n";
}

struct Options {
    bool full = false;
    bool releaseOrder = false;
    std::uint32_t seed = 2;
    std::string svg = "crashlab.svg";
};

int run(const Options& opt) {
    std::vector<std::unique_ptr<Workload>> loads;
    std::vector<std::pair<size_t, Cut>> cuts;
    std::vector<std::string> kinds, families;
    std::uint32_t appended = 0;
    size_t growing = 0;
    for (const FileKind& kind : fileKinds()) {
        kinds.push_back(kind.name);
        if (std::find(families.begin(), families.end(), kind.family()) == families.end()) {
            families.push_back(kind.family());
        }
        for (Order order : {Order::Flushed, Order::Unordered}) {
            loads.push_back(std::make_unique<Workload>(kind, order, opt.seed));
            appended += loads.back()->appended();
            growing += loads.back()->appended() > 0;
            for (const Cut& c : loads.back()->cuts()) cuts.push_back({loads.size() - 1, c});
        }
    }
    const size_t step = opt.full ? 1 : std::max<size_t>(1, cuts.size() / kSmallCuts);
    const bool terminal = isatty(2);
    const auto start = std::chrono::steady_clock::now();
    std::map<Key, Tally> byKind, byFamily;
    Tally orders[2];
    size_t withExtension = 0;
    std::vector<std::string> failures, behind;
    for (size_t i = 0; i < cuts.size(); i += step) {
        const Workload& w = *loads[cuts[i].first];
        const CutResult r = examine(w, cuts[i].second, opt.releaseOrder);
        const int o = w.order() == Order::Unordered;
        byKind[{w.kind().name, o, r.torn}].add(r);
        byFamily[{w.kind().family(), o, r.torn}].add(r);
        byFamily[{"all", o, r.torn}].add(r);
        orders[o].add(r);
        withExtension += r.extension;
        if (r.verdict == CheckVerdict::MissedSeen)
            failures.push_back(r.id + ": the check misses damage");
        for (const std::string& m : r.mismatches) failures.push_back(r.id + ": " + m);
        // With bits 1 and 8 the engine takes a page it relabelled only when no
        // other page names the logical page, so never over a complete version.
        for (size_t k = 0; k < r.causes.size() && !opt.releaseOrder; ++k) {
            const std::int32_t mask = inspect::candidateMasks()[k];
            if ((mask & 9) == 9 && r.causes[k][size_t(Loss::HeaderWritten)]) {
                failures.push_back(
                    r.id + ": " + inspect::maskOption(mask) +
                    " leaves a page on a page it relabelled while a version is on disk");
            }
        }
        if (r.adviceBehind()) {
            char b[160];
            std::snprintf(
                b, sizeof b, ": the advice (%s) loses %u pages, the best candidate %u",
                r.advised >= 0
                    ? inspect::maskOption(inspect::candidateMasks()[size_t(r.advised)]).c_str()
                    : "none",
                unsigned(r.lostAdvised), unsigned(r.bestLost()));
            behind.push_back(r.id + b + r.behindWhy);
        }
        if (terminal)
            std::fprintf(stderr, "\rcut point %zu of %zu  %-28s", i + 1, cuts.size(), r.id.c_str());
    }
    if (terminal) std::fprintf(stderr, "\n");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("crash lab, seed %u, %s repair order: %zu cut points examined in %.0f s\n",
                opt.seed, opt.releaseOrder ? "the first release's" : "the engine's",
                orders[0].cuts + orders[1].cuts, seconds);
    std::printf(
        "pages appended into extension file 1: %u, in %zu of %zu workloads; cut points "
        "examined with an extension file: %zu\n",
        unsigned(appended), growing, loads.size(), withExtension);
    printKinds(kinds, byKind);
    printFamilies(families, byFamily);
    printMasks(byFamily);
    printCauses(byFamily);
    for (int o = 0; o < 2; ++o) {
        std::printf("\nAdvised in order %s:", o ? "B" : "A");
        for (const auto& [mask, n] : orders[o].advised) std::printf(" %s %zu;", mask.c_str(), n);
    }
    std::printf("\n\nAdvice behind the best candidate at %zu cut points\n", behind.size());
    for (const std::string& b : behind) std::printf("FAIL %s\n", b.c_str());
    writeSvg(opt.svg, orders);
    for (const std::string& f : failures) std::printf("FAIL %s\n", f.c_str());
    return failures.empty() && behind.empty() ? 0 : 1;
}

}  // namespace
}  // namespace crashlab

int main(int argc, char** argv) {
    crashlab::Options opt;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--full")) {
            opt.full = true;
            opt.seed = 1;
        } else if (!std::strcmp(argv[i], "--release-order")) {
            opt.releaseOrder = true;
        } else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) {
            opt.seed = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--svg") && i + 1 < argc) {
            opt.svg = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: crashlab [--full] [--seed N] [--release-order] [--svg FILE]\n");
            return 2;
        }
    }
    return crashlab::run(opt);
}
