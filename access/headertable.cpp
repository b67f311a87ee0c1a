#include "access/headertable.h"

#include <exception>

namespace tabulon {

bool HeaderTable::assign(const FileGeometry& g, uint32_t count) {
    clear();
    g_ = g;
    extraBytes_ = headerExtraBytes(g);
    try {
        words_ = std::make_unique_for_overwrite<HeaderWord[]>(count);
        if (extraBytes_ > 0) {
            extra_ = std::make_unique_for_overwrite<uint8_t[]>(size_t(count) * size_t(extraBytes_));
        }
    } catch (const std::exception&) {
        clear();
        return false;
    }
    size_ = count;
    return true;
}

void HeaderTable::clear() {
    words_.reset();
    extra_.reset();
    size_ = 0;
}

void HeaderTable::put(uint32_t i, const PageHeader& header) {
    words_[i] = headerWordOf(g_, header, extra_.get() + size_t(i) * size_t(extraBytes_));
}

void HeaderTable::get(uint32_t i, PageHeader& header) const {
    headerFromWord(g_, words_[i], extra_.get() + size_t(i) * size_t(extraBytes_), &header);
}

}  // namespace tabulon
