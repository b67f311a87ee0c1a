// An open Btrieve file: its file set, its FCR copies and the geometry read
// from them, with the page and PAT addressing of that geometry and the
// page-header reads and writes, each with its trace lines under /D.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/fileset.h"
#include "fileio/output.h"
#include "format/geometry.h"
#include "format/pageheader.h"

namespace tabulon {

class BtrieveFile {
  public:
    // Every notice and /D trace of the file goes to `notices`.
    BtrieveFile(NoticeSink& notices, Platform& platform);

    // Opens the set and loads the FCR: openSet, then loadFcr. Ok when both
    // succeeded; an extension file that ended the set early (outside a
    // repair) is no failure here: the members before it are checked.
    tabulon::Status open(const std::string& path, int mode, bool verbose,
                         MemberOpener* opener = nullptr);

    // Opens the members (with their /D traces): FileSet::open.
    tabulon::Status openSet(const std::string& path, int mode, bool verbose,
                            MemberOpener* opener = nullptr);

    // Reads the FCR of the open set into the geometry and sets
    // largeOffsetThreshold for 6.x files; NotBtrieve, with the line that
    // says why, when the file is not usable.
    tabulon::Status loadFcr();

    // When the first FCR copy is damaged (loadFcr found no usable FCR) but
    // a sound second copy lies at `at` (secondFcrCopyOffset): reads the
    // geometry from that copy, which becomes the current one; the first
    // copy's bytes stay as they are, for display. NotBtrieve when the
    // second copy cannot be read or used either.
    tabulon::Status loadFcrFromSecondCopy(uint32_t at);
    // loadFcr; but when the first copy is no FCR worth checking
    // (fcrHeadFault) and a sound second copy lies where its own geometry
    // puts it (secondFcrCopyOffset), loadFcrFromSecondCopy. The inspector's
    // reading of the FCR: the tabulon program reads the first copy only.
    tabulon::Status loadFcrEitherCopy();
    // Whether the FCR was read from the second copy alone.
    bool firstFcrCopyDamaged() const { return firstCopyDamaged_; }

    // Closes the set: FileSet::close.
    tabulon::Status close() { return set_.close(); }

    FileSet& fileSet() { return set_; }
    const FileSet& fileSet() const { return set_; }
    const FileGeometry& geometry() const { return geometry_; }
    const uint8_t* fcrCopy(int c) const { return fcrCopy_[size_t(c)].data(); }
    NoticeSink& notices() { return out_; }
    bool verbose() const { return verbose_; }

    // PAT entry slots per PAT page and bytes per pair stride; the tables of
    // the format, with "Unexpected Page Size" on standard error each time a
    // size they do not know is asked for.
    int patEntriesPerPage();
    int patPairStride();

    // Offset of copy 0 of PAT pair n, with its two trace lines under /D.
    uint64_t patPairOffset(uint32_t n);

    uint32_t lastPatPair() const;
    // How many of the FCR's PAT pairs lie whole within the set.
    uint32_t pairsThatFit() const;
    uint64_t pageOffset(uint32_t n) const { return tabulon::pageOffset(geometry_, n); }

    // The header and usage count of a page, read from the file set.
    int readPageHeaderAt(uint64_t offset, PageHeader& header);
    // The same at physical page n, with its trace line under /D.
    int readPageHeader(uint32_t n, PageHeader& header);
    tabulon::Status writePageHeaderAt(uint64_t offset, const PageHeader& header);
    tabulon::Status writePageHeader(uint32_t n, const PageHeader& header);

  private:
    tabulon::Status readFcr();

    NoticeSink& out_;
    FileSet set_;
    FileGeometry geometry_;
    std::vector<uint8_t> fcrCopy_[2] = {std::vector<uint8_t>(kBufferSize),
                                        std::vector<uint8_t>(kBufferSize)};
    bool verbose_ = false;
    bool firstCopyDamaged_ = false;
};

// Whether the members hold what the FCR names: every page of its page count
// and every PAT pair up to its last. A set copied without an extension file,
// or cut short, holds less; the check of such a set finds damage that no
// repair should mend.
struct SetExtent {
    uint64_t heldPages = 0;  // whole pages in the members
    uint64_t fcrPages = 0;   // the FCR's page count
    uint32_t pairsFit = 0, lastPair = 0;
    int members = 0;          // main file and extension files present
    std::string nextMember;   // the name of the first extension file the set lacks
    std::string lastMember;   // the name of its last member
    bool complete() const { return heldPages >= fcrPages && pairsFit >= lastPair; }
};

SetExtent setExtent(const BtrieveFile& file);

}  // namespace tabulon
