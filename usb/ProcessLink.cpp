#include "usb/ProcessLink.h"

namespace usb {
namespace {

struct Link {
    std::unique_ptr<port::DeviceIo> io;
    std::unique_ptr<C_USBInfo> info;

    Link() {
        info = std::make_unique<C_USBInfo>(nullptr, port::SystemClock());
        Select(port::DeviceIoSelectionFromEnvironment(), port::SystemClock());
    }

    // The old backend goes first: some backends exist only once per process.
    void Select(const std::string& selection, port::Clock& clock) {
        info->Bind(nullptr, clock);
        io.reset();
        std::string error;
        io = port::CreateDeviceIo(selection, error);
        info->Bind(io.get(), clock, error);
    }
};

Link& TheLink() {
    static Link link;
    return link;
}

} // namespace

C_USBInfo* USBInfo() {
    return TheLink().info.get();
}

void InstallLinkBackend(std::unique_ptr<port::DeviceIo> io, port::Clock& clock) {
    Link& link = TheLink();
    link.info->Bind(io.get(), clock);
    link.io = std::move(io); // the old backend goes only once nothing points at it
}

void SelectLinkBackend(const std::string& selection, port::Clock& clock) {
    TheLink().Select(selection, clock);
}

port::DeviceIo* LinkBackend() {
    return TheLink().io.get();
}

} // namespace usb
