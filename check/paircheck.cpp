#include <cstdio>
#include <cstring>

#include "check/scan.h"
#include "format/le.h"
#include "format/pat.h"

bool Scanner::fetchPageHeader(uint32_t p, PageHeader& header) {
    // Page-compressed files are never cached; other pages the cache holds no
    // header for (pages past where the preload stopped or past its last whole
    // page) come from the page index, which reads them in gathered pieces,
    // and under /D from the file set one by one, with their trace lines.
    if (!g_.compressed && cache_.lookup(p, header)) return true;
    if (!options_.verbose && p >= kFirstCachedPage) {
        if (!index_.built()) index_.build();
        if (p < index_.end()) return index_.header(p, header);
    }
    return file_.readPageHeader(p, header) != 0;
}

// One header field check: reports a failed check, and under fix bit 4 rewrites
// the field in that copy's buffer.
struct Scanner::HeaderCheck {
    Output& out;
    ScanCounters& counters;
    int32_t fixMask;
    int fieldsRepaired = 0;

    bool fail(const char* line) {
        out.write(Stream::Err, line);
        ++counters.totalProblems;
        ++counters.patProblems;
        if (!(fixMask & fixbit::patHeader)) return false;
        ++fieldsRepaired;
        return true;
    }
};

namespace {

void pairNumberLine(char* line, size_t size, int copy, const char* width, uint32_t expected,
                    uint32_t found) {
    char format[128];
    std::snprintf(format, sizeof format,
                  "==>PAT[%%d] Header Error: Pat Number %%%s expected, PAT Number %%%s found.\n",
                  width, width);
    std::snprintf(line, size, format, copy, unsigned(expected), unsigned(found));
}

}  // namespace

// Returns false when the version has no known PAT header layout.
bool Scanner::verifyPatHeaders(uint32_t n, HeaderCheck& check) {
    const uint16_t v = g_.versionCode;
    char line[160];
    if (v == version::v600 || v == version::v610) {
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            if (page[pat::sig600] != pat::signatureByte ||
                page[pat::sig600 + 1] != pat::signatureByte) {
                std::snprintf(line, sizeof line, "==>PAT[%d] Header Error (PP).\n", c);
                if (check.fail(line)) putLe16(page + pat::sig600, 0x5050);
            }
        }
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            uint32_t found = le16(page + pat::pair600);
            if (found != n) {
                pairNumberLine(line, sizeof line, c, ".4x", n, found);
                if (check.fail(line)) putLe16(page + pat::pair600, uint16_t(n));
            }
        }
        return true;
    }
    if (v == version::v700) {
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            if (page[pat::sig700] != pat::signatureByte) {
                std::snprintf(line, sizeof line, "==>PAT[%d] Header Error (P).\n", c);
                if (check.fail(line)) page[pat::sig700] = pat::signatureByte;
            }
        }
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            uint32_t found =
                le16(page + pat::pairLow700) + uint32_t(page[pat::pairHigh700]) * 65536;
            if (found != n) {
                pairNumberLine(line, sizeof line, c, ".6x", n, found);
                if (check.fail(line)) {
                    putLe16(page + pat::pairLow700, uint16_t(n & 0xFFFF));
                    page[pat::pairHigh700] = uint8_t((n >> 16) & 0xFF);
                }
            }
        }
        return true;
    }
    if (v == version::v800 || v == version::v900 || v == version::v950 || v == version::v1300 ||
        v == version::v1630) {
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            if (page[pat::sig800] != pat::signatureByte ||
                page[pat::sig800 + 1] != pat::signatureByte) {
                std::snprintf(line, sizeof line, "==>PAT[%d] Header Error (PP).\n", c);
                if (check.fail(line)) {
                    page[pat::sig800] = pat::signatureByte;
                    page[pat::sig800 + 1] = pat::signatureByte;
                }
            }
        }
        for (int c = 0; c < 2; ++c) {
            uint8_t* page = pair_.copy(c);
            uint32_t found = le24(page + pat::pair800);
            if (found != n) {
                pairNumberLine(line, sizeof line, c, ".6x", n, found);
                if (check.fail(line)) {
                    putLe16(page + pat::pair800, uint16_t(n & 0xFFFF));
                    page[pat::pair800 + 2] = uint8_t((n >> 16) & 0xFF);
                }
            }
        }
        return true;
    }
    out_.err("Unhandled File Type (%.4x) for Tabulon PAT Header Verification\n", unsigned(v));
    return false;
}

