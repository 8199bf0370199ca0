// Interface paths for USB writers, in the shape the platform's device
// interfaces have, \\?\usb#vid_XXXX&pid_YYYY#INSTANCE#{class}, so the claim
// logic that cuts the instance part out of a path works unchanged. The
// instance names the physical port (bus and port chain) and, when the device
// has one, its serial number: a writer plugged again into the same port has
// the same path, another writer in that port a different one.
#pragma once

#include "port/usb/UsbIds.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace port {

struct UsbLocation {
    uint8_t bus = 0;
    std::vector<uint8_t> ports; // from the root hub down
    std::string serial;         // empty when the device has none
};

// All in lower case; characters of the serial number that a path or a claim
// name cannot carry become '_'.
std::string UsbInterfacePath(const UsbId& id, const UsbLocation& where);

// "USB bus 1 port 2.4", for messages.
std::string UsbLocationText(const UsbLocation& where);

// The sysfs name of the device at `where` ("1-2.4").
std::string UsbSysfsName(const UsbLocation& where);

// The pipe a name after the interface path selects, by the writer driver's
// rule: the last run of decimal digits in the name, when it is below 6. None
// for a name without digits or with a number of 6 or more.
std::optional<unsigned> PipeIndexOfName(const std::string& name);

} // namespace port
