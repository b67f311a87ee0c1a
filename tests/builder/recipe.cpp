#include "builder/recipe.h"

#include <filesystem>
#include <sstream>
#include <vector>

#include "builder/damage.h"

namespace tbuild {

RecipeError::RecipeError(std::size_t line, const std::string& what)
    : std::runtime_error("recipe line " + std::to_string(line) + ": " + what), line_(line) {}

namespace {

bool isDescriptionKey(const std::string& k) {
    static const char* const keys[] = {"family",  "version",    "stored",     "style",     "page",
                                       "logical", "pairs",      "compressed", "encrypted", "mix",
                                       "scatter", "fcrcurrent", "patcurrent", "pagecount", "raw"};
    for (const char* key : keys) {
        if (k == key) return true;
    }
    return false;
}

class Interpreter {
  public:
    BuiltRecipe run(const std::string& text) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            ++line_;
            tokenize(raw);
            if (tok_.empty()) continue;
            pos_ = 0;
            statement();
        }
        built();
        return BuiltRecipe{std::move(*file_), plan_, name_};
    }

  private:
    [[noreturn]] void fail(const std::string& what) const { throw RecipeError(line_, what); }

    void tokenize(std::string raw) {
        tok_.clear();
        if (auto hash = raw.find('#'); hash != std::string::npos) raw.erase(hash);
        std::istringstream words(raw);
        std::string w;
        while (words >> w) {
            if (w == "->") continue;
            if (tok_.empty() && w == "damage") continue;
            tok_.push_back(w);
        }
    }

    bool more() const { return pos_ < tok_.size(); }
    const std::string& peek() const { return tok_[pos_]; }
    std::string next(const char* what) {
        if (!more()) fail(std::string("missing ") + what);
        return tok_[pos_++];
    }

