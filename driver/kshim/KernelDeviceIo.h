// The program's device I/O over the user-mode kernel: interface members,
// pipe handles and arrival/removal events come from the kernel's interface
// registry and file-object layer, so that program code reaches a driver loaded
// in the kernel exactly as it reaches a device on the platform.
#pragma once

#include "driver/kshim/Kernel.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"

namespace kshim {

class InterfaceWatch;

// Needs a live Kernel for its whole life. Paths are given in the user-mode form
// "\\?\usb#vid_XXXX&pid_YYYY#N#{class}".
//
// Time limits are real milliseconds, or, with a clock, that clock's time: a
// transfer still pending once no kernel thread has work left can only end by
// its limit, so the clock sleeps the limit (at once on a manual clock) and the
// transfer is cancelled as timed out.
class KernelDeviceIo : public port::DeviceIo {
public:
    explicit KernelDeviceIo(port::Clock* clock = nullptr);
    ~KernelDeviceIo() override;

    std::string Name() const override { return "kshim"; }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<port::DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;

    struct Events;

private:
    std::shared_ptr<Events> events_;
    std::unique_ptr<InterfaceWatch> watch_;
    port::Clock* clock_;
};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (either case) to a GUID; false when
// the text is not one.
bool ParseGuid(const std::string& text, GUID& guid);

} // namespace kshim
