#include "access/btrfile.h"

#include <cstring>

#include "format/le.h"

namespace tabulon {

BtrieveFile::BtrieveFile(NoticeSink& out, Platform& platform) : out_(out), set_(platform) {}

Status BtrieveFile::open(const std::string& path, int mode, bool verbose, MemberOpener* opener) {
    Status s = openSet(path, mode, verbose, opener);
    if (set_.memberCount() == 0) return s;
    return loadFcr();
}

Status BtrieveFile::openSet(const std::string& path, int mode, bool verbose,
                            MemberOpener* opener) {
    verbose_ = verbose;
    geometry_ = FileGeometry{};
    firstCopyDamaged_ = false;
    return set_.open(path, mode, out_, verbose, opener);
}

Status BtrieveFile::loadFcr() {
    if (verbose_) out_.emitf(NoticeKind::Trace, Stream::Err, "Loading FCR\r\n");
    Status s = readFcr();
    if (s && geometry_.versionCode >= version::v600 && geometry_.versionCode <= 0x06FF) {
        uint32_t threshold = largeOffsetThresholdFor(geometry_.pageSize);
        if (threshold != 0) geometry_.largeOffsetThreshold = threshold;
    }
    return s;
}

Status BtrieveFile::readFcr() {
    FileGeometry& g = geometry_;
    auto notBtrieve = [&](FcrFault reason, const char* text) {
        Status s{Failure::NotBtrieve, set_.path(), 0, text};
        s.reason = reason;
        return s;
    };
    g.encrypted = 0;
    std::memset(g.encryptionMask, 0, sizeof g.encryptionMask);
    g.versionCode = 0;

    // The first copy: up to 16384 bytes, of which at least one sector.
    size_t got = 0;
    if (!set_.readSomeAt(0, fcrCopy_[0].data(), fcr::firstReadMax, &got) ||
        got < size_t(fcr::firstReadMin)) {
        return notBtrieve(FcrFault::TooShort, "Not a Btrieve File!\n");
    }
    const uint8_t* c0 = fcrCopy_[0].data();
    FcrVersion v;
    if (!decodeFcrVersion(c0, &v))
        return notBtrieve(FcrFault::NoSignature, "Not a Btrieve File!\n");
    g.versionCode = v.folded;
    if (verbose_)
        out_.emitf(NoticeKind::Trace, Stream::Err, "File Version Found = %.4X\n", g.versionCode);

    decodeGeometry(c0, g.versionCode, &g);

    if (g.versionCode >= version::v600) {
        // A page size the buffers cannot hold, or below one sector, is damage.
        if (!geometryUsable(g)) return notBtrieve(FcrFault::PageSize, "Not a Btrieve File!\n");
        uint16_t member;
        uint64_t rest;
        set_.mapOffset(g.patPageSize, &member, &rest);
        if (!set_.readSomeAt(g.patPageSize, fcrCopy_[1].data(), g.patPageSize, &got)) {
            // Outside every member the positioning fails; inside one the read.
            if (member >= set_.memberCount()) {
                return notBtrieve(FcrFault::SecondCopyAbsent, "Not a Btrieve File....\n");
            }
            return notBtrieve(FcrFault::SecondCopyShort, "Not a Btrieve File.....\n");
        }
        if (got < g.patPageSize) {
            return notBtrieve(FcrFault::SecondCopyShort, "Not a Btrieve File.....\n");
        }
        g.currentFcr = currentFcrCopy(g, fcrCopy_[0].data(), fcrCopy_[1].data());
    }

    const bool unitUsable = decodeCurrentFcr(fcrCopy_[size_t(g.currentFcr)].data(), &g);
    if (verbose_)
        out_.emitf(NoticeKind::Trace, Stream::Out, "Found %lu pages in file.\n",
                   (unsigned long)g.pageCount);
    if (!unitUsable) return notBtrieve(FcrFault::CompressionUnit, "Not a Btrieve File!\n");
    if (g.compressed) {
        out_.emit(NoticeKind::CompressionWarning, Stream::Out,
                  "\nWarning: v9.50 files with Page Compression are not yet supported!\n\n");
    }

    if (g.versionCode > version::v950) {
        if (g.versionCode == version::v1630) {
            out_.emit(NoticeKind::VersionWarning, Stream::Out,
                      "\nWarning: v16 files are NOT completely supported!\n\n", g.versionCode);
        } else {
            out_.emitf(NoticeKind::VersionWarning, Stream::Out, uint64_t(g.versionCode),
                       "\nWarning: v%d.%.2x files are NOT completely supported!\n\n",
                       g.versionCode >> 8, unsigned(g.versionCode & 0xFF));
        }
    }
    return Status{};
}

Status BtrieveFile::loadFcrFromSecondCopy(uint32_t at) {
    FileGeometry& g = geometry_;
    Status refused{Failure::NotBtrieve, set_.path(), 0, "Not a Btrieve File!\n"};
    refused.reason = FcrFault::SecondCopyShort;
    size_t got = 0;
    if (at == 0 || at > uint32_t(kBufferSize) ||
        !set_.readSomeAt(at, fcrCopy_[1].data(), at, &got) || got < at) {
        return refused;
    }
    const uint8_t* c1 = fcrCopy_[1].data();
    FcrVersion v;
    if (fcrHeadFault(c1, got) != FcrFault::None || !decodeFcrVersion(c1, &v) ||
        v.folded < version::v600) {
        return refused;
    }
    decodeGeometry(c1, v.folded, &g);
    if (g.patPageSize != at || !geometryUsable(g)) return refused;
    g.currentFcr = 1;
    if (!decodeCurrentFcr(c1, &g)) {
        refused.reason = FcrFault::CompressionUnit;
        return refused;
    }
    if (g.versionCode <= 0x06FF) {
        const uint32_t threshold = largeOffsetThresholdFor(g.pageSize);
        if (threshold != 0) g.largeOffsetThreshold = threshold;
    }
    firstCopyDamaged_ = true;
    return Status{};
}

Status BtrieveFile::loadFcrEitherCopy() {
    Status s = loadFcr();
    std::vector<uint8_t> head(size_t(kBufferSize) + size_t(fcr::firstReadMin));
    size_t got = 0;
    if (!set_.readSomeAt(0, head.data(), head.size(), &got) ||
        fcrHeadFault(head.data(), got) == FcrFault::None) {
        return s;
    }
    const uint32_t second = secondFcrCopyOffset(head.data(), got);
    if (second == 0) return s;
    const Status fromSecond = loadFcrFromSecondCopy(second);
    return fromSecond.ok() ? fromSecond : s;
}

int BtrieveFile::patEntriesPerPage() {
    if (!entriesKnown(geometry_)) {
        out_.emitf(NoticeKind::UnexpectedPageSize, Stream::Err, uint64_t(geometry_.pageSize),
                   "Unexpected Page Size <%d>\n", int(geometry_.pageSize));
    }
    return tabulon::patEntriesPerPage(geometry_);
}

int BtrieveFile::patPairStride() {
    if (!strideKnown(geometry_)) {
        out_.emitf(NoticeKind::UnexpectedPageSize, Stream::Err, uint64_t(geometry_.pageSize),
                   "Unexpected Page Size <%d>\n", int(geometry_.pageSize));
    }
    return tabulon::patPairStride(geometry_);
}

uint64_t BtrieveFile::patPairOffset(uint32_t n) {
    if (verbose_)
        out_.emitf(NoticeKind::Trace, Stream::Err, "(1)Seeking PAT Pair %lu at ", (unsigned long)n);
    uint64_t offset = 0;
    if (n != 0) {
        // The stride is asked for as the format tables give it, message included.
        (void)patPairStride();
        offset = tabulon::patPairOffset(geometry_, n);
    }
    if (verbose_) {
        out_.emitf(NoticeKind::Trace, Stream::Err, "Large Offset %.8x:%.8x\n",
                   unsigned(offset >> 32), unsigned(offset & 0xFFFFFFFFu));
    }
    return offset;
}

uint32_t BtrieveFile::pairsThatFit() const {
    return tabulon::pairsThatFit(geometry_, lastPatPair(), set_.totalSize());
}

SetExtent setExtent(const BtrieveFile& file) {
    SetExtent e;
    const FileGeometry& g = file.geometry();
    const FileSet& set = file.fileSet();
    const uint64_t unit = pageUnit(g);
    e.fcrPages = g.pageCount;
    // Without a page unit every page lies at offset 0: nothing to count.
    e.heldPages = unit == 0 ? e.fcrPages : set.totalSize() / unit;
    e.lastPair = file.lastPatPair();
    e.pairsFit = file.pairsThatFit();
    e.members = set.memberCount();
    if (e.members > 0) e.lastMember = set.memberFileName(e.members - 1);
    if (e.members > 0 && e.members < kMaxMembers) {
        memberName(set.memberFileName(0), e.members, &e.nextMember);
    }
    return e;
}

uint32_t BtrieveFile::lastPatPair() const {
    return tabulon::lastPatPair(geometry_, fcrCopy(geometry_.currentFcr));
}

int BtrieveFile::readPageHeaderAt(uint64_t offset, PageHeader& header) {
    const int size = geometry_.headerSize;
    if (!set_.readAt(offset, header.headerBytes, size_t(size))) return 0;
    uint8_t word[2];
    if (!set_.readAt(offset + uint64_t(size), word, 2)) return 0;
    header.usageCount = unmaskUsage(geometry_, le16(word));
    return 1;
}

int BtrieveFile::readPageHeader(uint32_t n, PageHeader& header) {
    uint64_t offset = pageOffset(n);
    if (verbose_) {
        out_.emitf(NoticeKind::Trace, Stream::Out,
                   "For Phys Page Number 0x%.8x, calculated Large Offset %.8x:%.8x\n", unsigned(n),
                   unsigned(offset >> 32), unsigned(offset & 0xFFFFFFFFu));
    }
    return readPageHeaderAt(offset, header);
}

tabulon::Status BtrieveFile::writePageHeaderAt(uint64_t offset, const PageHeader& header) {
    return set_.write(offset, header.headerBytes, size_t(geometry_.headerSize));
}

tabulon::Status BtrieveFile::writePageHeader(uint32_t n, const PageHeader& header) {
    return writePageHeaderAt(pageOffset(n), header);
}

}  // namespace tabulon
