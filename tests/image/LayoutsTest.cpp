// The layout families on small inputs, with vectors worked out by hand.
#include "image/Layouts.h"
#include "tests/image/ImageTestSupport.h"

#include <gtest/gtest.h>

using namespace imagetest;
namespace layout = image::layout;

namespace {

// Runs `build` into a buffer pre-filled with 0xCC, so that bytes the family
// forgets to write show up.
template <typename F> Bytes Build(size_t size, F build) {
    Bytes out(size, 0xCC);
    build(std::span<uint8_t>(out));
    return out;
}

TEST(ByteSum, AddsEvenOddAndTrailingBytes) {
    EXPECT_EQ(layout::ByteSum(Bytes{}), 0u);
    EXPECT_EQ(layout::ByteSum(Bytes{0xFF}), 0xFFu);
    EXPECT_EQ(layout::ByteSum(Bytes{1, 2, 3, 4, 5}), 15u);
    EXPECT_EQ(layout::ByteSum(Bytes(70000, 0xFF)), 70000u * 255);
}

TEST(FourByteFamilies, PackOneGroupEachTheirWay) {
    const Bytes group = {0x3F, 0x2A, 0x15, 0x01};
    EXPECT_EQ(Build(3, [&](auto o) { layout::SixBit(group, o); }), (Bytes{0xEA, 0xF5, 0x41}));
    EXPECT_EQ(Build(3, [&](auto o) { layout::SixBitSwapped(group, o); }),
              (Bytes{0xEA, 0x5F, 0x41}));
    EXPECT_EQ(Build(3, [&](auto o) { layout::SevenBit(group, o); }), (Bytes{0xAA, 0x9F, 0x81}));
}

TEST(FourByteFamilies, TakeOnlyGroupsThatFitAndZeroTheRest) {
    const Bytes file = Pattern(10);
    // Two whole file groups, room for three: the third is zero.
    const Bytes out = Build(9, [&](auto o) { layout::SixBit(file, o); });
    EXPECT_EQ(Slice(out.data(), 6, 3), Bytes(3, 0));
    // Room for one group only: the second file group is not read.
    const Bytes one = Build(3, [&](auto o) { layout::SevenBit(file, o); });
    EXPECT_EQ(one, Slice(Build(6, [&](auto o) { layout::SevenBit(file, o); }).data(), 0, 3));
}

TEST(NibbleMerge, MergesTheFourthByteAndStopsWhenFull) {
    const Bytes file = {0x11, 0x22, 0x33, 0x04, 0x55, 0x66, 0x77, 0x08};
    EXPECT_EQ(Build(8, [&](auto o) { layout::NibbleMerge(file, o); }),
              (Bytes{0x11, 0x62, 0x33, 0x55, 0xE6, 0x77, 0x00, 0x00}));
    EXPECT_EQ(Build(5, [&](auto o) { layout::NibbleMerge(file, o); }),
              (Bytes{0x11, 0x62, 0x33, 0x55, 0xE6}));
}

TEST(ByteCopies, PlainCopyTruncatesOrZeroFills) {
    const Bytes file = {1, 2, 3, 4, 5};
    EXPECT_EQ(Build(3, [&](auto o) { layout::PlainCopy(file, o); }), (Bytes{1, 2, 3}));
    EXPECT_EQ(Build(7, [&](auto o) { layout::PlainCopy(file, o); }), (Bytes{1, 2, 3, 4, 5, 0, 0}));
}

TEST(ByteCopies, InterleavedHalvesPairFirstAndSecondHalf) {
    const Bytes file = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Build(8, [&](auto o) { layout::InterleavedHalves(file, o); }),
              (Bytes{1, 5, 2, 6, 3, 0, 4, 0}));
}

TEST(TwelveBit, SplitPlanesTakeLowBytesThenMergedNibbles) {
    const Bytes file = Words({0xFABC, 0x0123, 0x0F00, 0x00FF});
    EXPECT_EQ(Build(8, [&](auto o) { layout::TwelveBitSplitPlanes(file, 4, o); }),
              (Bytes{0xBC, 0x23, 0x00, 0xFF, 0x1A, 0x0F, 0x00, 0x00}));
}

TEST(TwelveBit, SplitPlanesOfAShortFileReadMissingWordsAsZero) {
    const Bytes file = {0xBC, 0x0A, 0x23}; // one word and a half
    EXPECT_EQ(Build(6, [&](auto o) { layout::TwelveBitSplitPlanes(file, 4, o); }),
              (Bytes{0xBC, 0x23, 0x00, 0x00, 0x0A, 0x00}));
}

