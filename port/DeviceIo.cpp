#include "port/DeviceIo.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

namespace port {

#ifdef _WIN32
// The platform's own backend (win32/DeviceIo.cpp), known from the start.
std::unique_ptr<DeviceIo> CreateWin32DeviceIo(const std::string& argument);
#endif
#ifdef BURNWRIGHT_USB_BACKEND
// Real writers through libusb (usb/UsbDeviceIo.cpp), known from the start.
std::unique_ptr<DeviceIo> CreateUsbDeviceIo(const std::string& argument);
#endif

namespace {

#ifdef _WIN32
constexpr const char* kRealBackend = "win32";
constexpr const char* kPlatformName = "Windows";
#else
constexpr const char* kRealBackend = "usb";
#ifdef __linux__
constexpr const char* kPlatformName = "Linux";
#else
constexpr const char* kPlatformName = "this system";
#endif
#endif

std::mutex registryLock;

std::map<std::string, DeviceIoFactory>& Registry() {
    static std::map<std::string, DeviceIoFactory> registry = {
#ifdef _WIN32
        {"win32", CreateWin32DeviceIo},
#endif
#ifdef BURNWRIGHT_USB_BACKEND
        {"usb", CreateUsbDeviceIo},
#endif
    };
    return registry;
}

} // namespace

DeviceHandle::Outcome DeviceHandle::Control(uint32_t, const uint8_t*, size_t, uint8_t*, size_t,
                                            uint32_t, size_t& returned) {
    returned = 0;
    return Outcome::Failed;
}

void DeviceIo::ReleaseDevice(const std::string&) {}

std::string DeviceIo::TakeProblem() {
    return {};
}

void RegisterDeviceIoBackend(const std::string& name, DeviceIoFactory factory) {
    std::lock_guard<std::mutex> guard(registryLock);
    Registry()[name] = std::move(factory);
}

std::vector<std::string> DeviceIoBackendNames() {
    std::lock_guard<std::mutex> guard(registryLock);
    std::vector<std::string> names;
    for (const auto& entry : Registry())
        names.push_back(entry.first);
    return names;
}

std::unique_ptr<DeviceIo> CreateDeviceIo(const std::string& selection, std::string& error) {
    const auto colon = selection.find(':');
    const std::string name = selection.substr(0, colon);
    const std::string argument =
        colon == std::string::npos ? std::string() : selection.substr(colon + 1);
    DeviceIoFactory factory;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        const auto it = Registry().find(name);
        if (it != Registry().end())
            factory = it->second;
    }
    if (!factory) {
        // Real writers on this platform have no backend yet: say so, and how to
        // reach the simulated writer instead.
        error = name == kRealBackend
                    ? std::string("This build has no real writer backend on ") + kPlatformName +
                          "; set BURNWRIGHT_WRITER=sim to use the simulated writer."
                    : "Unknown writer backend \"" + name + "\"";
        return nullptr;
    }
    // A backend that cannot start may say why by throwing.
    std::unique_ptr<DeviceIo> io;
    try {
        io = factory(argument);
    } catch (const std::exception& failure) {
        error = failure.what();
        return nullptr;
    }
    if (!io)
        error = "The writer backend \"" + name + "\" could not start";
    return io;
}

std::string DeviceIoSelectionFromEnvironment() {
    if (const char* env = std::getenv("BURNWRIGHT_WRITER"); env && *env)
        return env;
    return kRealBackend;
}

} // namespace port
