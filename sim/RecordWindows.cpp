#include "sim/RecordWindows.h"

#include <array>

namespace sim {
namespace {

// Bodies 1 to 34 in order; bodies whose record has no window in the buffer
// hold an empty one.
constexpr std::array<RecordWindow, 34> kWindows{{
    {60, 90},
    {64, 96},
    {64, 96},
    {64, 96},
    {64, 96},
    {60, 90},
    {288, 333},
    {288, 333},
    {576, 624},
    {0x5D0000, 0x5D001B},
    {0x168000, 0x16801D},
    {0, 0},
    {0x4E000, 0x4E01D},
}};

} // namespace

RecordWindow RecordWindowOf(uint8_t bodyCode) {
    if (bodyCode < 1 || bodyCode > kWindows.size())
        return {};
    return kWindows[bodyCode - 1];
}

} // namespace sim
