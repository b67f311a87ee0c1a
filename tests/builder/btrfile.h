// In-memory model of a synthetic Btrieve file and its rendering to bytes.
//
// The model keeps what the file is made of rather than its bytes: the two FCR
// copies and the PAT pages as byte buffers, one small header record per
// physical page, and a sparse list of raw byte overrides. Page bodies are
// zero. Rendering produces any byte range on demand, so a file set of several
// gigabytes can be written window by window with memory in proportion to its
// page count, not its size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "builder/layout.h"

namespace tbuild {

enum class FcrStyle {
    Auto,      // 'F' 'C' signature from 6.x on, zero first word before
    Zero,      // u32 at 0 is zero, version code at offset 6
    Signature  // 'F' 'C' at 0, version code at offset 74
};

enum class TypeMix {
    Mixed,   // mostly data pages, with index, variable and other pages between
    AllData  // every logical page a data page
};

enum class CopySel { Current, Other, Copy0, Copy1, Both };

struct FileParams {
    std::uint16_t storedVersion = 0x0800;  // as stored in the FCR (0xF800 folds to 0x0800)
    FcrStyle fcrStyle = FcrStyle::Auto;
    std::uint32_t pageSize = 1024;
    std::uint32_t compressedPageSize = 0;  // nonzero: page compression on (from 0x0950)
    std::uint32_t logicalPages = 0;
    std::uint32_t pairs = 0;                 // at least as many PAT pairs as the pages need
    std::optional<std::uint32_t> pageCount;  // FCR page count; see defaultPageCount
    int fcrCurrent = 0;                      // FCR copy with the higher usage count
    int patCurrent = 0;                      // PAT copy with the higher usage count, every pair
    TypeMix mix = TypeMix::Mixed;
    bool scatter = false;  // physical pages in shuffled order
    std::uint32_t seed = 1;
    bool encrypted = false;  // owner-encrypted, with mask below
    std::array<std::uint8_t, 9> mask{};
};

// FCR page count written when the FileParams names none: one more than the logical
// pages in use from 8.x on, as engines record it (the slots after the last
// page are free-space pointers); one less below 8.x, so that the check,
// which reads through entry pageCount + 1, ends on the last page in use
// instead of on a zero slot, which would name physical page 0.
std::uint32_t defaultPageCount(std::uint16_t version, std::uint32_t logicalPages);

// Type and usage count the generator gives logical page L.
std::uint16_t generatedType(const Layout& l, TypeMix mix, std::uint32_t logical);
std::uint16_t generatedUsage(std::uint16_t type, std::uint32_t logical);

struct PageRecord {
    std::uint32_t id = 0;
    std::uint16_t type = 0;
    std::uint16_t usage = 0;  // plain value; masked on rendering for owner-encrypted files
    bool present = false;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void write(const std::uint8_t* data, std::size_t n) = 0;
    // n zero bytes; a sink may leave a hole instead of writing them.
    virtual void skip(std::uint64_t n) = 0;
};

class BtrFile {
  public:
    explicit BtrFile(const Layout& layout);

    const Layout& layout() const { return layout_; }
    std::uint64_t size() const { return size_; }
    void setSize(std::uint64_t size) { size_ = size; }

    // --- FCR copies (patPageSize bytes each; copy 1 lies at offset patPageSize)
    std::vector<std::uint8_t>& fcr(int copy) { return fcr_.at(static_cast<std::size_t>(copy)); }
    const std::vector<std::uint8_t>& fcr(int copy) const {
        return fcr_.at(static_cast<std::size_t>(copy));
    }
    // copy -1 writes both copies.
    void fcrPut8(int copy, std::uint32_t offset, std::uint32_t v);
    void fcrPut16(int copy, std::uint32_t offset, std::uint32_t v);
    void fcrPut32(int copy, std::uint32_t offset, std::uint32_t v);
    void setFcrUsage(int copy, std::uint32_t usage);
    void setStoredVersion(std::uint16_t stored, FcrStyle style, int copy = -1);
    void setPageSizeField(std::uint32_t pageSize, int copy = -1);
    void setPageCount(std::uint32_t count, int copy = -1);
    void setLastPair(std::uint32_t pair, int copy = -1);
    // Sets the owner-encryption flag and mask in the FCR and masks page usage
    // counts from 9.50 on with the mask's first two bytes.
    void setEncryption(const std::array<std::uint8_t, 9>& mask, int copy = -1);
    void setCompressionFlag(std::uint32_t compressedPageSize, int copy = -1);
    int currentFcr() const;