TEST(TwelveBit, InterleavedHalvesPutTheHalvesOnEvenAndOddBytes) {
    const Bytes file = Words({0x0A11, 0x0B22, 0x0C33, 0x0D44});
    EXPECT_EQ(Build(8, [&](auto o) { layout::TwelveBitInterleavedHalves(file, 2, o); }),
              (Bytes{0x11, 0x33, 0x22, 0x44, 0xBA, 0xDC, 0xFF, 0xFF}));
}

TEST(TwelveBit, PairedRegionsMergeTwoRegionsIntoThreeBytes) {
    const Bytes file = Words({0x0A11, 0x0B22, 0x0C33, 0x0D44});
    EXPECT_EQ(Build(6, [&](auto o) { layout::TwelveBitPairedRegions(file, 1, o); }),
              (Bytes{0x11, 0x22, 0xAB, 0x33, 0x44, 0xCD}));
}

TEST(TwelveBit, TenPlusTwoKeepsBitsEightNineAndPacksTenEleven) {
    const Bytes file = Words({0x0F01, 0x0A02, 0x0503, 0x0004});
    EXPECT_EQ(Build(12, [&](auto o) { layout::TenPlusTwoBit(file, 4, o); }),
              (Bytes{0x01, 0x03, 0x02, 0x02, 0x03, 0x01, 0x04, 0x00, 0x1B, 0x00, 0x00, 0x00}));
}

// Five ten-bit values h l: tops 3, 1, 2, 0, 3; low bytes FF 01 02 1F FF.
const Bytes kTenBitValues = {0x1F, 0x1F, 0x08, 0x01, 0x10, 0x02, 0x00, 0x1F, 0x1F, 0x1F};

TEST(TenBit, ValueSplitsIntoLowByteAndTopBits) {
    EXPECT_EQ(layout::TenBitLow(0x1F, 0x1F), 0xFF);
    EXPECT_EQ(layout::TenBitTop(0x1F), 3);
    EXPECT_EQ(layout::TenBitLow(0x01, 0x20), 0x20);
    EXPECT_EQ(layout::TenBitTop(0x10), 2);
}

TEST(TenBit, WordPairsPutTopBitsBeforeTheLowByte) {
    EXPECT_EQ(Build(6, [&](auto o) { layout::TenBitWordPairs(kTenBitValues, o); }),
              (Bytes{0x03, 0xFF, 0x01, 0x01, 0x02, 0x02}));
}

TEST(TenBit, IncompleteLastGroupOfTopBitsIsDropped) {
    // Room for eight values; the fifth value's top bits (3) are not packed.
    EXPECT_EQ(Build(10, [&](auto o) { layout::TenBitConsecutivePlanes(kTenBitValues, 8, o); }),
              (Bytes{0xFF, 0x01, 0x02, 0x1F, 0xFF, 0x00, 0x00, 0x00, 0x27, 0x00}));
}

TEST(TenBit, InterleavedHalvesPairPlaneHalvesThenFillZeroFF) {
    const Bytes file = Pattern(16);
    Bytes low(8), packed(2);
    layout::TenBitPlanes(file, low, packed);
    const Bytes out = Build(16, [&](auto o) { layout::TenBitInterleavedHalves(file, 8, o); });
    EXPECT_EQ(out, (Bytes{low[0], low[4], low[1], low[5], low[2], low[6], low[3], low[7], packed[0],
                          packed[1], 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF}));
}

TEST(TenBit, InterleavedQuartersLeaveAnFFGapAndTail) {
    const Bytes file = Pattern(32);
    Bytes low(16), packed(4);
    layout::TenBitPlanes(file, low, packed);
    const Bytes out = Build(32, [&](auto o) { layout::TenBitInterleavedQuarters(file, 16, 2, o); });
    const Bytes expected = {low[0],  low[4],    low[1],    low[5],    low[2],    low[6],  low[3],
                            low[7],  packed[0], packed[1], 0xFF,      0xFF,      0xFF,    0xFF,
                            0xFF,    0xFF,      low[8],    low[12],   low[9],    low[13], low[10],
                            low[14], low[11],   low[15],   packed[2], packed[3], 0xFF,    0xFF,
                            0x00,    0x00,      0x00,      0x00};
    EXPECT_EQ(out, expected);
}

