// Which USB devices are writers: a list of vendor and product ids, from the
// environment, the settings file, or the simulated writer's own by default.
// Nothing here touches a device; it is plain text handling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace port {

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId&) const = default;
};

// The simulated writer's ids: the default until the real writer's are set.
inline constexpr UsbId kSimulatedWriterUsbId = {0xf055, 0x0b0d};
inline constexpr const char* kUsbIdsVariable = "BURNWRIGHT_USB_IDS";
inline constexpr const char* kUsbIdsSection = "USB";
inline constexpr const char* kUsbIdsKey = "Devices";

// Reads "VVVV:PPPP,VVVV:PPPP" (four hexadecimal digits each, blanks around
// the items allowed). False, with the reason in `error`, for anything else,
// an empty list included.
bool ParseUsbIds(const std::string& text, std::vector<UsbId>& ids, std::string& error);
// "vvvv:pppp, vvvv:pppp" as the messages show a list.
std::string FormatUsbIds(const std::vector<UsbId>& ids);

enum class UsbIdSource { Environment, SettingsFile, Default };

struct UsbIdSelection {
    std::vector<UsbId> ids;
    UsbIdSource source = UsbIdSource::Default;
};

// The ids in force: BURNWRIGHT_USB_IDS when set, else "USB"/"Devices" in the
// settings file `settingsPath` when present there, else the simulated
// writer's. False, with a message naming the place and the value, when the
// chosen text is not a list of ids. Blocks only on reading the file.
bool SelectUsbIds(const std::string& settingsPath, UsbIdSelection& selection, std::string& error);

// The program's settings file: the program file with the extension ".ini".
std::string ProgramSettingsPath();

// What the operator reads when no present device has the ids: which ids were
// looked for, where they came from, and how to set the real writer's.
std::string NoMatchingDeviceText(const UsbIdSelection& selection);

} // namespace port