    // --- PAT pairs, numbered from 1
    std::uint32_t pairCount() const { return static_cast<std::uint32_t>(pats_.size() / 2); }
    // Appends the next pair: sound headers, every slot unused.
    void addPair(std::uint32_t usage0, std::uint32_t usage1);
    std::vector<std::uint8_t>& pat(std::uint32_t pair, int copy);
    const std::vector<std::uint8_t>& pat(std::uint32_t pair, int copy) const;
    int currentCopy(std::uint32_t pair) const;  // copy 1 when its usage count is >= copy 0's
    int resolveCopy(std::uint32_t pair, CopySel sel) const;  // Both resolves to -1
    void setPatUsage(std::uint32_t pair, int copy, std::uint32_t usage);
    // Writes the signature and the pair number field of the family's header.
    void writePatHeader(std::uint32_t pair, int copy, std::uint32_t number);
    // Writes only the pair number field (what a header check compares with n).
    void writePatNumber(std::uint32_t pair, int copy, std::uint32_t number);
    PageId entry(std::uint32_t pair, int copy, std::uint32_t slot) const;
    void setEntry(std::uint32_t pair, int copy, std::uint32_t slot, PageId e);
    // The entry of logical page L in the current copy of its pair.
    PageId entryOf(std::uint32_t logical) const;
    void setEntryOf(std::uint32_t logical, PageId e, CopySel sel = CopySel::Current);
    // The value that marks a slot as describing no page (zero below 8.x).
    PageId unusedEntry() const;

    // --- physical pages
    std::uint32_t physicalPages() const;  // page slots that start inside the file
    const PageRecord* page(std::uint32_t phys) const;
    void setPage(std::uint32_t phys, PageId header, std::uint16_t usage);
    void setUsage(std::uint32_t phys, std::uint16_t usage);
    void clearPage(std::uint32_t phys);  // the page keeps zero bytes only
    // True when the page slot overlaps the FCR area or a PAT page.
    bool reserved(std::uint32_t phys) const;
    // First slot at or after phys that is not reserved.
    std::uint32_t nextUnreserved(std::uint32_t phys) const;
    // Places a page at the first free slot at the end of the file and grows
    // the file to hold it. Returns its physical page number.
    std::uint32_t appendPage(PageId header, std::uint16_t usage);
    // Physical page the generator placed logical page L in (0 if none).
    std::uint32_t home(std::uint32_t logical) const;
    std::uint32_t logicalPages() const { return static_cast<std::uint32_t>(home_.size()); }
    void setHome(std::uint32_t logical, std::uint32_t phys);
    bool usageMasked() const { return maskUsage_; }
    std::uint16_t usageMask() const { return usageMask_; }

    // --- raw bytes, applied after everything else
    void poke(std::uint64_t offset, std::uint8_t value);
    void poke16(std::uint64_t offset, std::uint32_t value);
    void poke32(std::uint64_t offset, std::uint32_t value);
    // length bytes of value from offset on.
    void fill(std::uint64_t offset, std::uint64_t length, std::uint8_t value);

    // --- rendering
    void render(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t n) const;
    std::vector<std::uint8_t> bytes() const;
    void stream(ByteSink& sink, std::size_t window = 1u << 20) const;

  private:
    void paint(std::uint64_t at, const std::uint8_t* src, std::size_t len, std::uint64_t off,
               std::uint8_t* out, std::size_t n) const;
    void checkSlot(std::uint32_t slot) const;

    Layout layout_;
    std::uint64_t size_ = 0;
    std::array<std::vector<std::uint8_t>, 2> fcr_;
    std::vector<std::vector<std::uint8_t>> pats_;  // pair n copy c at 2 * (n - 1) + c
    std::vector<PageRecord> pages_;
    std::vector<std::uint32_t> home_;  // logical page L at home_[L - 1]
    std::map<std::uint64_t, std::uint8_t> pokes_;
    bool maskUsage_ = false;
    std::uint16_t usageMask_ = 0;
};

// A healthy file: FCR copies, PAT pairs at their offsets, every logical page
// in a physical page whose header names it, entries pointing at them.
BtrFile makeHealthy(const FileParams& params);

}  // namespace tbuild
