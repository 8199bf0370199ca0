#include "sim/umockdev/UsbfsDevice.h"

#include "sim/Descriptors.h"

#include <umockdev.h>

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace sim::umock {
namespace {

// What a current kernel with a scatter-gather host controller offers: libusb
// then hands each bulk transfer over as one URB, whatever its length.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr size_t kSetupBytes = 8;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kRecipientEndpoint = 2;

uint16_t Le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// The unsigned int that a request's argument points to.
unsigned ArgumentValue(UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
    if (!value) {
        g_clear_error(&error);
        return ~0u;
    }
    unsigned result;
    std::memcpy(&result, value->data, sizeof result);
    g_object_unref(value);
    return result;
}

usbdevfs_urb& Fields(UMockdevIoctlData* urb) {
    return *reinterpret_cast<usbdevfs_urb*>(urb->data);
}

} // namespace

UsbfsDevice::UsbfsDevice(std::shared_ptr<Writer> writer, std::shared_ptr<Bus> bus,
                         uint8_t busNumber, uint8_t port, uint8_t address)
    : writer_(std::move(writer)), bus_(std::move(bus)), generation_(writer_->Generation()),
      busNumber_(busNumber), port_(port), address_(address) {
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", busNumber_, address_);
    node_ = node;
    sysfs_ = "/sys/devices/usb" + std::to_string(busNumber_) + "/" + std::to_string(busNumber_) +
             "-" + std::to_string(port_);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsDevice::OnIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UsbfsDevice::OnVanished), this);
    built_.store(true, std::memory_order_release);
}

UsbfsDevice::~UsbfsDevice() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    std::lock_guard<std::mutex> hold(mutex_);
    for (Urb& urb : inFlight_)
        Release(urb);
    for (auto& [client, urbs] : finished_)
        for (Urb& urb : urbs)
            Release(urb);
    g_object_unref(handler_);
}

std::string UsbfsDevice::Record() const {
    const WriterConfig& config = writer_->Config();
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", config.vendorId,
                  config.productId);
    std::vector<uint8_t> descriptors = DeviceDescriptor(config);
    const std::vector<uint8_t> configuration = ConfigurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    const std::string bus = std::to_string(busNumber_), address = std::to_string(address_);
    return "P: " + sysfs_.substr(4) + "\nN: " + node_.substr(5) +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=" +
           node_.substr(13, 3) + "\nE: DEVNUM=" + node_.substr(17, 3) + "\nE: DEVNAME=" + node_ +
           "\nA: busnum=" + bus + "\nA: devnum=" + address +
           "\nA: bConfigurationValue=1\nA: speed=12\n" + ids + "A: serial=" + SerialString(config) +
           "\nA: manufacturer=Burnwright\nA: product=Simulated gang "
           "writer\nH: descriptors=" +
           Hex(descriptors) + "\n";
}

void UsbfsDevice::Gone() {
    std::lock_guard<std::mutex> hold(mutex_);
    gone_ = true;
    for (Urb& urb : inFlight_)
        Finish(urb, -ENODEV, 0);
    inFlight_.clear();
}

void UsbfsDevice::HoldInterface(const std::string& holder) {
    std::lock_guard<std::mutex> hold(mutex_);
    holder_ = holder;
}

std::vector<ControlRecord> UsbfsDevice::ControlRequests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return controls_;
}

UsbfsCounters UsbfsDevice::Counters() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return counters_;
}

int UsbfsDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* device = static_cast<UsbfsDevice*>(self);
    device->built_.load(std::memory_order_acquire);
    device->Handle(client);
    return TRUE;
}

void UsbfsDevice::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    // A closed file drops its URBs and its claim, as the kernel does.
    auto* device = static_cast<UsbfsDevice*>(self);
    device->built_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> hold(device->mutex_);
    auto& inFlight = device->inFlight_;
    for (auto it = inFlight.begin(); it != inFlight.end();) {
        if (it->client == client) {
            device->Release(*it);
            it = inFlight.erase(it);
        } else {
            ++it;
        }
    }
    if (auto it = device->finished_.find(client); it != device->finished_.end()) {
        for (Urb& urb : it->second)
            device->Release(urb);
        device->finished_.erase(it);
    }
    if (device->claimedBy_ == client)
        device->claimedBy_ = nullptr;
}