void Scanner::countExamined(uint16_t t) {
    ScanCounters& c = counters_;
    ++c.totalPagesExamined;
    countByClass(t, c.dataPagesExamined, c.indexPagesExamined, c.otherPagesExamined);
}

int Scanner::checkPatPair(uint32_t n, int32_t fixMask, uint32_t& totalFixed) {
    const FileGeometry& g = g_;
    const uint32_t e = uint32_t(file_.patEntriesPerPage());

    HeaderCheck check{out_, counters_, fixMask};
    verifyPatHeaders(n, check);
    if (check.fieldsRepaired > 0 && pair_.write(n)) {
        // Repairs count once they reached the file.
        counters_.patHeadersFixed += uint32_t(check.fieldsRepaired);
        totalFixed += uint32_t(check.fieldsRepaired);
    }

    // Only slots that lie wholly inside the PAT page read from the file.
    const uint32_t slots = patSlotsInPage(g, e);

    const uint8_t* page = pair_.copy(int(pair_.current()));
    const bool verbose = options_.verbose;
    const uint64_t firstLogical = uint64_t(n - 1) * e;
    PageHeader header;
    for (uint32_t k = 0; k < slots; ++k) {
        const uint64_t logical = firstLogical + k + 1;
        if (logical - 1 > g.pageCount || logical > UINT32_MAX) break;
        const uint32_t L = uint32_t(logical);

        PatEntry entry = readPatEntry(g, page, k);
        uint32_t p = entry.physical;
        uint16_t t = entry.type;
        if (g.versionCode >= version::v1630 && t == pagetype::dataExtended) t = pagetype::data;
        if (g.versionCode >= version::v800 && p == pat::freeSpace) continue;

        if (verbose) out_.out("Reading Physical Page 0x%.8x\n", unsigned(p));
        std::memset(&header, 0, sizeof header);
        PageIdentity found{0, 0};
        if (fetchPageHeader(p, header)) {
            found = decodePageHeader(g, header);
        } else {
            if (verbose) out_.err("Bad Page Read For Physical Page 0x%.8lX\n", (unsigned long)p);
            std::memset(&header, 0, sizeof header);
        }

        if (verbose) {
            out_.out("PATPair %lu, Entry %d (LogPATEntry 0x%.8x) Type=%.4x => PhysPage 0x%.8x\n",
                     (unsigned long)n, int(k), unsigned(L), unsigned(t), unsigned(p));
            out_.out("PhysPage 0x%.8x contains LogPage 0x%.8x of Type %.4x\n", unsigned(p),
                     unsigned(found.pageId), unsigned(found.pageType));
        }

        if (!g.compressed && found.pageType == pagetype::data &&
            !(header.usageCount & pagetype::usageValid)) {
            Line invalid;
            invalid.text("Data Page 0x").hex(L, 8).text("(").hex(t, 4);
            invalid.text(") at Physical Page 0x").hex(p, 8);
            invalid.text(" has invalid Usage Count (").hex(header.usageCount, 4).text(").\n");
            emit(Stream::Out, invalid.view());
            ++counters_.totalProblems;
            ++counters_.dataProblems;
        }

        if (found.pageId == L && found.pageType == t) {
            countExamined(t);
        } else {
            handleEntryMismatch(L, p, t, header, found, fixMask, totalFixed);
        }
    }
    // Staged entries reach the file, and their lines the output, before the
    // next pair.
    commitStaged();
    return 1;
}
