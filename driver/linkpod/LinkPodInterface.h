// What user mode shares with LINKPOD: the device-interface class, the pipe
// naming rule's limits and the device-control codes. Plain integers only, so
// that the program, the tests and the driver can all include it.
#pragma once

#include <stdint.h>

namespace driver::linkpod {

struct InterfaceClassId {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// Device-interface class under which every started writer is registered.
inline constexpr InterfaceClassId kInterfaceClass = {
    0x5795843Bu, 0x6684u, 0x43A4u, {0x81u, 0xEEu, 0xD2u, 0xDDu, 0x1Bu, 0x55u, 0x94u, 0xB6u}};

// Pipe numbers in names run from 0 to kPipeNumberLimit - 1.
inline constexpr uint32_t kPipeNumberLimit = 6;

// Device-control codes, all buffered, device type FILE_DEVICE_UNKNOWN.
inline constexpr uint32_t kIoctlGetConfigDescriptor = 0x220000u;
inline constexpr uint32_t kIoctlResetDevice = 0x220004u;
inline constexpr uint32_t kIoctlResetPipe = 0x220008u;
inline constexpr uint32_t kIoctlVendorOut = 0x22000Cu;
inline constexpr uint32_t kIoctlVendorIn = 0x220010u;

// Input block of the two vendor requests; the data area follows the header.
inline constexpr uint32_t kVendorHeaderSize = 16;
inline constexpr uint32_t kVendorMinimumBuffer = 24;
inline constexpr uint32_t kVendorOffsetReservedBits = 0;
inline constexpr uint32_t kVendorOffsetRequest = 1;
inline constexpr uint32_t kVendorOffsetValue = 4;
inline constexpr uint32_t kVendorOffsetIndex = 8;
inline constexpr uint32_t kVendorOffsetLength = 12;

// Bytes a vendor request reports as returned, before the cap to the caller's
// output buffer.
inline constexpr uint32_t kVendorReportedBytes = 24;

} // namespace driver::linkpod