    std::uint64_t number(const std::string& t) const {
        if (t.size() == 3 && t.front() == '\'' && t.back() == '\'') {
            return static_cast<unsigned char>(t[1]);
        }
        try {
            std::size_t used = 0;
            std::uint64_t v = 0;
            if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
                v = std::stoull(t.substr(2), &used, 16);
                used += 2;
            } else {
                if (t.empty() || t[0] < '0' || t[0] > '9') fail("not a number: " + t);
                v = std::stoull(t, &used, 10);
            }
            if (used != t.size()) fail("not a number: " + t);
            return v;
        } catch (const std::logic_error&) {
            fail("not a number: " + t);
        }
    }
    std::uint64_t number(const char* what) { return number(next(what)); }
    std::uint32_t u32(const char* what) {
        std::uint64_t v = number(what);
        if (v > 0xFFFFFFFFull) fail(std::string(what) + " does not fit 32 bits");
        return static_cast<std::uint32_t>(v);
    }
    std::uint16_t u16(const char* what) {
        std::uint64_t v = number(what);
        if (v > 0xFFFF) fail(std::string(what) + " does not fit 16 bits");
        return static_cast<std::uint16_t>(v);
    }
    std::uint8_t u8(const char* what) {
        std::uint64_t v = number(what);
        if (v > 0xFF) fail(std::string(what) + " does not fit a byte");
        return static_cast<std::uint8_t>(v);
    }

    // A file-set offset: a number, or page:P, logical:L, pair:N, pair:N:1,
    // each optionally followed by +K or -K.
    std::uint64_t offset(const char* what) {
        std::string t = next(what);
        auto colon = t.find(':');
        if (colon == std::string::npos) return number(t);
        std::string kind = t.substr(0, colon);
        std::string rest = t.substr(colon + 1);
        std::int64_t delta = 0;
        if (auto sign = rest.find_first_of("+-"); sign != std::string::npos) {
            auto d = static_cast<std::int64_t>(number(rest.substr(sign + 1)));
            delta = rest[sign] == '+' ? d : -d;
            rest.erase(sign);
        }
        const Layout& l = built().layout();
        std::uint64_t base = 0;
        if (kind == "page") {
            base = pageOffset(l, static_cast<std::uint32_t>(number(rest)));
        } else if (kind == "logical") {
            auto logical = static_cast<std::uint32_t>(number(rest));
            std::uint32_t phys = built().home(logical);
            if (phys == 0) fail("logical page " + rest + " has no page");
            base = pageOffset(l, phys);
        } else if (kind == "pair") {
            int copy = 0;
            if (auto c = rest.find(':'); c != std::string::npos) {
                copy = static_cast<int>(number(rest.substr(c + 1)));
                rest.erase(c);
            }
            base = pairOffset(l, static_cast<std::uint32_t>(number(rest))) +
                   (copy == 1 ? l.patPageSize : 0);
        } else {
            fail("unknown offset form " + t);
        }
        if (delta < 0 && static_cast<std::uint64_t>(-delta) > base) fail("offset below 0: " + t);
        return base + static_cast<std::uint64_t>(delta);
    }

    CopySel copySel() {
        std::string c = next("copy");
        if (c == "0") return CopySel::Copy0;
        if (c == "1") return CopySel::Copy1;
        if (c == "both") return CopySel::Both;
        if (c == "current") return CopySel::Current;
        if (c == "other") return CopySel::Other;
        fail("copy must be 0, 1, both, current or other");
    }

    int fcrCopy() {
        CopySel s = copySel();
        if (s == CopySel::Copy0) return 0;
        if (s == CopySel::Copy1) return 1;
        if (s == CopySel::Both) return -1;
        int cur = built().currentFcr();
        return s == CopySel::Current ? cur : 1 - cur;
    }

    // ------------------------------------------------------------ statements

    void statement() {
        const std::string key = peek();
        if (key == "name") {
            ++pos_;
            name_ = next("file name");
        } else if (isDescriptionKey(key)) {
            if (file_) fail("'" + key + "' describes the file and must come before any change");
            while (more()) describe();
        } else {
            ++pos_;
            action(key);
        }
        if (more()) fail("unexpected '" + peek() + "'");
    }

    void describe() {
        const std::string key = next("key");
        described_ = true;
        if (key == "family" || key == "version" || key == "stored") {
            params_.storedVersion = u16("version code");
        } else if (key == "style") {
            std::string s = next("style");
            if (s == "zero") {
                params_.fcrStyle = FcrStyle::Zero;
            } else if (s == "fc") {
                params_.fcrStyle = FcrStyle::Signature;
            } else {
                fail("style must be zero or fc");
            }
        } else if (key == "page") {
            params_.pageSize = u32("page size");
        } else if (key == "logical") {
            params_.logicalPages = u32("logical pages");
        } else if (key == "pairs") {
            params_.pairs = u32("pairs");
        } else if (key == "compressed") {
            params_.compressedPageSize = u32("compressed page size");
        } else if (key == "encrypted") {
            params_.encrypted = true;
            std::size_t i = 0;
            while (more() && !isDescriptionKey(peek())) {
                if (i == params_.mask.size()) fail("the mask has 9 bytes");
                params_.mask[i++] = u8("mask byte");
            }
        } else if (key == "mix") {
            std::string m = next("mix");
            if (m == "data") {
                params_.mix = TypeMix::AllData;
            } else if (m == "mixed") {
                params_.mix = TypeMix::Mixed;
            } else {
                fail("mix must be data or mixed");
            }
        } else if (key == "scatter") {
            params_.scatter = true;
            params_.seed = u32("seed");
        } else if (key == "fcrcurrent") {
            params_.fcrCurrent = static_cast<int>(number("copy")) == 1 ? 1 : 0;
        } else if (key == "patcurrent") {
            params_.patCurrent = static_cast<int>(number("copy")) == 1 ? 1 : 0;
        } else if (key == "pagecount") {
            params_.pageCount = u32("page count");
        } else if (key == "raw") {
            raw_ = true;
            rawSize_ = number("size");
        } else {
            fail("unknown key '" + key + "'");
        }
    }

    BtrFile& built() {
        if (!file_) {
            if (!described_) fail("the file is not described (family, page, logical ...)");
            try {
                if (raw_) {
                    BtrFile f(makeLayout(foldVersion(params_.storedVersion), params_.pageSize));
                    for (int c = 0; c < 2; ++c) f.fcr(c).assign(f.fcr(c).size(), 0);
                    f.setSize(rawSize_);
                    file_.emplace(std::move(f));
                } else {
                    file_.emplace(makeHealthy(params_));
                }
            } catch (const std::runtime_error& e) {
                fail(e.what());
            }
        }
        return *file_;
    }

    void action(const std::string& key) {
        BtrFile& f = built();
        try {
            if (key == "entry") {
                entryAction(f);
            } else if (key == "header") {
                auto logical = u32("logical page");
                std::uint32_t phys = f.home(logical);
                if (phys == 0) fail("logical page " + std::to_string(logical) + " has no page");
                pageAction(f, phys);
            } else if (key == "phys") {
                pageAction(f, u32("physical page"));
            } else if (key == "candidate" || key == "duplicate") {
                candidateAction(f);
            } else if (key == "pat") {
                patAction(f);
            } else if (key == "fcr") {
                fcrAction(f);
            } else if (key == "poke") {
                std::uint64_t at = offset("offset");
                if (!more()) fail("missing bytes");
                while (more()) f.poke(at++, u8("byte"));
            } else if (key == "poke16") {
                std::uint64_t at = offset("offset");
                f.poke16(at, u16("value"));
            } else if (key == "poke32") {
                std::uint64_t at = offset("offset");
                f.poke32(at, u32("value"));
            } else if (key == "fill") {
                std::uint64_t at = offset("offset");
                std::uint64_t length = number("length");
                f.fill(at, length, u8("byte"));
            } else if (key == "size") {
                f.setSize(offset("size"));
            } else if (key == "type") {
                auto logical = u32("logical page");
                auto type = u16("type");
                std::uint32_t phys = f.home(logical);
                if (phys == 0) fail("logical page " + std::to_string(logical) + " has no page");
                f.setPage(phys, PageId{logical, type}, generatedUsage(type, logical));
                f.setEntryOf(logical, PageId{phys, type}, CopySel::Both);
            } else if (key == "split") {
                if (!more()) fail("missing split offset");
                if (peek() == "every") {
                    ++pos_;
                    std::uint64_t step = number("member size");
                    if (step == 0) fail("member size must not be zero");
                    // Extension files of `step` bytes each, as many as the
                    // bytes need and the set allows.
                    for (std::uint64_t at = step; at < f.size() && plan_.cuts.size() < 127;
                         at += step) {
                        plan_.cuts.push_back(at);
                    }
                } else {
                    while (more()) plan_.cuts.push_back(offset("split offset"));
                }
            } else if (key == "delta") {
                plan_.delta = true;
                if (more()) plan_.deltaSize = number("delta size");
            } else if (key == "stray") {
                auto k = u32("extension number");
                if (k < 1 || k > 128) fail("extension numbers run from 1 to 128");
                plan_.strays.emplace_back(k, number("size"));
            } else {
                fail("unknown command '" + key + "'");
            }
        } catch (const RecipeError&) {
            throw;
        } catch (const std::runtime_error& e) {
            fail(e.what());
        }
    }

    void entryAction(BtrFile& f) {
        auto logical = u32("logical page");
        if (logical == 0) fail("logical pages are numbered from 1");
        std::optional<std::uint32_t> phys;
        std::optional<std::uint16_t> type;
        std::optional<std::uint32_t> beyond;
        CopySel sel = CopySel::Current;
        bool free = false;
        while (more()) {
            std::string m = next("entry change");
            if (m == "phys") {
                phys = u32("physical page");
            } else if (m == "logical") {
                auto other = u32("logical page");
                phys = f.home(other);
                if (*phys == 0) fail("logical page " + std::to_string(other) + " has no page");
            } else if (m == "beyond") {
                beyond = u32("pages beyond the end");
            } else if (m == "type") {
                type = u16("type");
            } else if (m == "free") {
                free = true;
            } else if (m == "copy") {
                sel = copySel();
            } else {
                fail("unknown entry change '" + m + "'");
            }
        }
        std::uint32_t pair = pairOfLogical(f.layout(), logical);
        if (pair > f.pairCount())
            fail("logical page " + std::to_string(logical) + " has no PAT pair");
        int copy = f.resolveCopy(pair, sel);
        std::uint32_t slot = slotOfLogical(f.layout(), logical);
        PageId e = f.entry(pair, copy == -1 ? f.currentCopy(pair) : copy, slot);
        if (free) e = f.unusedEntry();
        if (beyond) e.id = f.physicalPages() + *beyond;
        if (phys) e.id = *phys;
        if (type) e.type = *type;
        f.setEntry(pair, copy, slot, e);
    }

    void pageAction(BtrFile& f, std::uint32_t phys) {
        PageRecord r = f.page(phys) ? *f.page(phys) : PageRecord{};
        bool absent = false;
        if (!more()) fail("missing header change");
        while (more()) {
            std::string m = next("header change");
            if (m == "zero") {
                r.id = 0;
                r.type = 0;
            } else if (m == "absent") {
                absent = true;
            } else if (m == "id") {
                r.id = u32("page id");
            } else if (m == "type") {
                r.type = u16("type");
            } else if (m == "usage") {
                r.usage = u16("usage count");
            } else if (m == "nousagebit") {
                r.usage = static_cast<std::uint16_t>(r.usage & 0x7FFF);
            } else {
                fail("unknown header change '" + m + "'");
            }
        }
        if (absent) {
            f.clearPage(phys);
        } else {
            f.setPage(phys, PageId{r.id, r.type}, r.usage);
            f.setSize(std::max(f.size(), pageOffset(f.layout(), phys) + f.layout().pageUnit));
        }
    }

    void candidateAction(BtrFile& f) {
        auto logical = u32("logical page");
        std::uint16_t usage = 0;
        std::optional<std::uint16_t> type;
        while (more()) {
            std::string m = next("candidate detail");
            if (m == "usage") {
                usage = u16("usage count");
            } else if (m == "type") {
                type = u16("type");
            } else {
                fail("unknown candidate detail '" + m + "'");
            }
        }
        addCandidatePage(f, logical, usage, type);
    }

    void patAction(BtrFile& f) {
        auto pair = u32("pair number");
        if (pair == 0 || pair > f.pairCount()) fail("no PAT pair " + std::to_string(pair));
        CopySel sel = CopySel::Current;
        struct Change {
            std::string what;
            std::uint64_t a = 0, b = 0;
        };
        std::vector<Change> changes;
        while (more()) {
            std::string m = next("PAT change");
            if (m == "copy") {
                sel = copySel();
            } else if (m == "signature" || m == "header") {
                changes.push_back({m});
            } else if (m == "number" || m == "usage") {
                changes.push_back({m, u32("value")});
            } else if (m == "byte") {
                std::uint64_t at = number("offset");
                changes.push_back({m, at, u8("byte")});
            } else if (m == "iddiffer") {
                changes.push_back({m, 0x5A});
            } else {
                fail("unknown PAT change '" + m + "'");
            }
        }
        if (changes.empty()) fail("missing PAT change");
        int copy = f.resolveCopy(pair, sel);
        std::vector<int> copies = copy == -1 ? std::vector<int>{0, 1} : std::vector<int>{copy};
        for (const Change& c : changes) {
            if (c.what == "iddiffer") {
                makePatIdsDiffer(f, pair, static_cast<std::uint8_t>(c.a));
                continue;
            }
            for (int k : copies) {
                if (c.what == "signature") {
                    damagePatSignature(f, pair, k);
                } else if (c.what == "header") {
                    f.writePatHeader(pair, k, pair);
                } else if (c.what == "number") {
                    damagePatNumber(f, pair, k, static_cast<std::uint32_t>(c.a));
                } else if (c.what == "usage") {
                    f.setPatUsage(pair, k, static_cast<std::uint32_t>(c.a));
                } else if (c.what == "byte") {
                    auto& b = f.pat(pair, k);
                    if (c.a >= b.size()) fail("byte offset beyond the PAT page");
                    b[static_cast<std::size_t>(c.a)] = static_cast<std::uint8_t>(c.b);
                }
            }
        }
    }

    void fcrAction(BtrFile& f) {
        std::string what = next("FCR field");
        std::vector<std::uint64_t> args;
        std::optional<FcrStyle> style;
        std::array<std::uint8_t, 9> mask{};
        std::size_t maskBytes = 0;
        auto arg = [&](const char* name) { args.push_back(number(name)); };
        if (what == "pagecount" || what == "lastpair" || what == "usage" || what == "pagesize" ||
            what == "compressed") {
            arg("value");
        } else if (what == "byte" || what == "u16" || what == "u32") {
            arg("offset");
            arg("value");
        } else if (what == "version") {
            arg("version code");
        } else if (what == "encrypted") {
            while (more() && peek() != "copy") {
                if (maskBytes == mask.size()) fail("the mask has 9 bytes");
                mask[maskBytes++] = u8("mask byte");
            }
        } else {
            fail("unknown FCR field '" + what + "'");
        }
        int copy = -1;
        while (more()) {
            std::string m = next("FCR detail");
            if (m == "copy") {
                copy = fcrCopy();
            } else if (m == "style" && what == "version") {
                std::string s = next("style");
                if (s != "zero" && s != "fc") fail("style must be zero or fc");
                style = s == "zero" ? FcrStyle::Zero : FcrStyle::Signature;
            } else {
                fail("unexpected '" + m + "'");
            }
        }
        auto v32 = [&](std::size_t i) { return static_cast<std::uint32_t>(args.at(i)); };
        if (what == "pagecount") {
            f.setPageCount(v32(0), copy);
        } else if (what == "lastpair") {
            f.setLastPair(v32(0), copy);
        } else if (what == "usage") {
            f.setFcrUsage(copy, v32(0));
        } else if (what == "pagesize") {
            f.setPageSizeField(v32(0), copy);
        } else if (what == "compressed") {
            f.setCompressionFlag(v32(0), copy);
        } else if (what == "byte") {
            f.fcrPut8(copy, v32(0), v32(1));
        } else if (what == "u16") {
            f.fcrPut16(copy, v32(0), v32(1));
        } else if (what == "u32") {
            f.fcrPut32(copy, v32(0), v32(1));
        } else if (what == "version") {
            f.setStoredVersion(static_cast<std::uint16_t>(v32(0)), style.value_or(FcrStyle::Auto),
                               copy);
        } else if (what == "encrypted") {
            f.setEncryption(mask, copy);
        }
    }

    std::size_t line_ = 0;
    std::vector<std::string> tok_;
    std::size_t pos_ = 0;
    FileParams params_;
    bool described_ = false;
    bool raw_ = false;
    std::uint64_t rawSize_ = 0;
    std::optional<BtrFile> file_;
    SetPlan plan_;
    std::optional<std::string> name_;
};

}  // namespace

BuiltRecipe interpretRecipe(const std::string& text) {
    return Interpreter().run(text);
}

WrittenSet buildFromRecipe(const std::string& text, const std::string& directory,
                           const std::string& mainName) {
    BuiltRecipe r = interpretRecipe(text);
    std::filesystem::path main = std::filesystem::path(directory) / r.mainName.value_or(mainName);
    return writeFileSet(r.file, main.string(), r.plan);
}

}  // namespace tbuild
