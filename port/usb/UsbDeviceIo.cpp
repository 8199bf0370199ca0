#include "port/usb/UsbCore.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <tuple>
#include <unistd.h>

namespace port {
namespace {

constexpr uint32_t kMaxMembers = 100;
constexpr int kMaxPortDepth = 7;

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The serial number the kernel read from the device; empty when it has none.
std::string ReadSerial(const UsbLocation& where) {
    std::ifstream file("/sys/bus/usb/devices/" + UsbSysfsName(where) + "/serial");
    std::string serial;
    std::getline(file, serial);
    while (!serial.empty() && std::isspace(static_cast<unsigned char>(serial.back())))
        serial.pop_back();
    return serial;
}

// The kernel driver bound to interface 0, when sysfs names one.
std::string InterfaceDriver(const UsbLocation& where) {
    const std::string link = "/sys/bus/usb/devices/" + UsbSysfsName(where) + ":1.0/driver";
    char target[512];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const std::string text(target);
    return text.substr(text.find_last_of('/') + 1);
}

std::string OpenProblem(const UsbDevice& device, int code) {
    const std::string where = "The writer at " + UsbLocationText(device.where);
    if (code == LIBUSB_ERROR_ACCESS)
        return where + " cannot be opened: this user has no permission. Install the udev rule "
                       "of packaging/linux (the README says how) and plug the writer again, or "
                       "run the program as root.";
    return where + " cannot be opened: " + UsbErrorText(code);
}

std::string ClaimProblem(const UsbDevice& device, int code) {
    const std::string where = "The writer at " + UsbLocationText(device.where);
    if (code != LIBUSB_ERROR_BUSY)
        return where + " cannot be claimed: " + UsbErrorText(code);
    if (libusb_kernel_driver_active(device.handle, 0) == 1) {
        const std::string driver = InterfaceDriver(device.where);
        return where + " is held by " +
               (driver.empty() ? std::string("a kernel driver")
                               : "the kernel driver \"" + driver + "\"") +
               ": unbind it from the writer's interface, then plug the writer again.";
    }
    return where + " is held by another program: end that program, then try again.";
}

void ReadEndpoints(UsbDevice& device) {
    device.endpoints.clear();
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device.device, &config) != 0 &&
        libusb_get_config_descriptor(device.device, 0, &config) != 0)
        return;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& e = setting.endpoint[i];
            device.endpoints.push_back(
                {e.bEndpointAddress,
                 (e.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK});
        }
    }
    libusb_free_config_descriptor(config);
}

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                          void* user) {
    auto* core = static_cast<UsbDeviceIo::Core*>(user);
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || !core->Wanted(descriptor))
        return 0;
    std::string path;
    {
        std::lock_guard<std::mutex> hold(core->lock);
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            auto record = core->Record(device, descriptor);
            record->present = true;
            path = record->path;
        } else {
            for (auto& record : core->devices)
                if (record->device == device) {
                    record->present = false;
                    path = record->path;
                }
        }
    }
    if (!path.empty())
        core->Notify(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? DeviceEvent::Arrival
                                                                  : DeviceEvent::Removal,
                     path);
    return 0;
}

} // namespace

std::string UsbErrorText(int code) {
    return libusb_strerror(code);
}