// The interleaving families must drop an incomplete last group of top bits
// just as the planes do, whatever the file's length.
TEST(TenBit, InterleavedFamiliesAgreeWithThePlanesForEveryShortLength) {
    for (size_t length = 0; length <= 40; ++length) {
        SCOPED_TRACE(length);
        const Bytes file = Pattern(length, 0x1B);
        Bytes low8(8), packed8(2);
        layout::TenBitPlanes(file, low8, packed8);
        const Bytes halves =
            Build(16, [&](auto o) { layout::TenBitInterleavedHalves(file, 8, o); });
        EXPECT_EQ(Slice(halves.data(), 8, 2), (Bytes{packed8[0], packed8[1]}));
        Bytes low16(16), packed16(4);
        layout::TenBitPlanes(file, low16, packed16);
        const Bytes quarters =
            Build(32, [&](auto o) { layout::TenBitInterleavedQuarters(file, 16, 2, o); });
        EXPECT_EQ((Bytes{quarters[8], quarters[9], quarters[24], quarters[25]}), packed16);
        EXPECT_EQ(quarters[16], low16[8]);
    }
}

TEST(WordImage, GroupsGetTheirSumModulo256) {
    EXPECT_EQ(Build(6,
                    [](auto o) {
                        layout::WordImage(Bytes{1, 2, 3, 4}, 2, false, o);
                    }),
              (Bytes{1, 2, 3, 3, 4, 7}));
    EXPECT_EQ(Build(9, [](auto o) { layout::WordImage(Bytes(8, 0xFF), 8, false, o); }),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF8}));
}

TEST(WordImage, EveryGroupOfEverySizeCarriesItsBytesAndSum) {
    for (size_t group : {2, 3, 4, 8}) {
        for (size_t groups = 0; groups <= 40; ++groups) {
            SCOPED_TRACE(testing::Message() << "group " << group << " x " << groups);
            const Bytes chip = Pattern(group * groups, static_cast<uint8_t>(groups));
            const Bytes word = Build(layout::WordImageSize(chip.size(), group, false),
                                     [&](auto o) { layout::WordImage(chip, group, false, o); });
            for (size_t g = 0; g < groups; ++g) {
                const Bytes bytes = Slice(chip.data(), g * group, group);
                ASSERT_EQ(Slice(word.data(), g * (group + 1), group), bytes) << g;
                ASSERT_EQ(word[g * (group + 1) + group],
                          static_cast<uint8_t>(layout::ByteSum(bytes)))
                    << g;
            }
        }
    }
}

TEST(FourByteFamilies, ManyGroupsPackLikeOneGroupAtATimeOnEveryPath) {
    const Bytes file = Pattern(4 * 37, 3);
    using Family = void (*)(layout::Bytes, layout::Out);
    for (Family family : {Family{layout::SixBit}, Family{layout::SixBitSwapped},
                          Family{layout::SevenBit}, Family{layout::NibbleMerge}}) {
        for (bool wide : {true, false}) {
            layout::AllowWideVectors(wide);
            const Bytes all = Build(3 * 37, [&](auto o) { family(file, o); });
            for (size_t g = 0; g < 37; ++g) {
                const Bytes one =
                    Build(3, [&](auto o) { family(Slice(file.data(), 4 * g, 4), o); });
                ASSERT_EQ(Slice(all.data(), 3 * g, 3), one) << g << (wide ? " wide" : "");
            }
        }
    }
    layout::AllowWideVectors(true);
}

// Long enough for several vector blocks plus every remainder, on both paths;
// the spare bytes after the groups must stay zero.
TEST(WordImage, VectorAndNarrowPathsMatchGroupByGroupSums) {
    for (size_t group : {2, 3, 4}) {
        for (size_t groups = 0; groups <= 80; ++groups) {
            const Bytes chip = Pattern(group * groups + 5, static_cast<uint8_t>(groups + group));
            Bytes expected;
            for (size_t g = 0; g < groups; ++g) {
                const Bytes bytes = Slice(chip.data(), g * group, group);
                expected.insert(expected.end(), bytes.begin(), bytes.end());
                expected.push_back(static_cast<uint8_t>(layout::ByteSum(bytes)));
            }
            expected.resize(expected.size() + 3, 0);
            for (bool wide : {true, false}) {
                SCOPED_TRACE(testing::Message() << "group " << group << " x " << groups
                                                << (wide ? " wide" : " narrow"));
                layout::AllowWideVectors(wide);
                const Bytes word = Build(expected.size(), [&](auto o) {
                    layout::WordImage(layout::Bytes(chip).first(group * groups), group, false, o);
                });
                ASSERT_EQ(word, expected);
            }
        }
    }
    layout::AllowWideVectors(true);
}

