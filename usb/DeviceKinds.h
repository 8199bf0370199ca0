// Which writers each ICE body type accepts, from the writer's answers to the
// two detection queries, and the map from a writer's device type byte to the
// body type it serves. Kept as tables so that one check can walk them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace usb {

// The second-query answer of the writer family that reports a level and a
// device type byte.
inline constexpr uint8_t kFamilyAnswer = 0x51;

// One detection answer and the ICE body types it accepts (0 = unused slot).
struct AnswerRule {
    uint8_t answer;
    int bodyTypes[2];
};

// Non-zero answers to the first detection query.
const AnswerRule* FirstAnswerRules(size_t& count);
// Answers to the second detection query, the family answer excepted.
const AnswerRule* SecondAnswerRules(size_t& count);

// Device type byte → ICE body type.
struct DeviceTypeRule {
    uint8_t deviceType;
    int bodyType;
};
const DeviceTypeRule* DeviceTypeRules(size_t& count);

bool FirstAnswerAccepts(uint8_t answer, int bodyType);
bool SecondAnswerAccepts(uint8_t answer, int bodyType);
// The body types that a family writer reporting level 0 serves.
bool LevelZeroAccepts(int bodyType);
// The ICE body type a device type byte maps to; 0 for an unknown byte.
int BodyTypeOfDeviceType(uint8_t deviceType);
// True for the device type bytes whose firmware the updater may replace.
bool IsUpdatableDeviceType(uint8_t deviceType);

} // namespace usb
