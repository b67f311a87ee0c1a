// What a check run is asked to do, and what it counts.
#pragma once

#include <cstdint>

#include "format/pageheader.h"

namespace tabulon {

struct ScanOptions {
    int verbose = 0;            // /D: trace lines
    int progress = 1;           // /R clears: progress lines
    int showOffsets = 0;        // /O: show PAT and physical page offsets
    int checkZeroPointers = 0;  // /Z: report entries of type 0
    int unprotected = 0;        // /U: shared open
    int32_t fixMask = 0;        // /F#: repair bits 1, 2, 4 and 8
    uint32_t startPair = 1;     // /S#
    // A page whose zero header fix bit 1 has just rewritten stands for its
    // entry only when no other page names the logical page. Off: it competes
    // by its left-over usage word as any page does, the order of the first
    // release, which can leave an entry on an empty page while its version
    // stays out of reach; kept only to compare a build with that release.
    bool relabelledPageGivesWay = true;
};

struct ScanCounters {
    uint32_t patPagesExamined = 0;
    uint32_t dataPagesExamined = 0;
    uint32_t indexPagesExamined = 0;
    uint32_t otherPagesExamined = 0;
    uint32_t totalPagesExamined = 0;
    uint32_t patProblems = 0;
    uint32_t dataProblems = 0;
    uint32_t indexProblems = 0;
    uint32_t otherProblems = 0;
    uint32_t zeroPointerProblems = 0;
    uint32_t totalProblems = 0;
    uint32_t patHeadersFixed = 0;
    uint32_t dataPointersFixed = 0;
    uint32_t indexPointersFixed = 0;
    uint32_t variablePointersFixed = 0;
    uint32_t pagesResetToFree = 0;
    uint32_t totalFixed = 0;

    // One more page examined, in the class of page type t.
    void addExamined(uint16_t t);
    // Pages examined in each class.
    void addExamined(uint32_t data, uint32_t index, uint32_t other);
    // One more problem in the class of page type t (the total apart).
    void addProblemInClassOf(uint16_t t);
};

namespace fixbit {
constexpr int32_t pageId = 1;     // write a corrected page id into a zero header
constexpr int32_t freeSpace = 2;  // make a bad pointer a free-space pointer
constexpr int32_t patHeader = 4;  // rewrite damaged PAT header fields
constexpr int32_t bestPage = 8;   // point the entry at the best page found
}  // namespace fixbit

// The open mode a check with these options asks for: Repair with a fix mask,
// Unprotected with /U, ExclusiveRead otherwise.
int openModeFor(const ScanOptions& options);

}  // namespace tabulon
