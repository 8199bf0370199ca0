// The layout families: how an image file's bytes become the chip image the
// writer stores, and how a chip image becomes the word image with its check
// bytes. Every function takes the file as it is, of any length: bytes beyond
// the file read as zero (as if the file had been copied into a zero-filled
// staging buffer), bytes beyond what the layout uses are ignored, and every
// byte of the output is written. No function reads or writes outside the
// spans it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace image::layout {

using Bytes = std::span<const uint8_t>;
using Out = std::span<uint8_t>;

// The four-byte families, the ten-bit families, the paired twelve-bit
// regions and the word images of groups of two to four use 256-bit vectors
// where the processor has them (word images of pairs 512-bit byte permutes
// where it has those too); the rest of the hot loops use 128-bit vectors.
// Turning that off makes the narrower paths run, for tests and benchmarks;
// the results are the same.
void AllowWideVectors(bool allowed);
// Whether the 256-bit paths run: the processor has them and they are allowed.
bool WideVectorsInUse();

// Sum of the bytes as unsigned values in a 32-bit accumulator.
uint32_t ByteSum(Bytes bytes);

// --- four file bytes per chip word ------------------------------------------
// Six significant bits per file byte, three chip bytes per four-byte group:
// (b0 << 6) | (b1 & 0x3F), ((b0 << 2) & 0xF0) | ((b2 >> 2) & 0x0F), (b2 << 6) | (b3 & 0x3F).
// Groups are taken while both a whole file group and three chip bytes remain.
void SixBit(Bytes file, Out chip);
// The same with the middle byte ((b2 << 2) & 0xF0) | ((b0 >> 2) & 0x0F).
void SixBitSwapped(Bytes file, Out chip);
// Seven bits: (b0 << 7) | (b1 & 0x7F), ((b2 << 5) & 0xC0) | ((b0 >> 1) & 0x3F), (b2 << 7) | (b3 &
// 0x7F).
void SevenBit(Bytes file, Out chip);
// b0, b1 | (b3 << 4), b2 per group, byte by byte until the chip image is full.
void NibbleMerge(Bytes file, Out chip);

// --- byte copies -------------------------------------------------------------
// The file copied to the front of the chip image.
void PlainCopy(Bytes file, Out chip);
// Chip byte 2i = file byte i, chip byte 2i+1 = file byte (half + i), where
// half is half the chip image.
void InterleavedHalves(Bytes file, Out chip);

// --- sixteen-bit words with twelve significant bits ---------------------------
// `words` words: low bytes to chip bytes 0 .. words-1, then the bits 8-11 of
// words 2k and 2k+1 merged into chip byte words + k; the rest stays zero.
void TwelveBitSplitPlanes(Bytes file, size_t words, Out chip);
// Two halves of `halfWords` words each; the first half's planes go to the even
// chip bytes, the second half's to the odd ones; low planes first, nibble
// planes from 2 * halfWords; the bytes after both planes are 0xFF.
void TwelveBitInterleavedHalves(Bytes file, size_t halfWords, Out chip);
// Four regions A B C D of `regionWords` words; word m of A and B gives
// low(A), low(B), nib(A) << 4 | nib(B); then C and D the same way.
void TwelveBitPairedRegions(Bytes file, size_t regionWords, Out chip);
// `words` words as ten-bit words (low byte, bits 8-9), then bits 10-11 of four
// words packed into each even byte that follows; the odd bytes there are zero.
void TenPlusTwoBit(Bytes file, size_t words, Out chip);

// --- ten-bit values, two file bytes h l each -----------------------------------
// Value bits 0-4 = l bits 0-4, bits 5-9 = h bits 0-4. The low plane is one byte
// per value ((h << 5) | (l & 0x1F)); the top bits are h bits 3-4.
inline uint8_t TenBitLow(uint8_t h, uint8_t l) {
    return static_cast<uint8_t>((h << 5) | (l & 0x1F));
}
inline uint8_t TenBitTop(uint8_t h) {
    return static_cast<uint8_t>((h >> 3) & 0x03);
}
// Builds the low plane (one byte per value) and the packed top bits (four
// values per byte, first value in bits 1-0) of up to low.size() values; a last
// incomplete group of four is dropped. Unused plane bytes are zero.
void TenBitPlanes(Bytes file, Out low, Out packed);
// Per value k: chip byte 2k = top bits, 2k+1 = low-plane byte.
void TenBitWordPairs(Bytes file, Out chip);
// Low plane at the front, packed top bits after `lowBytes` bytes.
void TenBitConsecutivePlanes(Bytes file, size_t lowBytes, Out chip);
// Low plane (lowBytes) and packed plane (lowBytes / 4) halved and interleaved
// by byte pairs; from there to the end the pairs are 0x00, 0xFF.
void TenBitInterleavedHalves(Bytes file, size_t lowBytes, Out chip);
// Low plane (lowBytes) and packed plane in quarters: the first halves of both
// planes interleaved from byte 0, 0xFF up to the middle of the chip image, the
// second halves from there, then `tailFill` bytes 0xFF; the rest zero.
void TenBitInterleavedQuarters(Bytes file, size_t lowBytes, size_t tailFill, Out chip);

// --- word images ---------------------------------------------------------------
// Size of the word image for groups of `group` chip bytes: whole groups only,
// or (padLastGroup) every started group.
size_t WordImageSize(size_t chipSize, size_t group, bool padLastGroup);
// Each group of `group` chip bytes is copied and followed by its sum mod 256.
// With padLastGroup the last group is completed with 0xFF first. Bytes of
// `word` beyond the groups are zero.
void WordImage(Bytes chip, size_t group, bool padLastGroup, Out word);

} // namespace image::layout
