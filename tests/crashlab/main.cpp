// crashlab [--full] [--seed N] [--svg FILE]: cuts the workload of the
// shadow-paging model after every write and every sector of a torn write, on
// each kind of file and with each write order, and examines every cut (see
// README.md). Without --full every k-th cut point, about 300 in all, with
// the test's seed: the run fails when the check misses damage it can see or
// when a prediction of advise is not what the repair then does.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crashlab/lab.h"
#include "inspect/advise.h"

namespace crashlab {
namespace {

constexpr size_t kSmallCuts = 300;
constexpr size_t kVerdicts = 5;

// Figures of a group of cut points. Column k < masks is candidate mask k,
// then the advice.
struct Tally {
    size_t cuts = 0, behind = 0, mismatched = 0;
    size_t verdicts[kVerdicts] = {};
    std::vector<size_t> whole;  // cut points where no page is lost
    std::vector<std::uint64_t> lostSum;
    std::vector<std::uint32_t> worst;
    std::vector<LossCounts> causes;
    std::map<std::string, size_t> advised;  // by mask, "none" when the check found no damage

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
                                 : r.lost.empty() ? "no damage found" : "no mask mends"];
        ++verdicts[size_t(r.verdict)];
        behind += r.adviceBehind();
        mismatched += !r.mismatches.empty();
        for (size_t k = 0; k <= masks; ++k) {
            const std::uint32_t lost = k == masks      ? r.lostAdvised
                                       : r.lost.empty() ? r.lostUnrepaired
                                                        : r.lost[k];
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

std::string column(const Tally& t, size_t k) {
    char b[64];
    std::snprintf(b, sizeof b, "%5.1f%% %5.2f %3u", t.share(k), t.mean(k), unsigned(t.worst[k]));
    return b;
}

void printFamilies(const std::vector<std::pair<std::string, Tally>>& rows) {
    const size_t all = inspect::candidateMasks().size() - 1, advice = all + 1;
    std::printf("\nBy family and write order (whole: cut points where no page is lost; "
                "mean and worst pages lost)\n");
    std::printf("%-15s %5s | %4s %5s %6s %5s | %-20s | %-20s | %6s\n", "family order", "cuts",
                "miss", "stale", "beyond", "alarm", "/F-1 whole mean max",
                "advice whole mean max", "behind");
    for (const auto& [name, t] : rows) {
        std::printf("%-15s %5zu | %4zu %5zu %6zu %5zu | %-20s | %-20s | %6zu\n", name.c_str(),
                    t.cuts, t.verdicts[size_t(CheckVerdict::MissedSeen)],
                    t.verdicts[size_t(CheckVerdict::MissedStale)],
                    t.verdicts[size_t(CheckVerdict::MissedBeyond)],
                    t.verdicts[size_t(CheckVerdict::FalseAlarm)], column(t, all).c_str(),
                    column(t, advice).c_str(), t.behind);
    }
}

void printMasks(const Tally orders[2]) {
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    std::printf("\nBy mask and write order (whole%%, mean lost, worst lost)\n%-8s", "mask");
    for (int o = 0; o < 2; ++o) std::printf(" | order %s (%zu cuts)  ", o ? "B" : "A", orders[o].cuts);
    std::printf("\n");
    for (size_t k = 0; k <= masks.size(); ++k) {
        const std::string name = k < masks.size() ? inspect::maskOption(masks[k]) : "advice";
        std::printf("%-8s", name.c_str());
        for (int o = 0; o < 2; ++o) std::printf(" | %-22s", column(orders[o], k).c_str());
        std::printf("\n");
    }
}

// The pages lost although a complete version was on disk, by cause, over
// the cut points where the check found damage.
void printCauses(const Tally orders[2]) {
    const std::vector<std::int32_t>& masks = inspect::candidateMasks();
    std::printf("\nPages lost with a complete version on disk, by cause (orders A+B)\n%-8s", "mask");
    for (size_t c = 0; c < kLosses; ++c) std::printf(" %15s", lossName(Loss(c)));
    std::printf("\n");
    for (size_t k = 0; k <= masks.size(); ++k) {
        const std::string name = k < masks.size() ? inspect::maskOption(masks[k]) : "advice";
        std::printf("%-8s", name.c_str());
        for (size_t c = 0; c < kLosses; ++c) {
            std::printf(" %15u", unsigned(orders[0].causes[k][c] + orders[1].causes[k][c]));
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
                << "\" height=\"" << bh << "\" fill=\"" << (k < masks.size() ? "#4477aa" : "#ee6677")
                << "\"><title>" << name << ": " << orders[o].share(k) << "%</title></rect>\n"
                << "<text x=\"" << x << "\" y=\"" << top + h + 14 << "\" font-size=\"8\">" << name
                << "</text>\n";
        }
    }
    svg << "</svg>\n";
}

struct Options {
    bool full = false;
    std::uint32_t seed = 2;
    std::string svg = "crashlab.svg";
};

int run(const Options& opt) {
    std::vector<std::unique_ptr<Workload>> loads;
    std::vector<std::pair<size_t, Cut>> cuts;
    for (const FileKind& kind : fileKinds()) {
        for (Order order : {Order::Flushed, Order::Unordered}) {
            loads.push_back(std::make_unique<Workload>(kind, order, opt.seed));
            for (const Cut& c : loads.back()->cuts()) cuts.push_back({loads.size() - 1, c});
        }
    }
    const size_t step = opt.full ? 1 : std::max<size_t>(1, cuts.size() / kSmallCuts);
    const bool terminal = isatty(2);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<std::string, Tally>> rows(loads.size());
    Tally orders[2];
    std::vector<std::string> failures, behind;
    for (size_t i = 0; i < cuts.size(); i += step) {
        const Workload& w = *loads[cuts[i].first];
        const CutResult r = examine(w, cuts[i].second);
        rows[cuts[i].first].first = w.kind().name + " " + orderName(w.order());
        rows[cuts[i].first].second.add(r);
        orders[w.order() == Order::Unordered].add(r);
        if (r.verdict == CheckVerdict::MissedSeen) failures.push_back(r.id + ": the check misses damage");
        for (const std::string& m : r.mismatches) failures.push_back(r.id + ": " + m);
        if (r.adviceBehind()) behind.push_back(r.id);
        if (terminal) std::fprintf(stderr, "\rcut point %zu of %zu  %-28s", i + 1, cuts.size(), r.id.c_str());
    }
    if (terminal) std::fprintf(stderr, "\n");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("crash lab, seed %u: %zu cut points examined in %.0f s\n", opt.seed,
                orders[0].cuts + orders[1].cuts, seconds);
    printFamilies(rows);
    printMasks(orders);
    printCauses(orders);
    for (int o = 0; o < 2; ++o) {
        std::printf("\nAdvised in order %s:", o ? "B" : "A");
        for (const auto& [mask, n] : orders[o].advised) std::printf(" %s %zu;", mask.c_str(), n);
    }
    std::printf("\n");
    std::printf("\nAdvice behind the best candidate at %zu cut points:", behind.size());
    for (size_t k = 0; k < behind.size() && k < 12; ++k) std::printf("%s %s", k ? "," : "", behind[k].c_str());
    std::printf("\n");
    writeSvg(opt.svg, orders);
    for (const std::string& f : failures) std::printf("FAIL %s\n", f.c_str());
    return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace crashlab

int main(int argc, char** argv) {
    crashlab::Options opt;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--full")) {
            opt.full = true;
            opt.seed = 1;
        } else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) {
            opt.seed = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--svg") && i + 1 < argc) {
            opt.svg = argv[++i];
        } else {
            std::fprintf(stderr, "usage: crashlab [--full] [--seed N] [--svg FILE]\n");
            return 2;
        }
    }
    return crashlab::run(opt);
}
