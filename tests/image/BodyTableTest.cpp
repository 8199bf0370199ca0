// Walks every entry of the body tables and checks that they fit together.
#include "image/BodyTable.h"
#include "image/Acceptance.h"
#include "image/XdeLadders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using image::Family;
using image::RecordPlacement;

// Every length the size rule of `index` lists (bounded bodies: none).
std::set<uint32_t> ListedLengths(int index) {
    std::set<uint32_t> lengths;
    for (int hops = 0; index != 0 && hops < 40; ++hops) {
        const image::SizeRule* rule = image::FindSizeRule(index);
        lengths.insert(rule->lengths.begin(), rule->lengths.end());
        index = rule->alsoIndex;
    }
    return lengths;
}

uint32_t LargestAccepted(int index) {
    const image::SizeRule* rule = image::FindSizeRule(index);
    if (rule->upTo)
        return rule->upTo;
    const auto lengths = ListedLengths(index);
    return lengths.empty() ? 0 : *lengths.rbegin();
}

// Chip-image bytes the family writes from its parameters.
uint64_t Footprint(const image::BodyLayout& b) {
    switch (b.family) {
    case Family::TwelveBitSplitPlanes:
        return b.words + b.words / 2;
    case Family::TwelveBitInterleavedHalves:
        return 3ull * b.words;
    case Family::TwelveBitPairedRegions:
        return 6ull * b.words;
    case Family::TenPlusTwoBit:
        return 2ull * b.words + b.words / 2;
    case Family::TenBitWordPairs:
        return 2ull * b.words;
    case Family::TenBitConsecutivePlanes:
    case Family::TenBitInterleavedHalves:
        return b.words + b.words / 4;
    case Family::TenBitInterleavedQuarters:
        return b.units / 2 + (b.words + b.words / 4) / 2 + 18;
    default:
        return b.units;
    }
}

// Bytes the record occupies in the chip image, counted from infoOffset.
uint64_t RecordFootprint(RecordPlacement p) {
    switch (p) {
    case RecordPlacement::FFFFThenRecord:
        return 16;
    case RecordPlacement::FFThenRecordEven:
        return 29;
    case RecordPlacement::EvenBytes:
    case RecordPlacement::EvenSums:
    case RecordPlacement::EvenGroupCheck:
    case RecordPlacement::FileContents:
        return 27;
    case RecordPlacement::WidenedWords:
    case RecordPlacement::WordBlock:
    case RecordPlacement::ZeroPairs:
        return 32;
    case RecordPlacement::ConsecutiveSums:
        return 14;
    default:
        return 0;
    }
}

TEST(BodyTable, EveryBodyFromOneToThirtyFourHasEveryTable) {
    EXPECT_EQ(image::FindBodyLayout(0), nullptr);
    EXPECT_EQ(image::FindBodyLayout(35), nullptr);
    EXPECT_EQ(image::FindSizeRule(0), nullptr);
    EXPECT_EQ(image::FindXdeRule(35), nullptr);
    EXPECT_EQ(image::DefaultBodyName(0), nullptr);
    ASSERT_EQ(image::BodyLayouts().size(), 34u);
    for (int index = 1; index <= 34; ++index) {
        SCOPED_TRACE(index);
        ASSERT_NE(image::FindBodyLayout(index), nullptr);
        EXPECT_EQ(image::FindBodyLayout(index)->index, index);
        ASSERT_NE(image::FindSizeRule(index), nullptr);
        EXPECT_EQ(image::FindSizeRule(index)->index, index);
        ASSERT_NE(image::FindXdeRule(index), nullptr);
        EXPECT_EQ(image::FindXdeRule(index)->index, index);
        const std::string name = image::DefaultBodyName(index);
        EXPECT_GE(name.size(), 3u);
        EXPECT_EQ(name.front(), ' ');
        EXPECT_EQ(name.back(), ' ');
        EXPECT_NE(name[1], ' ');
    }
}

TEST(BodyTable, SizeListsDescendWithoutRepeatsAndChainsEnd) {
    for (const image::SizeRule& rule : image::SizeRules()) {
        SCOPED_TRACE(rule.index);
        EXPECT_TRUE(rule.upTo != 0 || !rule.lengths.empty());
        EXPECT_TRUE(std::is_sorted(rule.lengths.begin(), rule.lengths.end(), std::greater<>()));
        EXPECT_EQ(std::adjacent_find(rule.lengths.begin(), rule.lengths.end()), rule.lengths.end());
        int index = rule.index, hops = 0;
        while (index != 0 && hops++ < 34)
            index = image::FindSizeRule(index)->alsoIndex;
        EXPECT_EQ(index, 0) << "size rules refer to each other in a ring";
    }
}

