// The ladders of the information rule, as data: which chip codes (or whole
// 32-bit values) a body accepts and the file length each one demands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace image {

struct RungEntry {
    uint32_t code; // chip code, or the whole value for the 32-bit ladder
    uint32_t length;
};

struct Rung {
    const char* name;
    std::span<const RungEntry> entries;
    bool series4Only;
};

enum class SeriesRule { One, Two, ThreeOrFour, Five, Six, Whole32 };

struct Ladder {
    const char* name;
    SeriesRule series;
    std::span<const Rung> rungs;
};

struct XdeRule {
    int index;
    // Null: the body accepts any information value at once.
    const Ladder* ladder;
    // The rung the check starts at.
    size_t entry;
};

// The rule of an index 1 to 34; null otherwise.
const XdeRule* FindXdeRule(int index);
std::span<const XdeRule> XdeRules();

} // namespace image
