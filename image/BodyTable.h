// The body table: for every body index 1 to 34 the image class, its layout
// family and the numbers that drive it, and the file lengths the body accepts.
// Index 0 (and anything above 34) is no body.
#pragma once

#include <cstdint>
#include <span>

namespace image {

constexpr int kFirstBody = 1;
constexpr int kLastBody = 34;

enum class Family {
    SixBit,                     // four file bytes to three chip bytes, six bits each
    SixBitSwapped,              // the same with the middle byte's halves swapped
    SevenBit,                   // four file bytes to three chip bytes, seven bits each
    NibbleMerge,                // b0, b1 | b3 << 4, b2
    InterleavedHalves,          // the file's two halves byte by byte
    PlainCopy,                  // the file as it is
    TenBitWordPairs,            // top bits and low byte per value
    TenBitConsecutivePlanes,    // low plane, then packed top bits
    TenBitInterleavedHalves,    // both planes halved and interleaved
    TenBitInterleavedQuarters,  // both planes quartered and interleaved
    TwelveBitSplitPlanes,       // low-byte plane, then nibble plane
    TwelveBitInterleavedHalves, // the two halves' planes on even and odd bytes
    TwelveBitPairedRegions,     // two regions merged into three bytes per word
    TenPlusTwoBit,              // ten-bit words, then bits 10-11 packed
};

// Where and how a body places the 14-byte information record.
enum class RecordPlacement {
    None,             // the class has no record operation
    Nothing,          // the operation exists and writes nothing
    FFFFThenRecord,   // FF FF r1 .. r13 r0 into the chip image
    FFThenRecordEven, // FF r1 .. r13 r0 into the even chip bytes
    EvenBytes,        // r0 .. r13 into the even chip bytes
    FileContents,     // r0 .. r13 into the low bytes of file words 38 to 51
    WidenedWords,     // 00 00 r1 .. r13 r0 as 16-bit words
    WordBlock,        // sixteen 16-bit words around the record
    ZeroPairs,        // 00 ri into the chip image, 00 ri ri into the word image
    ConsecutiveSums,  // r0 .. r13 into the chip image, pairs with sums into the word image
    EvenSums,         // r0 .. r13 into the even chip bytes, pairs with sums into the word image
    EvenGroupCheck,   // r0 .. r13 into the even chip bytes, first byte of word groups
};

struct BodyLayout {
    int index;
    const char* className;
    Family family;
    // Chip-image bytes; 0 when they follow the file length (length / 4 * 3).
    uint32_t units;
    // Chip bytes per word-image group (each followed by one check byte).
    uint32_t group;
    uint32_t windowStart, windowEnd;
    // Byte offset of the information record (in the chip image, or in the file
    // contents for RecordPlacement::FileContents).
    uint32_t infoOffset;
    // Largest part of the file the layout takes; 0 = the whole file.
    uint32_t staging;
    // Layout parameter: words (twelve-bit and ten-plus-two families), values
    // of the low plane (ten-bit families); 0 where the family has none.
    uint32_t words;
    RecordPlacement record;
};

// The row of a body index 1 to 34; null for any other value.
const BodyLayout* FindBodyLayout(int index);
// The row of the plain OTP image (index 0): six-bit packing, window 64-96, offset 192.
const BodyLayout& PlainOtpLayout();
// Every row, indexes 1 to 34 ascending.
std::span<const BodyLayout> BodyLayouts();

// The body-list name of an index 1 to 34 as the shipped profile gives it, one
// blank before and after: the names the program's rules compare (" KL500 ",
// " KS300 ", ...), the model's name for the others; null for any other index.
const char* DefaultBodyName(int index);

// --- accepted file lengths ------------------------------------------------------
struct SizeRule {
    int index;
    // Accepted lengths, descending; empty when only a bound applies.
    std::span<const uint32_t> lengths;
    // Every length of this index is accepted too; 0 = none.
    int alsoIndex;
    // Any length up to this bound is accepted; 0 = no bound.
    uint32_t upTo;
};

// The size rule of an index 1 to 34; null otherwise.
const SizeRule* FindSizeRule(int index);
std::span<const SizeRule> SizeRules();

} // namespace image
