#include "usb/DeviceKinds.h"

#include <algorithm>
#include <iterator>

namespace usb {
namespace {

constexpr AnswerRule kFirstAnswers[] = {
    {0x01, {3, 0}},
    {0x10, {4, 5}},
    {0x0A, {6, 0}},
};

constexpr AnswerRule kSecondAnswers[] = {
    {0x00, {7, 0}},
    {0x01, {1, 2}},
    {0x11, {1, 0}},
    {0x12, {1, 0}},
};

constexpr int kLevelZeroBodyTypes[] = {5, 2};

constexpr DeviceTypeRule kDeviceTypes[] = {
    {1, 2}, {2, 2}, {3, 5}, {4, 9}, {5, 10}, {6, 11}, {7, 11}, {8, 14}, {9, 15},
};

constexpr uint8_t kUpdatableDeviceTypes[] = {1, 2, 3, 4, 5, 8, 9};

template <size_t N> bool Accepts(const AnswerRule (&rules)[N], uint8_t answer, int bodyType) {
    if (bodyType == 0)
        return false;
    for (const auto& rule : rules)
        if (rule.answer == answer)
            return rule.bodyTypes[0] == bodyType || rule.bodyTypes[1] == bodyType;
    return false;
}

} // namespace

const AnswerRule* FirstAnswerRules(size_t& count) {
    count = std::size(kFirstAnswers);
    return kFirstAnswers;
}

const AnswerRule* SecondAnswerRules(size_t& count) {
    count = std::size(kSecondAnswers);
    return kSecondAnswers;
}

const DeviceTypeRule* DeviceTypeRules(size_t& count) {
    count = std::size(kDeviceTypes);
    return kDeviceTypes;
}

bool FirstAnswerAccepts(uint8_t answer, int bodyType) {
    return Accepts(kFirstAnswers, answer, bodyType);
}

bool SecondAnswerAccepts(uint8_t answer, int bodyType) {
    return Accepts(kSecondAnswers, answer, bodyType);
}

bool LevelZeroAccepts(int bodyType) {
    return std::find(std::begin(kLevelZeroBodyTypes), std::end(kLevelZeroBodyTypes), bodyType) !=
           std::end(kLevelZeroBodyTypes);
}

int BodyTypeOfDeviceType(uint8_t deviceType) {
    for (const auto& rule : kDeviceTypes)
        if (rule.deviceType == deviceType)
            return rule.bodyType;
    return 0;
}

bool IsUpdatableDeviceType(uint8_t deviceType) {
    return std::find(std::begin(kUpdatableDeviceTypes), std::end(kUpdatableDeviceTypes),
                     deviceType) != std::end(kUpdatableDeviceTypes);
}

} // namespace usb
