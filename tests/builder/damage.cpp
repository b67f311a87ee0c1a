#include "builder/damage.h"

#include <stdexcept>
#include <string>

namespace tbuild {

namespace {

std::uint32_t homeOf(const BtrFile& f, std::uint32_t logical) {
    std::uint32_t phys = f.home(logical);
    if (phys == 0) {
        throw std::runtime_error("logical page " + std::to_string(logical) +
                                 " has no page in this file");
    }
    return phys;
}

}  // namespace

void pointEntryAt(BtrFile& f, std::uint32_t logical, std::uint32_t phys, CopySel sel) {
    std::uint32_t pair = pairOfLogical(f.layout(), logical);
    std::uint32_t slot = slotOfLogical(f.layout(), logical);
    int copy = f.resolveCopy(pair, sel);
    PageId e = f.entry(pair, copy == -1 ? f.currentCopy(pair) : copy, slot);
    f.setEntry(pair, copy, slot, PageId{phys, e.type});
}

void misdirectEntry(BtrFile& f, std::uint32_t logical, std::uint32_t other, CopySel sel) {
    pointEntryAt(f, logical, homeOf(f, other), sel);
}

std::uint32_t pointEntryBeyondEnd(BtrFile& f, std::uint32_t logical, std::uint32_t beyond,
                                  CopySel sel) {
    std::uint32_t phys = f.physicalPages() + beyond;
    pointEntryAt(f, logical, phys, sel);
    return phys;
}

void setEntryType(BtrFile& f, std::uint32_t logical, std::uint16_t type, CopySel sel) {
    std::uint32_t pair = pairOfLogical(f.layout(), logical);
    std::uint32_t slot = slotOfLogical(f.layout(), logical);
    int copy = f.resolveCopy(pair, sel);
    PageId e = f.entry(pair, copy == -1 ? f.currentCopy(pair) : copy, slot);
    f.setEntry(pair, copy, slot, PageId{e.id, type});
}

void zeroPageHeader(BtrFile& f, std::uint32_t logical, bool zeroUsage) {
    std::uint32_t phys = homeOf(f, logical);
    const PageRecord* r = f.page(phys);
    std::uint16_t usage = (r != nullptr && !zeroUsage) ? r->usage : 0;
    f.setPage(phys, PageId{0, 0}, usage);
}

void clearUsageBit(BtrFile& f, std::uint32_t logical) {
    std::uint32_t phys = homeOf(f, logical);
    const PageRecord* r = f.page(phys);
    std::uint16_t usage = r != nullptr ? r->usage : 0;
    f.setUsage(phys, static_cast<std::uint16_t>(usage & 0x7FFF));
}

std::uint32_t addCandidatePage(BtrFile& f, std::uint32_t logical, std::uint16_t usage,
                               std::optional<std::uint16_t> type) {
    std::uint16_t t = 0;
    if (type) {
        t = *type;
    } else {
        const PageRecord* r = f.page(homeOf(f, logical));
        t = r != nullptr ? r->type : 0x44;
        if (r != nullptr && r->id != logical) t = f.entryOf(logical).type;
    }
    return f.appendPage(PageId{logical, t}, usage);
}

void damagePatSignature(BtrFile& f, std::uint32_t pair, int copy) {
    auto& b = f.pat(pair, copy);
    switch (f.layout().patStyle) {
        case PatStyle::V6:
            b[0] = 'Q';
            break;
        case PatStyle::V7:
            b[1] = 'Q';
            break;
        case PatStyle::V8:
            b[3] = 'Q';
            break;
        case PatStyle::None:
            throw std::runtime_error("files before 6.x have no PAT");
    }
}

void damagePatNumber(BtrFile& f, std::uint32_t pair, int copy, std::uint32_t number) {
    f.writePatNumber(pair, copy, number);
}

void makePatIdsDiffer(BtrFile& f, std::uint32_t pair, std::uint8_t value) {
    if (f.layout().patStyle != PatStyle::V8) {
        throw std::runtime_error("every PAT page ID byte before 8.x is a checked header field");
    }
    f.pat(pair, 1)[5] = value;
}

}  // namespace tbuild
