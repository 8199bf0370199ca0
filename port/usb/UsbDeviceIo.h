// The "usb" device I/O backend: writers on Linux reached through libusb, with
// no kernel driver of our own. It stands where the writer's Windows driver
// stands: a device of the wanted vendor and product ids is one member of the
// writer interface class; "\PIPE00" and "\PIPE01" after its path name the
// first and second endpoint of its interface 0 (bulk IN, then bulk OUT); each
// read or write is one bulk transfer of the caller's whole buffer.
//
// Members are the present devices with the wanted ids, ordered by bus and
// port chain, numbered from 0 (at most 100). Paths name the physical port and
// the serial number (port/usb/UsbPath.h), so a writer plugged again into the
// same port keeps its path.
//
// The first pipe opened on a device claims its interface 0 for this process;
// the claim lasts until ReleaseDevice (the program gave up its own claim on
// the writer) once no handle is open, until the device leaves, or until the
// backend ends (the system drops it when the process dies). A device another
// program or a kernel driver holds, or that this user may not open, opens as
// null, and TakeProblem says why.
#pragma once

#include "port/DeviceIo.h"
#include "port/usb/UsbIds.h"

#include <memory>
#include <string>

namespace port {

class UsbDeviceIo : public DeviceIo {
public:
    // Starts libusb, lists the devices present and follows arrivals and
    // removals on a thread of its own. Throws std::runtime_error with the
    // reason when libusb cannot start.
    explicit UsbDeviceIo(UsbIdSelection ids);
    // Releases every claim and closes every device no handle still uses;
    // handles left open keep libusb running until they close.
    ~UsbDeviceIo() override;
    UsbDeviceIo(const UsbDeviceIo&) = delete;
    UsbDeviceIo& operator=(const UsbDeviceIo&) = delete;

    std::string Name() const override { return "usb"; }

    // True with the path of the member'th present device with the wanted
    // ids. Blocks only on libusb's device list and a sysfs read of a new
    // device's serial number. When none is present, TakeProblem tells which
    // ids were looked for and where they came from.
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;

    // The interface path alone opens the device (to check that this user may
    // open it); with a pipe name it also claims the interface. Null for an
    // absent device, a pipe the interface lacks, no permission, or a claim
    // refused because another program or a kernel driver holds the interface
    // (TakeProblem says which). Blocks on the system's open and claim only.
    std::unique_ptr<DeviceHandle> Open(const std::string& path) override;

    // Arrival and removal of devices with the wanted ids, on the backend's
    // own thread, with the paths InterfaceMember gives.
    void SetEventHandler(EventHandler handler) override;

    // Lets the interface go once no handle on the device is open. Never
    // blocks on a transfer.
    void ReleaseDevice(const std::string& interfacePath) override;

    std::string TakeProblem() override;

    // Handles on a pipe or device of this backend (DeviceHandle):
    // - Read / Write: one bulk transfer on the pipe's endpoint, blocking until
    //   it completes or its time limit passes (0: none). Done with the bytes
    //   moved (a read may be short); TimedOut when the limit passed (the
    //   transfer is cancelled first); Failed for a stall (the pipe's halt is
    //   cleared before the call returns, as the writer's driver resets a pipe
    //   after a failed transfer), a device that left, a cancel, a transfer on
    //   the wrong direction or on the device handle. A zero-byte transfer is
    //   Done at once without reaching the device.
    // - Cancel: cancels the transfer in flight from another thread; never
    //   blocks.
    // - Control: the writer driver's codes. Vendor OUT and IN send the block's
    //   request on the control pipe (request type vendor, recipient device,
    //   the block's low five request-type bits) and report 24 bytes as the
    //   driver does; Reset Pipe clears the halt of the handle's pipe; Get
    //   Configuration Descriptor reads it from the device; Reset Device
    //   succeeds while the device is present (a port that is connected and
    //   enabled needs no reset). Blocks until the device answers or the limit
    //   passes.

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

// The factory behind BURNWRIGHT_WRITER=usb: the ids from SelectUsbIds with the
// program's settings file. Throws std::runtime_error with the reason for ids
// that do not read as a list or a libusb that cannot start.
std::unique_ptr<DeviceIo> CreateUsbDeviceIo(const std::string& argument);

} // namespace port