void UsbfsDevice::Release(Urb& urb) {
    if (urb.buffer)
        g_object_unref(urb.buffer);
    if (urb.urb)
        g_object_unref(urb.urb);
    urb = {};
}

void UsbfsDevice::Finish(Urb& urb, int status, size_t length) {
    Fields(urb.urb).status = status;
    Fields(urb.urb).actual_length = static_cast<int>(length);
    finished_[urb.client].push_back(urb);
}

void UsbfsDevice::Handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++counters_.ioctls;
        if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
            request != USBDEVFS_RELEASEINTERFACE) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        if (!value) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        const uint32_t capabilities = kCapabilities;
        std::memcpy(value->data, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(value);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        Claim(client, arg, request == USBDEVFS_CLAIMINTERFACE);
        return;
    case USBDEVFS_GETDRIVER: {
        GError* error = nullptr;
        UMockdevIoctlData* value =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &error);
        if (!value) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        auto& query = *reinterpret_cast<usbdevfs_getdriver*>(value->data);
        std::string driver;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            driver = !holder_.empty() ? holder_ : claimedBy_ ? "usbfs" : "";
        }
        if (query.interface != 0 || driver.empty()) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        } else {
            std::snprintf(query.driver, sizeof query.driver, "%s", driver.c_str());
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        g_object_unref(value);
        return;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        const unsigned endpoint = ArgumentValue(arg);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            halted_.erase(static_cast<uint8_t>(endpoint));
            ++counters_.clearHalts;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_RESET:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_SUBMITURB:
        Submit(client, arg);
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(client, arg);
        return;
    case USBDEVFS_DISCARDURB:
        Discard(client, arg);
        return;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
}

void UsbfsDevice::Claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool claim) {
    const unsigned interface = ArgumentValue(arg);
    std::lock_guard<std::mutex> hold(mutex_);
    if (interface != 0) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
    } else if (!claim) {
        const bool mine = claimedBy_ == client;
        if (mine)
            claimedBy_ = nullptr;
        umockdev_ioctl_client_complete(client, mine ? 0 : -1, mine ? 0 : EINVAL);
    } else if (!holder_.empty() || (claimedBy_ && claimedBy_ != client)) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
    } else {
        claimedBy_ = client;
        ++counters_.claims;
        counters_.claimants.insert(client);
        umockdev_ioctl_client_complete(client, 0, 0);
    }
}

