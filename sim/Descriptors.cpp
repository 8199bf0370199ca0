#include "sim/Descriptors.h"

#include "sim/Types.h"

#include <cstdio>

namespace sim {
namespace {

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> Utf16String(const std::string& text) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

} // namespace

std::vector<uint8_t> DeviceDescriptor(const WriterConfig& config) {
    std::vector<uint8_t> d = {18,
                              1,
                              0,
                              2,
                              0xFF,
                              0,
                              0,
                              kMaxPacketBytes,
                              0,
                              0,
                              0,
                              0,
                              0,
                              1,
                              kManufacturerString,
                              kProductString,
                              kSerialString,
                              1};
    Put16(d, 8, config.vendorId);
    Put16(d, 10, config.productId);
    return d;
}

std::vector<uint8_t> ConfigurationDescriptor() {
    std::vector<uint8_t> c = {
        9, 2,    0,
        0, 1,    1,
        0, 0x80, 50, // configuration 1, one interface
        9, 4,    0,
        0, 2,    0xFF,
        0, 0,    0, // interface 0, two endpoints
        7, 5,    kEndpointIn,
        2, 0,    0,
        0, // bulk IN
        7, 5,    kEndpointOut,
        2, 0,    0,
        0, // bulk OUT
    };
    Put16(c, 2, static_cast<uint16_t>(c.size()));
    Put16(c, 22, kMaxPacketBytes);
    Put16(c, 29, kMaxPacketBytes);
    return c;
}

std::string SerialString(const WriterConfig& config) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", config.serial);
    return text;
}

std::vector<uint8_t> StringDescriptor(const WriterConfig& config, uint8_t index) {
    switch (index) {
    case 0:
        return {4, 3, kLanguageEnglishUs & 0xFF, kLanguageEnglishUs >> 8};
    case kManufacturerString:
        return Utf16String("Burnwright");
    case kProductString:
        return Utf16String("Simulated gang writer");
    case kSerialString:
        return Utf16String(SerialString(config));
    default:
        return {};
    }
}

} // namespace sim
