#include "image/BodyTable.h"

#include <array>

namespace image {
namespace {

using F = Family;
using R = RecordPlacement;

// clang-format off
constexpr BodyLayout kPlainOtp{0, "C_OTPBinFile", F::SixBit, 0, 3, 64, 96, 192, 0, 0, R::None};

constexpr std::array<BodyLayout, 34> kLayouts{{
    // index class                 family                         units     grp window               info      staging   words     record
    { 1, "C_KA160BinFile",  F::SixBitSwapped,              0,        4, 60, 90,                192,      0,        0,        R::None},
    { 2, "C_KA150BinFile",  F::SixBit,                     0,        3, 64, 96,                192,      0,        0,        R::None},
    { 3, "C_KA130BinFile",  F::SixBit,                     0,        3, 64, 96,                192,      0,        0,        R::None},
    { 4, "C_KA120BinFile",  F::SevenBit,                   0,        3, 64, 96,                192,      0,        0,        R::None},
    { 5, "C_KA110BinFile",  F::SixBit,                     0,        3, 64, 96,                192,      0,        0,        R::None},
    { 6, "C_KA140BinFile",  F::SixBitSwapped,              0,        4, 60, 90,                192,      0,        0,        R::None},
    { 7, "C_KL500SBinFile", F::NibbleMerge,                0x80000,  2, 288, 333,              192,      0,        0,        R::ConsecutiveSums},
    { 8, "C_KR120BinFile",  F::TenBitInterleavedHalves,    0x80000,  2, 288, 333,              192,      0,        0x60000,  R::None},
    { 9, "C_KS300ABinFile", F::InterleavedHalves,          0x100000, 2, 576, 624,              384,      0,        0,        R::EvenGroupCheck},
    {10, "C_KR140BinFile",  F::TenBitInterleavedQuarters,  0x400000, 2, 0x5D0000, 0x5D001B,    0x3E0002, 0,        0x300000, R::EvenSums},
    {11, "C_KR130BinFile",  F::TenBitConsecutivePlanes,    0x100000, 2, 0x168000, 0x16801D,    0xF0000,  0,        0xC0000,  R::ConsecutiveSums},
    {12, "C_KD100BinFile",  F::PlainCopy,                  0x4000,   2, 0, 0,                  0,        0,        0,        R::Nothing},
    {13, "C_KR110BinFile",  F::TenBitWordPairs,            0x38000,  2, 0x4E000, 0x4E01D,      0x34000,  0,        0x1A000,  R::ZeroPairs},
    {14, "C_KT330BinFile",  F::TwelveBitInterleavedHalves, 0x100000, 2, 0, 0,                  0xFF800,  0x400000, 0x55000,  R::EvenBytes},
    {15, "C_KT320BinFile",  F::TwelveBitPairedRegions,     0x300000, 3, 0, 0,                  76,       0x400000, 0x80000,  R::FileContents},
    {16, "C_KT310BinFile",  F::TenPlusTwoBit,              0x38000,  2, 0, 0,                  0x34800,  0x2A000,  0x15000,  R::FFThenRecordEven},
    {17, "C_KT310BinFile",  F::TenPlusTwoBit,              0x38000,  2, 0, 0,                  0x34800,  0x2A000,  0x15000,  R::FFThenRecordEven},
    {18, "C_KT310BinFile",  F::TenPlusTwoBit,              0x38000,  2, 0, 0,                  0x34800,  0x2A000,  0x15000,  R::FFThenRecordEven},
    {19, "C_KT700BinFile",  F::TwelveBitSplitPlanes,       0x300000, 4, 0, 0,                  38,       0x400000, 0x200000, R::FFFFThenRecord},
    {20, "C_KT260BinFile",  F::TwelveBitSplitPlanes,       0x100000, 2, 0, 0,                  0xFF000,  0x400000, 0xAA000,  R::FFFFThenRecord},
    {21, "C_KT250BinFile",  F::TwelveBitSplitPlanes,       0x42000,  2, 0, 0,                  38,       0x58000,  0x2C000,  R::FFFFThenRecord},
    {22, "C_KT210BinFile",  F::TwelveBitSplitPlanes,       0x84000,  2, 0, 0,                  38,       0xB0000,  0x58000,  R::FFFFThenRecord},
    {23, "C_KT230BinFile",  F::TwelveBitSplitPlanes,       0x1F800,  2, 0, 0,                  38,       0x2A000,  0x15000,  R::FFFFThenRecord},
    {24, "C_KT240BinFile",  F::TwelveBitSplitPlanes,       0x20A000, 4, 0, 0,                  38,       0x2B8000, 0x15C000, R::FFFFThenRecord},
    {25, "C_KT220BinFile",  F::TwelveBitSplitPlanes,       0x10800,  2, 0, 0,                  38,       0x16000,  0xB000,   R::FFFFThenRecord},
    {26, "C_KM140BinFile",  F::PlainCopy,                  0x200000, 4, 0, 0,                  32,       0,        0,        R::WidenedWords},
    {27, "C_KM135BinFile",  F::PlainCopy,                  0x100000, 4, 0, 0,                  32,       0,        0,        R::WidenedWords},
    {28, "C_KM120BinFile",  F::PlainCopy,                  0x80000,  4, 0, 0,                  32,       0,        0,        R::WidenedWords},
    {29, "C_KM110BinFile",  F::PlainCopy,                  0x40000,  4, 0, 0,                  32,       0,        0,        R::WidenedWords},
    {30, "C_KW140BinFile",  F::PlainCopy,                  0x300000, 8, 0, 0,                  512,      0,        0,        R::WordBlock},
    {31, "C_KW130PBinFile", F::PlainCopy,                  0x200000, 8, 0, 0,                  512,      0,        0,        R::WordBlock},
    {32, "C_KW120BinFile",  F::PlainCopy,                  0x100000, 8, 0, 0,                  512,      0,        0,        R::WordBlock},
    {33, "C_KW110BinFile",  F::PlainCopy,                  0x80000,  8, 0, 0,                  512,      0,        0,        R::WordBlock},
    {34, "C_KT250BinFile",  F::TwelveBitSplitPlanes,       0x42000,  2, 0, 0,                  38,       0x58000,  0x2C000,  R::FFFFThenRecord},
}};

constexpr uint32_t k1[] = {0x2A000};
constexpr uint32_t k2[] = {0x40000, 0x2A000, 0x20000, 0x16000, 0x12000, 0xE000, 0xC000};
constexpr uint32_t k3[] = {0x7C000, 0x58000, 0x40000, 0x2A000, 0x20000, 0x16000, 0x12000, 0xE000, 0xC000};
constexpr uint32_t k4[] = {0x80000, 0x5C000, 0x40000, 0x30000};
constexpr uint32_t k5[] = {0x7A000, 0x58000, 0x40000, 0x2A000, 0x20000, 0x16000, 0x11000};
constexpr uint32_t k6[] = {0x2A000, 0x20000, 0x16000, 0x12000, 0xE000, 0xC000};
constexpr uint32_t k7[] = {0xB0000};
constexpr uint32_t k8[] = {0xC0000, 0x97000, 0x6C000, 0x4C000, 0x34000};
constexpr uint32_t k9[] = {0x100000, 0xC0000, 0x80000, 0x40000, 0x20000};
constexpr uint32_t k10[] = {0x600000, 0x500000, 0x400000, 0x380000, 0x300000, 0x280000, 0x200000};
constexpr uint32_t k11[] = {0x180000, 0x140000, 0x100000};
constexpr uint32_t k12[] = {0x4000};
constexpr uint32_t k13[] = {0x34000};
constexpr uint32_t k14[] = {0x154000, 0x134000, 0x100000, 0xCE000};
constexpr uint32_t k15[] = {0x400000, 0x37A000, 0x300000};
constexpr uint32_t k16[] = {0x2A000, 0x20000, 0x16000};
constexpr uint32_t k21[] = {0x58000, 0x40000, 0x2A000, 0x20000, 0x16000};
constexpr uint32_t k22[] = {0xB0000, 0x7C000, 0x58000, 0x40000, 0x2A000, 0x20000, 0x16000};
constexpr uint32_t k24[] = {0x2B8000, 0x200000, 0x19A000};
constexpr uint32_t k25[] = {0x16000};

// Bodies 30 to 33 share the family's bound. Bodies 31 to 33 have smaller
// chips: a longer file is taken only when its part beyond the chip is padding
// (CheckFileTail, on the contents), so the plain copy cuts nothing.
const std::array<SizeRule, 34> kSizeRules{{
    { 1, k1, 0, 0},  { 2, k2, 0, 0},  { 3, k3, 0, 0},  { 4, k4, 0, 0},  { 5, k5, 0, 0},
    { 6, k6, 0, 0},  { 7, k7, 0, 0},  { 8, k8, 0, 0},  { 9, k9, 0, 0},  {10, k10, 11, 0},
    {11, k11, 8, 0}, {12, k12, 0, 0}, {13, k13, 0, 0}, {14, k14, 22, 0}, {15, k15, 24, 0},
    {16, k16, 0, 0}, {17, k16, 0, 0}, {18, k16, 0, 0}, {19, k15, 24, 0}, {20, k14, 22, 0},
    {21, k21, 0, 0}, {22, k22, 0, 0}, {23, k16, 0, 0}, {24, k24, 14, 0}, {25, k25, 0, 0},
    {26, {}, 0, 0x200000}, {27, {}, 0, 0x100000}, {28, {}, 0, 0x80000}, {29, {}, 0, 0x40000},
    {30, {}, 0, 0x300000}, {31, {}, 0, 0x300000}, {32, {}, 0, 0x300000}, {33, {}, 0, 0x300000},
    {34, k21, 0, 0},
}};
// clang-format on

constexpr const char* kNames[34] = {
    " KA160 ", " KA150 ", " KA130 ",      " KA120 ",       " KA110 ", " KA140 ",  " KL500 ",
    " KR120 ", " KS300 ", " KR140 ",      " KR130 ",       " KD100 ", " KR110 ",  " KT330 ",
    " KT320 ", " KT310 ", " KT310-SOP8 ", " KT310-SOP14 ", " KT700 ", " KT260 ",  " KT250 ",
    " KT210 ", " KT230 ", " KT240 ",      " KT220 ",       " KM140 ", " KM130 ",  " KM120 ",
    " KM110 ", " KW140 ", " KW130 ",      " KW120 ",       " KW110 ", " KT250S ",
};

} // namespace

const char* DefaultBodyName(int index) {
    if (index < kFirstBody || index > kLastBody)
        return nullptr;
    return kNames[index - kFirstBody];
}

const BodyLayout* FindBodyLayout(int index) {
    if (index < kFirstBody || index > kLastBody)
        return nullptr;
    return &kLayouts[static_cast<size_t>(index - kFirstBody)];
}

const BodyLayout& PlainOtpLayout() {
    return kPlainOtp;
}

std::span<const BodyLayout> BodyLayouts() {
    return kLayouts;
}

const SizeRule* FindSizeRule(int index) {
    if (index < kFirstBody || index > kLastBody)
        return nullptr;
    return &kSizeRules[static_cast<size_t>(index - kFirstBody)];
}

std::span<const SizeRule> SizeRules() {
    return kSizeRules;
}

} // namespace image
