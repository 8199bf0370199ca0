#include "sim/umockdev/Testbed.h"

#include <umockdev.h>

#include <cstdio>
#include <dlfcn.h>
#include <stdexcept>

namespace sim::umock {

bool InMockEnvironment() {
    // The preload is in force when the process loaded it at its start.
    void* preload = ::dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (preload)
        ::dlclose(preload);
    return preload != nullptr;
}

Testbed::Testbed(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {
    if (!InMockEnvironment())
        throw std::runtime_error("The USB testbed needs umockdev's preload: run the program "
                                 "under umockdev-wrapper (LD_PRELOAD=libumockdev-preload.so.0, "
                                 "after any sanitizer runtime)");
    testbed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    for (const auto& writer : bus_->Writers())
        if (writer->Plugged())
            Add(writer);
    subscription_ = bus_->Subscribe([this](port::DeviceEvent event, const std::string& path) {
        auto writer = bus_->WriterByPath(path);
        if (!writer)
            return;
        const uint32_t member = writer->Member();
        if (event == port::DeviceEvent::Arrival)
            Post([this, writer] {
                try {
                    Add(writer);
                } catch (const std::exception& failure) {
                    std::fprintf(stderr, "%s\n", failure.what());
                }
            });
        else
            Post([this, member] { Remove(member); });
    });
    worker_ = std::thread([this] {
        std::unique_lock<std::mutex> hold(jobsLock_);
        while (true) {
            jobsChanged_.wait(hold, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
            hold.unlock();
            job();
            hold.lock();
            busy_ = false;
            jobsChanged_.notify_all();
        }
    });
}

Testbed::~Testbed() {
    bus_->Unsubscribe(subscription_);
    {
        std::lock_guard<std::mutex> hold(jobsLock_);
        stopping_ = true;
    }
    jobsChanged_.notify_all();
    worker_.join();
    for (auto& [member, device] : devices_)
        umockdev_testbed_detach_ioctl(testbed_, device->DeviceNode().c_str(), nullptr);
    g_object_unref(testbed_);
}

void Testbed::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> hold(jobsLock_);
        jobs_.push_back(std::move(job));
    }
    jobsChanged_.notify_all();
}

void Testbed::Settle() {
    std::unique_lock<std::mutex> hold(jobsLock_);
    jobsChanged_.wait(hold, [&] { return jobs_.empty() && !busy_; });
}

std::shared_ptr<UsbfsDevice> Testbed::Device(uint32_t member) const {
    std::lock_guard<std::mutex> hold(devicesLock_);
    auto it = devices_.find(member);
    return it == devices_.end() ? nullptr : it->second;
}

void Testbed::Add(const std::shared_ptr<Writer>& writer) {
    if (Device(writer->Member()))
        return;
    const uint8_t address = nextAddress_;
    nextAddress_ = static_cast<uint8_t>(nextAddress_ >= 127 ? 2 : nextAddress_ + 1);
    auto device = std::make_shared<UsbfsDevice>(
        writer, bus_, 1, static_cast<uint8_t>(writer->Member() + 1), address);
    GError* error = nullptr;
    // The handler is in place before the device appears, so libusb's hot-plug
    // thread never opens a node nobody answers.
    if (!umockdev_testbed_attach_ioctl(testbed_, device->DeviceNode().c_str(), device->Handler(),
                                       &error) ||
        !umockdev_testbed_add_from_string(testbed_, device->Record().c_str(), &error)) {
        const std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("The USB testbed cannot add writer " +
                                 std::to_string(writer->Member()) + ": " + why);
    }
    std::lock_guard<std::mutex> hold(devicesLock_);
    devices_[writer->Member()] = device;
}

void Testbed::Remove(uint32_t member) {
    std::shared_ptr<UsbfsDevice> device;
    {
        std::lock_guard<std::mutex> hold(devicesLock_);
        auto it = devices_.find(member);
        if (it == devices_.end())
            return;
        device = it->second;
        devices_.erase(it);
        departed_.push_back(device);
    }
    device->Gone();
    umockdev_testbed_uevent(testbed_, device->SysfsPath().c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, device->SysfsPath().c_str());
    umockdev_testbed_detach_ioctl(testbed_, device->DeviceNode().c_str(), nullptr);
}

} // namespace sim::umock
