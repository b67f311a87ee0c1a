// The version ledger of a run: for every logical page whose entry the run
// changed or left damaged, the page the entry ends on and every other page
// whose header names the same logical page. A header check after a repair
// sees only whether an entry's page names it; the ledger says whether the
// version the entry ends on is the one worth keeping, so that a repair is
// judged by the data it keeps.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "access/pageindex.h"
#include "check/finding.h"
#include "format/geometry.h"

namespace tabulon {

// A page whose header names the row's logical page.
struct LedgerVersion {
    uint32_t physical = 0;
    uint16_t usage = 0;  // the usage value (bit 15 dropped)
};

enum class LedgerClass : uint8_t {
    Kept,           // ends on a version, none newer left outside
    Orphaned,       // ends free, damaged or on a page this run relabelled, while a version exists
    OlderKept,      // ends on a version while a newer-looking one is left outside
    NothingToKeep,  // no page held a version: a reset or a relabel loses nothing
};

const char* ledgerClassKey(LedgerClass c);  // "kept", "orphaned", "older-kept", "nothing-to-keep"

struct LedgerRow {
    uint32_t logical = 0;
    uint16_t type = 0;  // the entry's type as the check found it
    // Where the entry ends: free, or on `physical`.
    bool endsFree = false;
    uint32_t physical = 0;
    uint16_t usage = 0;          // the end page's usage value
    bool namesIt = false;        // the end page's header names the logical page
    bool headerWritten = false;  // this run wrote the end page's header
    bool changed = false;        // the run changed the entry
    // Every other page that held a version before the run, ascending.
    std::vector<LedgerVersion> others;
    LedgerClass kind = LedgerClass::Kept;

    // The newest version left outside, or null.
    const LedgerVersion* newestOther() const;
};

struct VersionLedger {
    std::vector<LedgerRow> rows;  // by logical page
    size_t count(LedgerClass c) const;
    // Entries reset to free space while a version exists elsewhere.
    size_t resetWithVersion() const;
};

// Collects what the ledger needs while the run goes: the damaged entries as
// the check found them, the entries' last written values and the headers the
// run wrote; then reads the pages that name each logical page off the index.
class LedgerBuilder {
  public:
    void noteDamagedEntry(uint32_t logical, uint32_t physical, uint16_t type);
    void noteAction(const Action& a);
    VersionLedger finish(const FileGeometry& g, PageIndex& index) const;

  private:
    struct Entry {
        uint32_t logical = 0, physical = 0;
        uint16_t type = 0;
        bool changed = false, endsFree = false;
        uint32_t endPhysical = 0;
    };
    std::vector<Entry> entries_;
    std::unordered_map<uint32_t, size_t> at_;  // logical page -> its place in entries_
    std::unordered_set<uint32_t> written_;     // pages whose header this run wrote
};

}  // namespace tabulon
