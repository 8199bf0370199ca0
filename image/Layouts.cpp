// Byte-oriented layout families and the word image.
#include "image/Layouts.h"

#include "image/PaddedInput.h"

#include <algorithm>
#include <cstring>

namespace image::layout {
namespace {

void ZeroFrom(Out out, size_t from) {
    if (from < out.size())
        std::memset(out.data() + from, 0, out.size() - from);
}

// Applies `pack` to every whole four-byte group that has room for three chip bytes.
template <typename Pack> void FourToThree(Bytes file, Out chip, Pack pack) {
    const size_t groups = std::min(file.size() / 4, chip.size() / 3);
    const uint8_t* in = file.data();
    uint8_t* out = chip.data();
    for (size_t g = 0; g < groups; ++g, in += 4, out += 3)
        pack(in[0], in[1], in[2], in[3], out);
    ZeroFrom(chip, groups * 3);
}

} // namespace

uint32_t ByteSum(Bytes bytes) {
    uint32_t even = 0, odd = 0;
    const size_t pairs = bytes.size() / 2;
    const uint8_t* p = bytes.data();
    for (size_t i = 0; i < pairs; ++i) {
        even += p[2 * i];
        odd += p[2 * i + 1];
    }
    uint32_t sum = even + odd;
    if (bytes.size() % 2)
        sum += p[bytes.size() - 1];
    return sum;
}

void SixBit(Bytes file, Out chip) {
    FourToThree(file, chip, [](uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t* o) {
        o[0] = static_cast<uint8_t>((b0 << 6) | (b1 & 0x3F));
        o[1] = static_cast<uint8_t>(((b0 << 2) & 0xF0) | ((b2 >> 2) & 0x0F));
        o[2] = static_cast<uint8_t>((b2 << 6) | (b3 & 0x3F));
    });
}

void SixBitSwapped(Bytes file, Out chip) {
    FourToThree(file, chip, [](uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t* o) {
        o[0] = static_cast<uint8_t>((b0 << 6) | (b1 & 0x3F));
        o[1] = static_cast<uint8_t>(((b2 << 2) & 0xF0) | ((b0 >> 2) & 0x0F));
        o[2] = static_cast<uint8_t>((b2 << 6) | (b3 & 0x3F));
    });
}

void SevenBit(Bytes file, Out chip) {
    FourToThree(file, chip, [](uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t* o) {
        o[0] = static_cast<uint8_t>((b0 << 7) | (b1 & 0x7F));
        o[1] = static_cast<uint8_t>(((b2 << 5) & 0xC0) | ((b0 >> 1) & 0x3F));
        o[2] = static_cast<uint8_t>((b2 << 7) | (b3 & 0x7F));
    });
}

void NibbleMerge(Bytes file, Out chip) {
    const size_t groups = file.size() / 4;
    const size_t whole = std::min(groups, chip.size() / 3);
    const uint8_t* in = file.data();
    uint8_t* out = chip.data();
    for (size_t g = 0; g < whole; ++g, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = static_cast<uint8_t>(in[1] | (in[3] << 4));
        out[2] = in[2];
    }
    size_t written = whole * 3;
    // The image is full in the middle of a group: take what still fits.
    if (whole < groups) {
        const uint8_t part[3] = {in[0], static_cast<uint8_t>(in[1] | (in[3] << 4)), in[2]};
        for (size_t i = 0; written < chip.size() && i < 3; ++i)
            chip[written++] = part[i];
    }
    ZeroFrom(chip, written);
}

void PlainCopy(Bytes file, Out chip) {
    const size_t n = std::min(file.size(), chip.size());
    if (n)
        std::memcpy(chip.data(), file.data(), n);
    ZeroFrom(chip, n);
}

void InterleavedHalves(Bytes file, Out chip) {
    const size_t half = chip.size() / 2;
    PaddedInput in(file, 2 * half);
    const uint8_t* first = in.data();
    const uint8_t* second = in.data() + half;
    uint8_t* out = chip.data();
    for (size_t i = 0; i < half; ++i) {
        out[2 * i] = first[i];
        out[2 * i + 1] = second[i];
    }
    ZeroFrom(chip, 2 * half);
}

size_t WordImageSize(size_t chipSize, size_t group, bool padLastGroup) {
    if (group == 0)
        return 0;
    const size_t groups = padLastGroup ? (chipSize + group - 1) / group : chipSize / group;
    return groups * (group + 1);
}

namespace {

template <size_t N> void WholeGroups(const uint8_t* in, size_t groups, uint8_t* out) {
    for (size_t g = 0; g < groups; ++g, in += N, out += N + 1) {
        unsigned sum = 0;
        for (size_t i = 0; i < N; ++i) {
            out[i] = in[i];
            sum += in[i];
        }
        out[N] = static_cast<uint8_t>(sum);
    }
}

void WholeGroupsAnySize(const uint8_t* in, size_t group, size_t groups, uint8_t* out) {
    switch (group) {
    case 2:
        return WholeGroups<2>(in, groups, out);
    case 3:
        return WholeGroups<3>(in, groups, out);
    case 4:
        return WholeGroups<4>(in, groups, out);
    case 8:
        return WholeGroups<8>(in, groups, out);
    default:
        for (size_t g = 0; g < groups; ++g, in += group, out += group + 1) {
            unsigned sum = 0;
            for (size_t i = 0; i < group; ++i) {
                out[i] = in[i];
                sum += in[i];
            }
            out[group] = static_cast<uint8_t>(sum);
        }
    }
}

} // namespace

void WordImage(Bytes chip, size_t group, bool padLastGroup, Out word) {
    if (group == 0) {
        ZeroFrom(word, 0);
        return;
    }
    const size_t whole = std::min(chip.size() / group, word.size() / (group + 1));
    WholeGroupsAnySize(chip.data(), group, whole, word.data());
    size_t written = whole * (group + 1);
    const size_t rest = chip.size() - whole * group;
    if (padLastGroup && rest > 0 && rest < group && written + group + 1 <= word.size()) {
        unsigned sum = 0;
        for (size_t i = 0; i < group; ++i) {
            const uint8_t b = i < rest ? chip[whole * group + i] : 0xFF;
            word[written + i] = b;
            sum += b;
        }
        word[written + group] = static_cast<uint8_t>(sum);
        written += group + 1;
    }
    ZeroFrom(word, written);
}

} // namespace image::layout
