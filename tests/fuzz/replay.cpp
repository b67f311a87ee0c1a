// Replays fuzz inputs through the fuzz target without libFuzzer, for the
// regression inputs and for builds with any compiler.
//
//   tabulon_fuzz_replay PATH...      run each input (binary, or a .hex listing);
//                                    a directory stands for its files
//   tabulon_fuzz_replay --hex FILE   print a binary input as a .hex listing
//
// A .hex listing holds bytes as pairs of hex digits; "@offset" (hex) moves to
// an offset, the gap filled with zeros; "#" starts a comment.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool readBinary(const char* name, std::vector<uint8_t>* out) {
    std::ifstream f(name, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

bool parseHex(const std::vector<uint8_t>& text, std::vector<uint8_t>* out) {
    size_t at = 0;
    for (size_t i = 0; i < text.size();) {
        char c = char(text[i]);
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else {
            size_t j = i + (c == '@');
            std::string digits;
            while (j < text.size() && std::isxdigit(text[j])) digits += char(text[j++]);
            if (digits.empty()) return false;
            unsigned long long v = std::stoull(digits, nullptr, 16);
            if (c == '@') {
                at = size_t(v);
            } else {
                if (digits.size() != 2) return false;
                if (out->size() < at + 1) out->resize(at + 1);
                (*out)[at++] = uint8_t(v);
            }
            if (out->size() < at) out->resize(at);
            i = j;
        }
    }
    return true;
}

void printHex(const std::vector<uint8_t>& data) {
    std::printf("@0");
    for (size_t i = 0; i < data.size();) {
        size_t zeros = 0;
        while (i + zeros < data.size() && data[i + zeros] == 0) ++zeros;
        if (i + zeros == data.size() && zeros > 1) {
            // Trailing zeros: only the last byte, for the length.
            std::printf("\n@%zx 00", data.size() - 1);
            break;
        }
        if (zeros >= 16) {
            i += zeros;
            std::printf("\n@%zx ", i);
            continue;
        }
        if (i % 16 == 0) std::printf("\n");
        std::printf("%02x ", data[i++]);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hex") == 0) {
        std::vector<uint8_t> input;
        if (!readBinary(argv[2], &input)) return 2;
        printHex(input);
        return 0;
    }
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::is_directory(argv[i])) {
            names.push_back(argv[i]);
            continue;
        }
        std::vector<std::string> inDir;
        for (const auto& e : std::filesystem::directory_iterator(argv[i])) inDir.push_back(e.path().string());
        std::sort(inDir.begin(), inDir.end());
        names.insert(names.end(), inDir.begin(), inDir.end());
    }
    // No input at all is a corpus that was not found, not one that passed.
    if (names.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string& name : names) {
        std::vector<uint8_t> input;
        if (!readBinary(name.c_str(), &input)) {
            std::fprintf(stderr, "%s: cannot be read\n", name.c_str());
            return 2;
        }
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hex") == 0) {
            std::vector<uint8_t> bytes;
            if (!parseHex(input, &bytes)) {
                std::fprintf(stderr, "%s: not a hex listing\n", name.c_str());
                return 2;
            }
            input.swap(bytes);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        std::printf("replayed %s (%zu bytes)\n", name.c_str(), input.size());
    }
    return 0;
}
