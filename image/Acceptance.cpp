#include "image/Acceptance.h"

#include "core/MessageHost.h"
#include "image/BodyTable.h"
#include "image/XdeLadders.h"

#include <algorithm>

namespace image {
namespace {

bool SeriesMatches(SeriesRule rule, uint32_t series) {
    switch (rule) {
    case SeriesRule::One:
        return series == 1;
    case SeriesRule::Two:
        return series == 2;
    case SeriesRule::ThreeOrFour:
        return series == 3 || series == 4;
    case SeriesRule::Five:
        return series == 5;
    case SeriesRule::Six:
        return series == 6;
    case SeriesRule::Whole32:
        return true;
    }
    return false;
}

// The little-endian 16-bit word at `offset`, or nothing when it lies outside.
bool WordAt(std::span<const uint8_t> bytes, size_t offset, uint16_t& word) {
    if (offset + 2 > bytes.size())
        return false;
    word = static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
    return true;
}

void ShowPlain(const char* text) {
    core::ShowMessageBox(text, kPlainBoxCaption, core::kMbOk);
}

} // namespace

bool CheckFileSize(int index, int64_t length) {
    const SizeRule* rule = FindSizeRule(index);
    while (rule) {
        if (rule->upTo && length >= 0 && length <= static_cast<int64_t>(rule->upTo))
            return true;
        if (std::find(rule->lengths.begin(), rule->lengths.end(), length) != rule->lengths.end())
            return true;
        rule = rule->alsoIndex ? FindSizeRule(rule->alsoIndex) : nullptr;
    }
    return false;
}

bool FileTailIsPadding(int index, std::span<const uint8_t> contents) {
    const BodyLayout* layout = FindBodyLayout(index);
    if (!layout || layout->family != Family::PlainCopy || contents.size() <= layout->units)
        return true;
    const std::span<const uint8_t> tail = contents.subspan(layout->units);
    const uint8_t fill = tail.front();
    return (fill == 0x00 || fill == 0xFF) &&
           std::all_of(tail.begin(), tail.end(), [fill](uint8_t b) { return b == fill; });
}

bool CheckFileTail(int index, std::span<const uint8_t> contents) {
    if (FileTailIsPadding(index, contents))
        return true;
    ShowPlain(kSizeMismatchMessage);
    return false;
}

uint32_t ReadXdeInfo(int index, std::span<const uint8_t> c) {
    if (index >= 26 && index <= 29)
        return c.size() >= 30 ? static_cast<uint32_t>(c[29] | (c[28] << 8)) : 0;
    if (index >= 30 && index <= 33)
        return c.size() >= 164
                   ? (static_cast<uint32_t>(c[162]) << 24) | (static_cast<uint32_t>(c[161]) << 16) |
                         (static_cast<uint32_t>(c[160]) << 8) | c[163]
                   : 0;
    const size_t even = c.size() & ~static_cast<size_t>(1);
    if (even < 6)
        return 0;
    return static_cast<uint32_t>(c[even - 6] | (c[even - 5] << 8));
}

XdeVerdict JudgeXdeInfo(uint32_t info, int index, int64_t length) {
    const XdeRule* rule = FindXdeRule(index);
    if (!rule)
        return XdeVerdict::Refuse;
    if (!rule->ladder)
        return XdeVerdict::Accept;
    if (info == 0)
        return XdeVerdict::AcceptWithWarning;
    const Ladder& ladder = *rule->ladder;
    const bool whole = ladder.series == SeriesRule::Whole32;
    const bool lenient = ladder.series == SeriesRule::Six;
    const uint32_t series = info & 0xFF;
    const uint32_t code = whole ? info : (info >> 8) & 0xFF;
    if (!whole && !SeriesMatches(ladder.series, series))
        return XdeVerdict::Refuse;
    const XdeVerdict miss = lenient ? XdeVerdict::AcceptWithWarning : XdeVerdict::Refuse;
    for (size_t r = rule->entry; r < ladder.rungs.size(); ++r) {
        const Rung& rung = ladder.rungs[r];
        if (rung.series4Only && series != 4)
            continue;
        for (const RungEntry& e : rung.entries)
            if (e.code == code)
                return e.length == length ? XdeVerdict::Accept : miss;
    }
    return miss;
}

bool CheckXdeInfo(uint32_t info, int index, int64_t length) {
    const XdeVerdict verdict = JudgeXdeInfo(info, index, length);
    if (verdict == XdeVerdict::AcceptWithWarning)
        ShowPlain(kNoXdeInfoWarning);
    return verdict != XdeVerdict::Refuse;
}

const char* BodySpecificFailure(const std::string& name, std::span<const uint8_t> contents) {
    uint16_t w = 0;
    if (name == " KL500 ") {
        for (size_t offset = 256; offset <= 294; offset += 2)
            if (!WordAt(contents, offset, w) || (w & 0x0FFF) != 0x0FFF)
                return kKL500ContentMessage;
        for (size_t offset : {size_t{0xAAAA8}, size_t{0xAFFFE}})
            if (!WordAt(contents, offset, w) || (w & 0x0FFF) != 0)
                return kKL500ContentMessage;
    } else if (name == " KS300 ") {
        for (size_t offset = 192; offset <= 222; offset += 2)
            if (!WordAt(contents, offset, w) || w != 0xFFFF)
                return kKS300ContentMessage;
    }
    return nullptr;
}

bool CheckBodySpecific(const std::string& name, std::span<const uint8_t> contents) {
    if (const char* failure = BodySpecificFailure(name, contents)) {
        ShowPlain(failure);
        return false;
    }
    return true;
}

Evaluation EvaluateImageFile(int index, const std::string& name,
                             std::span<const uint8_t> contents) {
    Evaluation e;
    const auto length = static_cast<int64_t>(contents.size());
    if (!CheckFileSize(index, length) || !FileTailIsPadding(index, contents)) {
        e.message = kSizeMismatchMessage;
        return e;
    }
    const XdeVerdict verdict = JudgeXdeInfo(ReadXdeInfo(index, contents), index, length);
    if (verdict == XdeVerdict::Refuse) {
        e.message = kInfoCheckFailedMessage;
        return e;
    }
    if (const char* failure = BodySpecificFailure(name, contents)) {
        e.message = failure;
        return e;
    }
    e.accepted = true;
    if (verdict == XdeVerdict::AcceptWithWarning) {
        e.message = kNoXdeInfoWarning;
        e.warning = true;
    }
    return e;
}

} // namespace image
