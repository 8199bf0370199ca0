// What the simulated writer tells the host about itself on its control pipe:
// the device descriptor, the configuration with its one interface and the two
// bulk endpoints (IN listed first, so a driver's pipe 0 reads and pipe 1
// writes), and the string descriptors. Every route to the writer that speaks
// USB (the user-mode kernel's bus, an emulated usbfs) shows these same bytes.
#pragma once

#include "sim/WriterState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint16_t kMaxPacketBytes = 64;
// String descriptor indexes named by the device descriptor.
inline constexpr uint8_t kManufacturerString = 1;
inline constexpr uint8_t kProductString = 2;
inline constexpr uint8_t kSerialString = 3;
inline constexpr uint16_t kLanguageEnglishUs = 0x0409;

// USB 2.0, vendor-specific class, one configuration, 64-byte control pipe.
std::vector<uint8_t> DeviceDescriptor(const WriterConfig& config);
// Configuration 1, bus powered (100 mA): interface 0, vendor class, with bulk
// IN 0x81 and bulk OUT 0x02 of 64-byte packets.
std::vector<uint8_t> ConfigurationDescriptor();
// The serial number as the writer reports it in its string descriptor: the
// eight hexadecimal digits of its configured serial.
std::string SerialString(const WriterConfig& config);
// String descriptor `index` (0: the language list); empty for an index the
// writer does not have.
std::vector<uint8_t> StringDescriptor(const WriterConfig& config, uint8_t index);

} // namespace sim