void UsbfsDevice::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    Urb urb;
    urb.client = client;
    urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urb.urb) {
        const usbdevfs_urb& fields = Fields(urb.urb);
        if (fields.buffer_length < 0 ||
            (fields.type == USBDEVFS_URB_TYPE_CONTROL && fields.buffer_length < int(kSetupBytes))) {
            Release(urb);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                                 static_cast<size_t>(fields.buffer_length), &error);
    }
    if (!urb.urb || !urb.buffer) {
        g_clear_error(&error);
        Release(urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const uint8_t type = Fields(urb.urb).type;
    if (type == USBDEVFS_URB_TYPE_BULK) {
        std::lock_guard<std::mutex> hold(mutex_);
        // Bulk URBs need the interface: taken on the fly when free, as usbfs does.
        if (!holder_.empty() || (claimedBy_ && claimedBy_ != client)) {
            Release(urb);
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return;
        }
        claimedBy_ = client;
    }
    if (type == USBDEVFS_URB_TYPE_BULK) {
        Bulk(urb);
    } else if (type == USBDEVFS_URB_TYPE_CONTROL) {
        Control(urb);
    } else {
        std::lock_guard<std::mutex> hold(mutex_);
        Finish(urb, -EINVAL, 0);
    }
    // Accepted: the outcome waits to be reaped (or the URB stays in flight).
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsDevice::Bulk(Urb& urb) {
    const uint8_t endpoint = Fields(urb.urb).endpoint;
    const bool in = (endpoint & 0x80) != 0;
    const size_t size = static_cast<size_t>(Fields(urb.urb).buffer_length);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++counters_.bulkUrbs;
        if ((endpoint != kEndpointIn && endpoint != kEndpointOut) || halted_.count(endpoint)) {
            // A halted endpoint answers every transfer with a stall until cleared.
            Finish(urb, -EPIPE, 0);
            return;
        }
    }
    bus_->Wire().HostStarts();
    // The device never knows the host's time limit: a transfer the writer
    // holds stays in flight until the host discards it.
    const Writer::Transfer result = writer_->Submit(
        in, generation_, in ? urb.buffer->data : nullptr, in ? nullptr : urb.buffer->data, size, 0);
    std::lock_guard<std::mutex> hold(mutex_);
    if (gone_ || writer_->Generation() != generation_) {
        Finish(urb, -ENODEV, 0);
    } else if (result.pending) {
        inFlight_.push_back(urb);
    } else if (result.outcome == Writer::Outcome::Done) {
        Finish(urb, 0, result.transferred);
    } else {
        // The writer refuses (nothing to answer, an injected failure): a stall.
        halted_.insert(endpoint);
        Finish(urb, -EPIPE, 0);
    }
}

void UsbfsDevice::Control(Urb& urb) {
    uint8_t* bytes = urb.buffer->data;
    const size_t room = static_cast<size_t>(Fields(urb.urb).buffer_length) - kSetupBytes;
    ControlRecord setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = Le16(bytes + 2);
    setup.index = Le16(bytes + 4);
    setup.length = Le16(bytes + 6);
    const size_t length = std::min<size_t>(setup.length, room);
    const bool in = (setup.requestType & 0x80) != 0;
    std::lock_guard<std::mutex> hold(mutex_);
    if ((setup.requestType & kTypeMask) == kTypeStandard && in && setup.request == kGetDescriptor) {
        const uint8_t kind = static_cast<uint8_t>(setup.value >> 8);
        const uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
        const std::vector<uint8_t> descriptor = kind == 1   ? DeviceDescriptor(writer_->Config())
                                                : kind == 2 ? ConfigurationDescriptor()
                                                : kind == 3
                                                    ? StringDescriptor(writer_->Config(), index)
                                                    : std::vector<uint8_t>();
        if (descriptor.empty()) {
            Finish(urb, -EPIPE, 0);
            return;
        }
        const size_t n = std::min(length, descriptor.size());
        std::memcpy(bytes + kSetupBytes, descriptor.data(), n);
        Finish(urb, 0, n);
        return;
    }
    if ((setup.requestType & kTypeMask) == kTypeStandard && !in) {
        if (setup.request == kClearFeature && (setup.requestType & 0x1F) == kRecipientEndpoint) {
            halted_.erase(static_cast<uint8_t>(setup.index));
            ++counters_.clearHalts;
        }
        Finish(urb, 0, 0);
        return;
    }
    if ((setup.requestType & kTypeMask) == kTypeVendor && !in)
        setup.data.assign(bytes + kSetupBytes, bytes + kSetupBytes + length);
    controls_.push_back(setup);
    // The writer answers no vendor or other requests on its control pipe.
    Finish(urb, -EPIPE, 0);
}

void UsbfsDevice::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = finished_.find(client);
    if (it == finished_.end() || it->second.empty()) {
        ++counters_.emptyReaps;
        umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    Urb urb = it->second.front();
    it->second.pop_front();
    GError* error = nullptr;
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
    if (!pointer) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    } else {
        // Hands the client its own URB back, with status, length and data.
        umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(pointer);
    }
    Release(urb);
}

void UsbfsDevice::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
        if (it->client == client && it->urb->client_addr == address) {
            ++counters_.discards;
            Finish(*it, -ENOENT, 0);
            inFlight_.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

} // namespace sim::umock
