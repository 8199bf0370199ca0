// Inside the "usb" backend: the libusb context with its event thread, and one
// record per device with the wanted ids, shared by the backend and the
// handles open on it.
//
// Locks: Core::lock guards the device list and each record's identity and
// presence; UsbDevice::mutex guards a record's libusb handle and claim. The
// event thread (hot-plug callbacks) takes Core::lock only. libusb calls that
// may wait for the event thread (open, close, claim, release) are never made
// while Core::lock is held.
#pragma once

#include "port/usb/UsbDeviceIo.h"
#include "port/usb/UsbPath.h"

#include <libusb.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace port {

struct UsbEndpoint {
    uint8_t address = 0;
    bool bulk = false;
};

struct UsbDevice {
    // Fixed from creation, except `device`, which becomes null (under
    // `mutex`) when the record of a device that left is dropped.
    libusb_device* device = nullptr; // one reference held
    UsbId id;
    UsbLocation where;
    std::string path;
    std::vector<UsbEndpoint> endpoints; // interface 0, in the order it lists them

    // Under Core::lock.
    bool present = true;

    // Under `mutex`.
    std::mutex mutex;
    libusb_device_handle* handle = nullptr;
    bool claimed = false;
    bool releaseWanted = false;
    int users = 0; // handles open on the device
};

struct UsbDeviceIo::Core {
    explicit Core(UsbIdSelection selection);
    ~Core();

    // The present devices with the wanted ids, in member order; records of
    // devices that left and that no handle uses are closed and dropped.
    std::vector<std::shared_ptr<UsbDevice>> Members();
    std::shared_ptr<UsbDevice> Find(const std::string& lowerPath);
    bool Wanted(const libusb_device_descriptor& descriptor) const;
    // The record of `device`, made when new (Core::lock held).
    std::shared_ptr<UsbDevice> Record(libusb_device* device,
                                      const libusb_device_descriptor& descriptor);

    // Opens the device (and with `claim` claims interface 0) for one more
    // handle; false with the problem recorded.
    bool Enter(UsbDevice& device, bool claim);
    // One handle fewer; the claim and the handle go when none is left and the
    // program let the device go or it left.
    void Leave(UsbDevice& device);
    // Releases the claim and closes the handle (`device.mutex` held).
    void Shut(UsbDevice& device);

    void SetProblem(const std::string& text);
    void Notify(DeviceEvent event, const std::string& path);

    libusb_context* context = nullptr;
    const UsbIdSelection ids;

    std::mutex lock;
    std::vector<std::shared_ptr<UsbDevice>> devices;
    std::string problem;

    std::mutex handlerLock;
    std::shared_ptr<EventHandler> handler;

    libusb_hotplug_callback_handle hotplug = 0;
    bool hotplugRegistered = false;
    std::atomic<bool> stopping{false};
    std::thread events;
};

// A handle on a device (pipe < 0) or on one of its pipes.
std::unique_ptr<DeviceHandle> MakeUsbHandle(std::shared_ptr<UsbDeviceIo::Core> core,
                                            std::shared_ptr<UsbDevice> device, int pipe);

// "Error text" of a libusb outcome, for messages.
std::string UsbErrorText(int code);

} // namespace port
