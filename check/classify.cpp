#include "check/classify.h"

namespace tabulon {

PatHeaderCheck classifyPatHeaders(uint16_t version, const uint8_t* copy0, const uint8_t* copy1,
                                  uint32_t n) {
    PatHeaderCheck h;
    h.layout = patHeaderLayout(version);
    auto add = [&](Problem code, int copy) -> Finding& {
        Finding& f = h.findings[h.count++];
        f.code = code;
        f.pair = n;
        f.copy = copy;
        f.version = version;
        return f;
    };
    if (!h.layout) {
        add(Problem::PatLayoutUnknown, 0);
        return h;
    }
    const PatHeaderLayout& l = *h.layout;
    const uint8_t* copies[2] = {copy0, copy1};
    for (int c = 0; c < 2; ++c) {
        h.signatureSound[c] = patSignatureSound(l, copies[c]);
        if (h.signatureSound[c]) continue;
        Finding& f = add(Problem::PatSignature, c);
        f.signatureLength = l.signatureLength;
        f.fieldAt = uint8_t(l.signatureAt);
        for (int i = 0; i < l.signatureLength; ++i) {
            f.expected = (f.expected << 8) | pat::signatureByte;
            f.found = (f.found << 8) | copies[c][l.signatureAt + i];
        }
        f.digits = 2 * l.signatureLength;
    }
    for (int c = 0; c < 2; ++c) {
        h.pairNumber[c] = patHeaderPairNumber(l, copies[c]);
        if (h.pairNumber[c] == n) continue;
        Finding& f = add(Problem::PatPairNumber, c);
        f.expected = n;
        f.found = h.pairNumber[c];
        f.digits = l.pairDigits;
    }
    return h;
}

}  // namespace tabulon
