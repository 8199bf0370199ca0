#include "cli/console/Writers.h"

#include "firmware/FWUpdate.h"
#include "port/NamedMutex.h"
#include "usb/ProcessLink.h"

#include <cctype>
#include <cstdio>
#include <strings.h>

namespace cli {
namespace {

constexpr uint32_t kMembers = 100;

bool IsClaimedElsewhere(const std::string& path) {
    port::NamedMutex probe;
    return probe.Create(usb::DeviceMutexName(path)) != port::NamedMutex::Outcome::Created;
}

// Asks the writer at `path` who it is, through the process link limited to it.
void Identify(WriterIdentity& writer) {
    usb::C_USBInfo& link = *usb::USBInfo();
    const std::string before = link.OnlyPath();
    firmware::C_FWUpdate updater(link); // reaches the writer as an updatable device
    link.SetOnlyPath(writer.path);
    if (link.Open()) {
        writer.deviceType = link.ReadDeviceType();
        writer.sockets = link.Query2F();
        writer.answered = updater.GetWriterVersionString(writer.firmware) != 0;
        writer.serial = updater.GetWriterValue();
    }
    link.SetOnlyPath(before);
    link.Close();
}

bool AllDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!std::isdigit(c))
            return false;
    return true;
}

} // namespace

std::string SerialText(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::vector<WriterIdentity> ListWriters(std::string& error) {
    std::vector<WriterIdentity> writers;
    port::DeviceIo* io = usb::LinkBackend();
    if (!io) {
        usb::C_USBInfo& link = *usb::USBInfo();
        link.SetBodyType(usb::kIceBodyFirmwareUpdate);
        link.Open();
        error = link.GetMessage();
        return writers;
    }
    io->TakeProblem(); // only what this listing meets counts
    for (uint32_t member = 0; member < kMembers; ++member) {
        WriterIdentity writer;
        if (!io->InterfaceMember(port::kWriterInterfaceClass, member, writer.path))
            continue;
        writer.member = member;
        writer.claimed = IsClaimedElsewhere(writer.path);
        if (!writer.claimed)
            Identify(writer);
        writers.push_back(writer);
    }
    // The backend may know why there is none (no device with the wanted ids).
    if (writers.empty())
        error = io->TakeProblem();
    return writers;
}

std::optional<uint32_t> MemberOf(const std::string& path) {
    port::DeviceIo* io = usb::LinkBackend();
    if (!io || path.empty())
        return std::nullopt;
    for (uint32_t member = 0; member < kMembers; ++member) {
        std::string found;
        if (io->InterfaceMember(port::kWriterInterfaceClass, member, found) &&
            strcasecmp(found.c_str(), path.c_str()) == 0)
            return member;
    }
    return std::nullopt;
}

bool WriterSelectionIsValid(const std::string& selection) {
    if (AllDigits(selection) && !selection.empty() && selection.size() <= 2)
        return true;
    return selection.size() == 8 &&
           selection.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

WriterLookup ResolveWriter(const std::string& selection, std::string& path, std::string& message) {
    port::DeviceIo* io = usb::LinkBackend();
    if (!io) {
        std::string error;
        ListWriters(error);
        message = error;
        return WriterLookup::Unavailable;
    }
    if (AllDigits(selection) && selection.size() <= 2) {
        const auto member = static_cast<uint32_t>(std::stoul(selection));
        if (!io->InterfaceMember(port::kWriterInterfaceClass, member, path)) {
            message = "No writer at member " + selection + ".";
            return WriterLookup::Unavailable;
        }
        if (IsClaimedElsewhere(path)) {
            message = "The writer at member " + selection + " (" + path +
                      ") is in use by another process.";
            return WriterLookup::Unavailable;
        }
        return WriterLookup::Found;
    }
    if (!WriterSelectionIsValid(selection)) {
        message = "--writer takes a member index (0-99) or a serial number (exactly 8 "
                  "hexadecimal digits): " +
                  selection;
        return WriterLookup::Malformed;
    }
    const std::string& hex = selection;
    const auto serial = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
    std::string error;
    int held = 0;
    for (const WriterIdentity& writer : ListWriters(error)) {
        held += writer.claimed ? 1 : 0;
        if (!writer.claimed && writer.answered && writer.serial == serial) {
            path = writer.path;
            return WriterLookup::Found;
        }
    }
    message = "No free writer has the serial number " + SerialText(serial) + ".";
    if (held > 0)
        message += " " + std::to_string(held) + " writer(s) are in use by other processes.";
    return WriterLookup::Unavailable;
}

} // namespace cli