// The sixteen-bit families run their loops with or without 256-bit vectors;
// both must give the same bytes, at lengths around every vector width.
TEST(SixteenBitFamilies, VectorAndNarrowPathsGiveTheSameImage) {
    using Family = void (*)(layout::Bytes, layout::Out);
    const Family families[] = {
        layout::TenBitWordPairs,
        [](layout::Bytes f, layout::Out o) { layout::TenPlusTwoBit(f, o.size() * 2 / 5, o); },
        [](layout::Bytes f, layout::Out o) { layout::TenBitInterleavedHalves(f, o.size(), o); },
        [](layout::Bytes f, layout::Out o) {
            layout::TenBitInterleavedQuarters(f, o.size() / 2, 3, o);
        },
    };
    for (size_t f = 0; f < std::size(families); ++f) {
        for (size_t chipSize = 0; chipSize <= 400; chipSize += 7) {
            const Bytes file = Pattern(chipSize + chipSize / 3, static_cast<uint8_t>(chipSize));
            layout::AllowWideVectors(false);
            const Bytes narrow = Build(chipSize, [&](auto o) { families[f](file, o); });
            layout::AllowWideVectors(true);
            const Bytes wide = Build(chipSize, [&](auto o) { families[f](file, o); });
            ASSERT_EQ(wide, narrow) << "family " << f << ", " << chipSize << " bytes";
        }
    }
}

// Images long enough for several sixteen-byte blocks and every remainder,
// checked byte by byte against the value formulas.
TEST(SixteenBitFamilies, LongImagesFollowTheValueFormulas) {
    for (size_t values : {15, 16, 17, 63, 64, 65, 130, 257}) {
        SCOPED_TRACE(values);
        const Bytes file = Pattern(2 * values + 1, static_cast<uint8_t>(values));
        Bytes low(values), packed(values / 4);
        layout::TenBitPlanes(file, low, packed);
        for (size_t k = 0; k < values; ++k)
            ASSERT_EQ(low[k], layout::TenBitLow(file[2 * k], file[2 * k + 1])) << k;
        for (size_t j = 0; j < values / 4; ++j) {
            uint8_t top = 0;
            for (int v = 0; v < 4; ++v)
                top |= static_cast<uint8_t>(layout::TenBitTop(file[8 * j + 2 * v]) << (2 * v));
            ASSERT_EQ(packed[j], top) << j;
        }
        // Both planes halved and interleaved, as the short case above.
        const size_t lowBytes = values / 8 * 8;
        Bytes low2(lowBytes), packed2(lowBytes / 4);
        layout::TenBitPlanes(file, low2, packed2);
        const Bytes halves = Build(lowBytes + lowBytes / 4, [&](auto o) {
            layout::TenBitInterleavedHalves(file, lowBytes, o);
        });
        for (size_t k = 0; k < lowBytes / 2; ++k)
            ASSERT_EQ(Slice(halves.data(), 2 * k, 2), (Bytes{low2[k], low2[lowBytes / 2 + k]}));
        for (size_t j = 0; j < lowBytes / 8; ++j)
            ASSERT_EQ(Slice(halves.data(), lowBytes + 2 * j, 2),
                      (Bytes{packed2[j], packed2[lowBytes / 8 + j]}));
        // Word m of regions A and B: low(A), low(B), nib(A) << 4 | nib(B).
        const Bytes regions =
            Build(6 * values, [&](auto o) { layout::TwelveBitPairedRegions(file, values, o); });
        // Bytes past the file read as zero.
        const auto byteAt = [&](size_t i) -> uint8_t { return i < file.size() ? file[i] : 0; };
        for (size_t m = 0; m < values; ++m) {
            for (size_t pair = 0; pair < 2; ++pair) {
                const size_t a = 2 * (2 * pair * values + m), b = a + 2 * values;
                const Bytes expected{
                    byteAt(a), byteAt(b),
                    static_cast<uint8_t>(((byteAt(a + 1) & 0x0F) << 4) | (byteAt(b + 1) & 0x0F))};
                ASSERT_EQ(Slice(regions.data(), 3 * (pair * values + m), 3), expected)
                    << "pair " << pair << ", word " << m;
            }
        }
    }
}

TEST(WordImage, SevenChipBytesInPaddedGroupsOfFourGiveTenBytes) {
    EXPECT_EQ(layout::WordImageSize(7, 4, true), 10u);
    EXPECT_EQ(Build(10,
                    [](auto o) {
                        layout::WordImage(Bytes{1, 2, 3, 4, 5, 6, 7}, 4, true, o);
                    }),
              (Bytes{1, 2, 3, 4, 10, 5, 6, 7, 0xFF, 0x11}));
}

TEST(WordImage, UnpaddedGroupsLeaveTheRestOfTheImageZero) {
    EXPECT_EQ(layout::WordImageSize(7, 3, false), 8u);
    EXPECT_EQ(Build(10,
                    [](auto o) {
                        layout::WordImage(Bytes{1, 1, 1, 2, 2, 2, 9}, 3, false, o);
                    }),
              (Bytes{1, 1, 1, 3, 2, 2, 2, 6, 0, 0}));
}

} // namespace