UsbDeviceIo::Core::Core(UsbIdSelection selection) : ids(std::move(selection)) {
    const int started = libusb_init(&context);
    if (started != 0)
        throw std::runtime_error("The USB library cannot start: " + UsbErrorText(started));
    // Every device present now gets its record (and its serial number, which
    // sysfs no longer has once it left), so a removal reports the same path.
    Members();
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        const auto events = static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        hotplugRegistered = libusb_hotplug_register_callback(
                                context, events, LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, this,
                                &hotplug) == LIBUSB_SUCCESS;
    }
    // Completions and hot-plug callbacks run on this thread.
    events = std::thread([this] {
        while (!stopping.load()) {
            const int handled = libusb_handle_events_completed(context, nullptr);
            if (handled != 0 && handled != LIBUSB_ERROR_INTERRUPTED)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

UsbDeviceIo::Core::~Core() {
    if (hotplugRegistered)
        libusb_hotplug_deregister_callback(context, hotplug);
    stopping = true;
    libusb_interrupt_event_handler(context);
    events.join();
    for (auto& device : devices) {
        std::lock_guard<std::mutex> hold(device->mutex);
        Shut(*device);
        if (device->handle)
            libusb_close(device->handle);
        device->handle = nullptr;
        libusb_unref_device(device->device);
    }
    devices.clear();
    libusb_exit(context);
}

bool UsbDeviceIo::Core::Wanted(const libusb_device_descriptor& descriptor) const {
    return std::any_of(ids.ids.begin(), ids.ids.end(), [&](const UsbId& id) {
        return id.vendor == descriptor.idVendor && id.product == descriptor.idProduct;
    });
}

std::shared_ptr<UsbDevice> UsbDeviceIo::Core::Record(libusb_device* device,
                                                     const libusb_device_descriptor& descriptor) {
    for (auto& record : devices)
        if (record->device == device)
            return record;
    auto record = std::make_shared<UsbDevice>();
    record->device = libusb_ref_device(device);
    record->id = {descriptor.idVendor, descriptor.idProduct};
    record->where.bus = libusb_get_bus_number(device);
    uint8_t ports[kMaxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    if (depth > 0)
        record->where.ports.assign(ports, ports + depth);
    record->where.serial = ReadSerial(record->where);
    record->path = UsbInterfacePath(record->id, record->where);
    ReadEndpoints(*record);
    devices.push_back(record);
    return record;
}

std::vector<std::shared_ptr<UsbDevice>> UsbDeviceIo::Core::Members() {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::vector<std::shared_ptr<UsbDevice>> members;
    std::vector<std::shared_ptr<UsbDevice>> gone;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (auto& record : devices)
            record->present = false;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || !Wanted(descriptor))
                continue;
            auto record = Record(list[i], descriptor);
            record->present = true;
            members.push_back(record);
        }
        for (auto& record : devices)
            if (!record->present)
                gone.push_back(record);
    }
    if (list)
        libusb_free_device_list(list, 1);
    // A device that left is closed and forgotten once no handle uses it.
    for (auto& record : gone) {
        std::lock_guard<std::mutex> hold(record->mutex);
        if (record->users > 0)
            continue;
        Shut(*record);
        if (record->handle)
            libusb_close(record->handle);
        record->handle = nullptr;
        std::lock_guard<std::mutex> listHold(lock);
        if (!record->present) {
            devices.erase(std::remove(devices.begin(), devices.end(), record), devices.end());
            libusb_unref_device(record->device);
            record->device = nullptr;
        }
    }
    std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
        return std::tie(a->where.bus, a->where.ports, a->where.serial) <
               std::tie(b->where.bus, b->where.ports, b->where.serial);
    });
    if (members.size() > kMaxMembers)
        members.resize(kMaxMembers);
    return members;
}

std::shared_ptr<UsbDevice> UsbDeviceIo::Core::Find(const std::string& lowerPath) {
    for (auto& record : Members())
        if (lowerPath.compare(0, record->path.size(), record->path) == 0)
            return record;
    return nullptr;
}

bool UsbDeviceIo::Core::Enter(UsbDevice& device, bool claim) {
    std::lock_guard<std::mutex> hold(device.mutex);
    if (!device.device)
        return false; // it left and its record was dropped meanwhile
    if (!device.handle) {
        const int opened = libusb_open(device.device, &device.handle);
        if (opened != 0) {
            device.handle = nullptr;
            if (opened != LIBUSB_ERROR_NO_DEVICE)
                SetProblem(OpenProblem(device, opened));
            return false;
        }
    }
    if (claim && !device.claimed) {
        const int claimed = libusb_claim_interface(device.handle, 0);
        if (claimed != 0) {
            if (claimed != LIBUSB_ERROR_NO_DEVICE)
                SetProblem(ClaimProblem(device, claimed));
            return false;
        }
        device.claimed = true;
    }
    if (claim)
        device.releaseWanted = false;
    ++device.users;
    return true;
}

