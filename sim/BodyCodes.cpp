#include "sim/BodyCodes.h"

#include <array>

namespace sim {
namespace {

// Body codes 1 to 34 in order.
constexpr std::array<BodyCode, 34> kBodies{{
    {4, 1, {60, 90}},             // 1
    {3, 3, {64, 96}},             // 2
    {3, 3, {64, 96}},             // 3
    {3, 3, {64, 96}},             // 4
    {3, 3, {64, 96}},             // 5
    {4, 1, {60, 90}},             // 6
    {2, 1, {288, 333}},           // 7
    {2, 1, {288, 333}},           // 8
    {2, 1, {576, 624}},           // 9
    {2, 1, {0x5D0000, 0x5D001B}}, // 10
    {2, 1, {0x168000, 0x16801D}}, // 11
    {2, 1, {}},                   // 12
    {2, 1, {0x4E000, 0x4E01D}},   // 13
    {2, 1, {}},                   // 14
    {3, 1, {}},                   // 15
    {2, 1, {}},                   // 16
    {2, 1, {}},                   // 17
    {2, 1, {}},                   // 18
    {4, 1, {}},                   // 19
    {2, 1, {}},                   // 20
    {2, 1, {}},                   // 21
    {2, 1, {}},                   // 22
    {2, 1, {}},                   // 23
    {4, 1, {}},                   // 24
    {2, 1, {}},                   // 25
    {4, 1, {}},                   // 26
    {4, 1, {}},                   // 27
    {4, 1, {}},                   // 28
    {4, 1, {}},                   // 29
    {8, 1, {}},                   // 30
    {8, 1, {}},                   // 31
    {8, 1, {}},                   // 32
    {8, 1, {}},                   // 33
    {2, 1, {}},                   // 34
}};

} // namespace

const BodyCode* FindBodyCode(uint8_t code) {
    if (code < 1 || code > kBodies.size())
        return nullptr;
    return &kBodies[code - 1];
}

RecordWindow RecordWindowOf(uint8_t code) {
    const BodyCode* body = FindBodyCode(code);
    return body ? body->window : RecordWindow{};
}

} // namespace sim