TEST(BodyTable, EveryAcceptedFileFitsItsLayout) {
    for (const image::BodyLayout& b : image::BodyLayouts()) {
        SCOPED_TRACE(b.index);
        const uint32_t largest = LargestAccepted(b.index);
        ASSERT_GT(largest, 0u);
        switch (b.family) {
        case Family::SixBit:
        case Family::SixBitSwapped:
        case Family::SevenBit:
            EXPECT_EQ(b.units, 0u);
            break;
        case Family::TwelveBitSplitPlanes:
        case Family::TwelveBitInterleavedHalves:
        case Family::TwelveBitPairedRegions:
        case Family::TenPlusTwoBit:
            EXPECT_GE(b.staging, largest) << "staging smaller than an accepted file";
            EXPECT_LE(uint64_t{2} * b.words *
                          (b.family == Family::TwelveBitInterleavedHalves ? 2
                           : b.family == Family::TwelveBitPairedRegions   ? 4
                                                                          : 1),
                      b.staging);
            break;
        case Family::TenBitWordPairs:
        case Family::TenBitConsecutivePlanes:
        case Family::TenBitInterleavedHalves:
        case Family::TenBitInterleavedQuarters:
            EXPECT_GE(uint64_t{2} * b.words, largest) << "values of an accepted file are lost";
            break;
        case Family::PlainCopy:
            // Beyond the chip a file may hold padding only.
            if (largest > b.units) {
                std::vector<uint8_t> file(largest, 0xFF);
                file.back() = 0x01;
                EXPECT_FALSE(image::FileTailIsPadding(b.index, file));
            }
            break;
        case Family::InterleavedHalves:
            EXPECT_GE(b.units, largest);
            break;
        case Family::NibbleMerge:
            EXPECT_GE(uint64_t{largest} / 4 * 3, b.units);
            break;
        }
        if (b.units != 0) {
            EXPECT_LE(Footprint(b), b.units) << "the layout writes beyond its chip image";
        }
    }
}

TEST(BodyTable, WindowsAndRecordsLieInsideTheirImages) {
    for (const image::BodyLayout& b : image::BodyLayouts()) {
        SCOPED_TRACE(b.index);
        EXPECT_LE(b.windowStart, b.windowEnd);
        if (b.units == 0)
            continue;
        ASSERT_GT(b.group, 0u);
        EXPECT_EQ(b.units % b.group, 0u);
        const uint64_t wordSize = uint64_t{b.units} / b.group * (b.group + 1);
        EXPECT_LE(b.windowEnd, wordSize);
        const uint64_t limit = b.record == RecordPlacement::FileContents ? b.staging : b.units;
        EXPECT_LE(b.infoOffset + RecordFootprint(b.record), limit);
        if (b.record == RecordPlacement::ZeroPairs ||
            b.record == RecordPlacement::ConsecutiveSums || b.record == RecordPlacement::EvenSums ||
            b.record == RecordPlacement::EvenGroupCheck) {
            EXPECT_LE(b.windowStart + 42u, wordSize);
        }
    }
}

TEST(BodyTable, BodiesSharingAClassShareTheirLayout) {
    auto same = [](int a, int b) {
        const image::BodyLayout& x = *image::FindBodyLayout(a);
        const image::BodyLayout& y = *image::FindBodyLayout(b);
        return std::string(x.className) == y.className && x.family == y.family &&
               x.units == y.units && x.group == y.group && x.infoOffset == y.infoOffset &&
               x.staging == y.staging && x.words == y.words && x.record == y.record;
    };
    EXPECT_TRUE(same(16, 17));
    EXPECT_TRUE(same(16, 18));
    EXPECT_TRUE(same(21, 34));
    std::set<std::string> classes;
    for (const image::BodyLayout& b : image::BodyLayouts())
        classes.insert(b.className);
    EXPECT_EQ(classes.size(), 31u);
}

TEST(XdeLadders, LaddersOfListedBodiesDemandExactlyTheAcceptedLengths) {
    for (const image::XdeRule& rule : image::XdeRules()) {
        SCOPED_TRACE(rule.index);
        if (!rule.ladder)
            continue;
        ASSERT_LT(rule.entry, rule.ladder->rungs.size());
        std::set<uint32_t> demanded;
        std::set<uint32_t> codes;
        size_t listed = 0;
        for (size_t r = rule.entry; r < rule.ladder->rungs.size(); ++r)
            for (const image::RungEntry& e : rule.ladder->rungs[r].entries) {
                demanded.insert(e.length);
                codes.insert(e.code);
                ++listed;
            }
        EXPECT_EQ(codes.size(), listed) << "a code listed twice: only the first would count";
        const image::SizeRule& size = *image::FindSizeRule(rule.index);
        if (size.upTo) {
            EXPECT_LE(*demanded.rbegin(), size.upTo);
        } else {
            EXPECT_EQ(demanded, ListedLengths(rule.index));
        }
    }
}

TEST(XdeLadders, EveryListedPairIsAcceptedFromItsEntryRung) {
    for (const image::XdeRule& rule : image::XdeRules()) {
        if (!rule.ladder)
            continue;
        const image::SeriesRule series = rule.ladder->series;
        const uint8_t seriesCode = series == image::SeriesRule::One           ? 1
                                   : series == image::SeriesRule::Two         ? 2
                                   : series == image::SeriesRule::ThreeOrFour ? 4
                                   : series == image::SeriesRule::Five        ? 5
                                                                              : 6;
        for (size_t r = rule.entry; r < rule.ladder->rungs.size(); ++r)
            for (const image::RungEntry& e : rule.ladder->rungs[r].entries) {
                const uint32_t info =
                    series == image::SeriesRule::Whole32 ? e.code : seriesCode | (e.code << 8);
                EXPECT_EQ(image::JudgeXdeInfo(info, rule.index, e.length),
                          image::XdeVerdict::Accept)
                    << rule.index << " " << std::hex << info;
                EXPECT_TRUE(image::CheckFileSize(rule.index, e.length)) << rule.index;
            }
    }
}

} // namespace