void UsbDeviceIo::Core::Leave(UsbDevice& device) {
    std::lock_guard<std::mutex> hold(device.mutex);
    if (--device.users > 0)
        return;
    bool present;
    {
        std::lock_guard<std::mutex> listHold(lock);
        present = device.present;
    }
    if (device.releaseWanted || !present)
        Shut(device);
}

void UsbDeviceIo::Core::Shut(UsbDevice& device) {
    if (device.claimed && device.handle)
        libusb_release_interface(device.handle, 0);
    device.claimed = false;
}

void UsbDeviceIo::Core::SetProblem(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    problem = text;
}

void UsbDeviceIo::Core::Notify(DeviceEvent event, const std::string& path) {
    std::shared_ptr<EventHandler> call;
    {
        std::lock_guard<std::mutex> hold(handlerLock);
        call = handler;
    }
    if (call && *call)
        (*call)(event, path);
}

UsbDeviceIo::UsbDeviceIo(UsbIdSelection ids) : core_(std::make_shared<Core>(std::move(ids))) {}

UsbDeviceIo::~UsbDeviceIo() {
    SetEventHandler(nullptr);
    std::vector<std::shared_ptr<UsbDevice>> devices;
    {
        std::lock_guard<std::mutex> hold(core_->lock);
        devices = core_->devices;
    }
    // Claims go now; a device still used by a handle lets go when it closes.
    for (auto& device : devices) {
        std::lock_guard<std::mutex> hold(device->mutex);
        device->releaseWanted = true;
        if (device->users == 0)
            core_->Shut(*device);
    }
}

bool UsbDeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                  std::string& path) {
    std::string wanted = Lower(interfaceClass);
    if (!wanted.empty() && wanted.front() != '{')
        wanted = "{" + wanted + "}";
    if (wanted != kWriterInterfaceClass)
        return false;
    const auto members = core_->Members();
    if (members.empty())
        core_->SetProblem(NoMatchingDeviceText(core_->ids));
    if (memberIndex >= members.size())
        return false;
    path = members[memberIndex]->path;
    return true;
}

std::unique_ptr<DeviceHandle> UsbDeviceIo::Open(const std::string& path) {
    const std::string lower = Lower(path);
    auto device = core_->Find(lower);
    if (!device)
        return nullptr;
    const std::string name = lower.substr(device->path.size());
    int pipe = -1;
    if (!name.empty()) {
        const auto index = PipeIndexOfName(name);
        if (name.front() != '\\' || !index)
            return nullptr;
        pipe = static_cast<int>(*index);
    }
    if (pipe >= static_cast<int>(device->endpoints.size()))
        return nullptr; // the interface has no such pipe
    if (!core_->Enter(*device, pipe >= 0))
        return nullptr;
    return MakeUsbHandle(core_, device, pipe);
}

void UsbDeviceIo::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> hold(core_->handlerLock);
    core_->handler = handler ? std::make_shared<EventHandler>(std::move(handler)) : nullptr;
}

void UsbDeviceIo::ReleaseDevice(const std::string& interfacePath) {
    const std::string lower = Lower(interfacePath);
    std::vector<std::shared_ptr<UsbDevice>> matching;
    {
        std::lock_guard<std::mutex> hold(core_->lock);
        for (auto& device : core_->devices)
            if (device->path == lower)
                matching.push_back(device);
    }
    for (auto& device : matching) {
        std::lock_guard<std::mutex> hold(device->mutex);
        device->releaseWanted = true;
        if (device->users == 0)
            core_->Shut(*device);
    }
}

std::string UsbDeviceIo::TakeProblem() {
    std::lock_guard<std::mutex> hold(core_->lock);
    std::string text;
    text.swap(core_->problem);
    return text;
}

std::unique_ptr<DeviceIo> CreateUsbDeviceIo(const std::string&) {
    UsbIdSelection ids;
    std::string error;
    if (!SelectUsbIds(ProgramSettingsPath(), ids, error))
        throw std::runtime_error(error);
    return std::make_unique<UsbDeviceIo>(std::move(ids));
}

} // namespace port
