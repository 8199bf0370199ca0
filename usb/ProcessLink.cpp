#include "usb/ProcessLink.h"

namespace usb {
namespace {

struct Link {
    std::unique_ptr<port::DeviceIo> io;
    std::unique_ptr<C_USBInfo> info;

    Link() {
        std::string error;
        io = port::CreateDeviceIo(port::DeviceIoSelectionFromEnvironment(), error);
        info = std::make_unique<C_USBInfo>(io.get(), port::SystemClock());
        if (!io)
            info->Bind(nullptr, port::SystemClock(), error);
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

port::DeviceIo* LinkBackend() {
    return TheLink().io.get();
}

} // namespace usb
