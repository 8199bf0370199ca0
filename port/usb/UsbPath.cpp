#include "port/usb/UsbPath.h"

#include "port/DeviceIo.h"

#include <cctype>
#include <cstdio>

namespace port {
namespace {

constexpr unsigned kPipeNumberLimit = 6;

std::string PortChain(const UsbLocation& where) {
    std::string chain;
    for (size_t i = 0; i < where.ports.size(); ++i)
        chain += (i ? "." : "") + std::to_string(where.ports[i]);
    return chain;
}

} // namespace

std::string UsbInterfacePath(const UsbId& id, const UsbLocation& where) {
    char head[48];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", id.vendor, id.product);
    std::string instance = "bus" + std::to_string(where.bus) + "-port" + PortChain(where);
    if (!where.serial.empty()) {
        instance += "&sn_";
        for (unsigned char c : where.serial)
            instance +=
                std::isalnum(c) || c == '-' || c == '.' ? static_cast<char>(std::tolower(c)) : '_';
    }
    return head + instance + "#" + kWriterInterfaceClass;
}

std::string UsbLocationText(const UsbLocation& where) {
    return "USB bus " + std::to_string(where.bus) + " port " + PortChain(where);
}

std::string UsbSysfsName(const UsbLocation& where) {
    return std::to_string(where.bus) + "-" + PortChain(where);
}

std::optional<unsigned> PipeIndexOfName(const std::string& name) {
    size_t end = name.size();
    while (end > 0 && !std::isdigit(static_cast<unsigned char>(name[end - 1])))
        --end;
    if (end == 0)
        return std::nullopt;
    size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1])))
        --start;
    unsigned number = 0;
    for (size_t i = start; i < end; ++i) {
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
        if (number >= kPipeNumberLimit)
            return std::nullopt;
    }
    return number;
}

} // namespace port
