#include "port/usb/UsbIds.h"

#include "port/PrivateProfile.h"
#include "port/ProgramPath.h"

#include <cstdio>
#include <cstdlib>

namespace port {
namespace {

constexpr const char* kExpected =
    "a list of vendor:product ids of four hexadecimal digits each, separated by commas "
    "(e.g. 1234:abcd,1234:abce)";

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool ParseHex4(const std::string& text, uint16_t& value) {
    if (text.size() != 4)
        return false;
    unsigned v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    value = static_cast<uint16_t>(v);
    return true;
}

} // namespace

bool ParseUsbIds(const std::string& text, std::vector<UsbId>& ids, std::string& error) {
    ids.clear();
    size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        const std::string item = Trim(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const auto colon = item.find(':');
        UsbId id;
        if (colon == std::string::npos || !ParseHex4(item.substr(0, colon), id.vendor) ||
            !ParseHex4(item.substr(colon + 1), id.product)) {
            error = "\"" + text + "\" is not " + kExpected + ".";
            ids.clear();
            return false;
        }
        ids.push_back(id);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

std::string FormatUsbIds(const std::vector<UsbId>& ids) {
    std::string text;
    for (const UsbId& id : ids) {
        char item[16];
        std::snprintf(item, sizeof item, "%04x:%04x", id.vendor, id.product);
        text += (text.empty() ? "" : ", ") + std::string(item);
    }
    return text;
}

std::string ProgramSettingsPath() {
    const std::string program = ModuleFileName();
    if (program.empty())
        return {};
    const auto folder = program.find_last_of("/\\");
    const auto dot = program.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (folder == std::string::npos || dot > folder);
    return (hasExtension ? program.substr(0, dot) : program) + ".ini";
}

bool SelectUsbIds(const std::string& settingsPath, UsbIdSelection& selection, std::string& error) {
    selection = {};
    if (const char* env = std::getenv(kUsbIdsVariable); env && *env) {
        std::string why;
        if (!ParseUsbIds(env, selection.ids, why)) {
            error = std::string(kUsbIdsVariable) + ": " + why;
            return false;
        }
        selection.source = UsbIdSource::Environment;
        return true;
    }
    if (!settingsPath.empty()) {
        char value[1024];
        GetPrivateProfileString(kUsbIdsSection, kUsbIdsKey, "", value, sizeof value,
                                settingsPath.c_str());
        if (value[0]) {
            std::string why;
            if (!ParseUsbIds(value, selection.ids, why)) {
                error = "The settings file " + settingsPath + ", section \"" + kUsbIdsSection +
                        "\", key \"" + kUsbIdsKey + "\": " + why;
                return false;
            }
            selection.source = UsbIdSource::SettingsFile;
            return true;
        }
    }
    selection.ids = {kSimulatedWriterUsbId};
    selection.source = UsbIdSource::Default;
    return true;
}

std::string NoMatchingDeviceText(const UsbIdSelection& selection) {
    std::string text =
        "No USB device with the writer's ids (" + FormatUsbIds(selection.ids) + ") is present. ";
    switch (selection.source) {
    case UsbIdSource::Environment:
        text += std::string("The ids come from ") + kUsbIdsVariable + ".";
        break;
    case UsbIdSource::SettingsFile:
        text += std::string("The ids come from the settings file (section \"") + kUsbIdsSection +
                "\", key \"" + kUsbIdsKey + "\").";
        break;
    case UsbIdSource::Default:
        text += std::string("These are the simulated writer's ids, the default: set the real "
                            "writer's ids in the settings file (section \"") +
                kUsbIdsSection + "\", key \"" + kUsbIdsKey + "\", e.g. " + kUsbIdsKey +
                "=VVVV:PPPP) or in " + kUsbIdsVariable + ".";
        break;
    }
    return text;
}

} // namespace port
