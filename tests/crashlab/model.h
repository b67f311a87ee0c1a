// The model of an engine that updates a file by shadow paging (see
// README.md): a workload of transactions, the writes each one makes in the
// order they reach the disk, and, for a cut after any sector of any write,
// the bytes of the file set and the truth of which physical pages hold a
// complete version of which logical page.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "builder/btrfile.h"

namespace crashlab {

using Bytes = std::vector<std::uint8_t>;

struct FileKind {
    std::string name;
    std::uint16_t version = 0;
    std::uint32_t pageSize = 0;
    bool gap = false;  // 6.x: the file reaches past the 4096-byte gap, where its pages move
    std::string family() const;  // "0x0600"
};
const std::vector<FileKind>& fileKinds();

// (A) a flush between the new pages, the PAT copies and the FCR copy; (B)
// no flush, the writes of a transaction in any order.
enum class Order { Flushed, Unordered };
const char* orderName(Order o);

constexpr std::uint32_t kSector = 512;

struct Write {
    enum Kind { Page, Pat, Fcr } kind = Page;
    std::uint64_t offset = 0;
    Bytes bytes;
    std::uint32_t logical = 0;  // Page: the version written; Pat: the pair
    std::uint32_t phys = 0;
    std::uint32_t sectors() const { return std::uint32_t((bytes.size() + kSector - 1) / kSector); }
};

struct Transaction {
    std::vector<Write> writes;                       // in the order they reach the disk
    std::map<std::uint32_t, std::uint32_t> newPhys;  // logical page -> page of its new version
};

// A cut: the writes before `write` landed whole, `sectors` sectors of it.
struct Cut {
    size_t txn = 0, write = 0;
    std::uint32_t sectors = 0;
    bool torn = false;  // fewer sectors than the write has
};

// The file set at a cut and what the model knows about it.
struct CrashState {
    tbuild::Layout layout;
    Bytes main, ext;                 // the main file and extension file 1 (empty: none)
    std::uint32_t logicalPages = 0;  // every logical page the workload ever has
    std::uint32_t pairs = 0;         // PAT pairs
    // The last complete state: the versions committed before the cut
    // transaction, or the transaction's own once its last write landed.
    std::map<std::uint32_t, std::uint32_t> committed;  // logical -> page
    std::map<std::uint32_t, std::uint32_t> inflight;   // logical -> page of a complete new version
    std::map<std::uint32_t, std::uint32_t> inflightPage;  // logical -> page of its new version,
                                                          // whole or torn
    std::map<std::uint32_t, std::uint16_t> types;
    // Whether physical page p holds a complete version of logical page L.
    bool intact(std::uint32_t logical, std::uint32_t phys) const;
};

// The workload on one kind of file, with one write order and seed: the file
// before it, and each transaction's writes.
class Workload {
  public:
    Workload(const FileKind& kind, Order order, std::uint32_t seed);

    size_t transactions() const { return txns_.size(); }
    const Transaction& transaction(size_t t) const { return txns_[t]; }
    std::vector<Cut> cuts() const;
    CrashState at(const Cut& c) const;
    const FileKind& kind() const { return kind_; }
    Order order() const { return order_; }
    std::uint32_t appended() const { return appended_; }  // pages appended into extension 1

  private:
    Transaction plan(tbuild::BtrFile& disk, size_t t, std::mt19937& rng);

    FileKind kind_;
    Order order_;
    std::uint32_t first_ = 0;  // logical pages of PAT pair 1 (it is full)
    std::uint32_t pairs_ = 0;
    std::uint64_t split_ = 0;  // size of the main file; the file grows into extension 1
    std::uint32_t appended_ = 0;
    Bytes initial_;  // the set's bytes before the first transaction
    // The committed versions before each transaction, and after the last.
    std::vector<std::map<std::uint32_t, std::uint32_t>> committed_;
    std::map<std::uint32_t, std::uint16_t> types_;
    std::vector<std::uint32_t> free_;  // pages holding no current version
    std::vector<Transaction> txns_;
    tbuild::Layout layout_;
};

}  // namespace crashlab
