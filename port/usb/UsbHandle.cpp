// Handles of the "usb" backend: bulk transfers on a pipe and the writer
// driver's device-control requests, each an asynchronous libusb transfer that
// the backend's event thread completes while the caller waits for it.
#include "port/usb/UsbCore.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <vector>

namespace port {
namespace {

constexpr uint8_t kVendorDeviceRequest = 0x40;
constexpr uint8_t kRequestTypeBits = 0x1F;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint16_t kConfigurationDescriptor = 0x0200;
constexpr size_t kConfigurationHeader = 9;

// Counts transfers handed to libusb. A transfer goes to the event thread
// through the kernel, which the thread sanitizer cannot see; this release and
// the callback's acquire show it the hand-over of what the caller filled in.
std::atomic<uint64_t> handedOver{0};

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
    handedOver.load(std::memory_order_acquire);
    auto* completion = static_cast<Completion*>(transfer->user_data);
    std::lock_guard<std::mutex> hold(completion->mutex);
    completion->finished = true;
    completion->done.notify_all();
}

uint32_t Le32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t(bytes[3]) << 24);
}

uint16_t Le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

class UsbHandle : public DeviceHandle {
public:
    UsbHandle(std::shared_ptr<UsbDeviceIo::Core> core, std::shared_ptr<UsbDevice> device, int pipe)
        : core_(std::move(core)), device_(std::move(device)), pipe_(pipe) {
        std::lock_guard<std::mutex> hold(device_->mutex);
        handle_ = device_->handle; // stays open while this handle counts as a user
    }
    ~UsbHandle() override { core_->Leave(*device_); }

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        return Bulk(true, buffer, size, timeoutMs, transferred);
    }
    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        // libusb never writes into the buffer of an OUT transfer.
        return Bulk(false, const_cast<uint8_t*>(buffer), size, timeoutMs, transferred);
    }

    void Cancel() override {
        std::lock_guard<std::mutex> hold(transferLock_);
        cancelWanted_ = true;
        if (current_ && submitted_)
            libusb_cancel_transfer(current_);
    }

    Outcome Control(uint32_t code, const uint8_t* input, size_t inputSize, uint8_t* output,
                    size_t outputSize, uint32_t timeoutMs, size_t& returned) override;

private:
    Outcome Bulk(bool in, uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred);
    Outcome Vendor(bool in, const uint8_t* input, size_t inputSize, uint8_t* output,
                   size_t outputSize, uint32_t timeoutMs, size_t& returned);
    Outcome ConfigDescriptor(uint8_t* output, size_t outputSize, uint32_t timeoutMs,
                             size_t& returned);
    // A control request whose data follows the 8-byte setup in `buffer`.
    Outcome ControlRequest(std::vector<uint8_t>& buffer, uint32_t timeoutMs, size_t& moved);
    // Submits `transfer`, waits for it and frees it: its status and length.
    int Run(libusb_transfer* transfer, Completion& completion, size_t& moved);
    Outcome ClearHaltAfter(int status);

    std::shared_ptr<UsbDeviceIo::Core> core_;
    std::shared_ptr<UsbDevice> device_;
    const int pipe_;
    libusb_device_handle* handle_ = nullptr;

    std::mutex transferLock_;
    libusb_transfer* current_ = nullptr;
    bool submitted_ = false;
    bool cancelWanted_ = false;
};

int UsbHandle::Run(libusb_transfer* transfer, Completion& completion, size_t& moved) {
    moved = 0;
    {
        std::lock_guard<std::mutex> hold(transferLock_);
        current_ = transfer;
        submitted_ = false;
        cancelWanted_ = false;
    }
    handedOver.fetch_add(1, std::memory_order_release);
    const int submitted = libusb_submit_transfer(transfer);
    {
        std::lock_guard<std::mutex> hold(transferLock_);
        submitted_ = submitted == 0;
        if (submitted_ && cancelWanted_)
            libusb_cancel_transfer(transfer);
    }
    int status;
    if (submitted != 0) {
        status =
            submitted == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR;
    } else {
        std::unique_lock<std::mutex> wait(completion.mutex);
        completion.done.wait(wait, [&] { return completion.finished; });
        status = transfer->status;
        moved = static_cast<size_t>(std::max(transfer->actual_length, 0));
    }
    {
        std::lock_guard<std::mutex> hold(transferLock_);
        current_ = nullptr;
        submitted_ = false;
    }
    libusb_free_transfer(transfer);
    return status;
}

DeviceHandle::Outcome UsbHandle::ClearHaltAfter(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT:
        return Outcome::TimedOut;
    case LIBUSB_TRANSFER_STALL:
    case LIBUSB_TRANSFER_ERROR:
        // The writer's driver resets the pipe after a failed transfer, so the
        // next transfer finds it working.
        libusb_clear_halt(handle_, device_->endpoints[static_cast<size_t>(pipe_)].address);
        return Outcome::Failed;
    default:
        return Outcome::Failed;
    }
}

DeviceHandle::Outcome UsbHandle::Bulk(bool in, uint8_t* buffer, size_t size, uint32_t timeoutMs,
                                      size_t& transferred) {
    transferred = 0;
    if (pipe_ < 0)
        return Outcome::Failed; // no transfers on the device itself
    const UsbEndpoint endpoint = device_->endpoints[static_cast<size_t>(pipe_)];
    const bool endpointIn = (endpoint.address & LIBUSB_ENDPOINT_IN) != 0;
    if (!endpoint.bulk || endpointIn != in || size > INT_MAX)
        return Outcome::Failed;
    if (size == 0)
        return Outcome::Done; // nothing to carry: the device is not asked
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer)
        return Outcome::Failed;
    Completion completion;
    libusb_fill_bulk_transfer(transfer, handle_, endpoint.address, buffer, static_cast<int>(size),
                              OnTransferDone, &completion, timeoutMs);
    size_t moved = 0;
    const int status = Run(transfer, completion, moved);
    if (status != LIBUSB_TRANSFER_COMPLETED)
        return ClearHaltAfter(status);
    transferred = std::min(moved, size);
    return Outcome::Done;
}

DeviceHandle::Outcome UsbHandle::ControlRequest(std::vector<uint8_t>& buffer, uint32_t timeoutMs,
                                                size_t& moved) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer)
        return Outcome::Failed;
    Completion completion;
    libusb_fill_control_transfer(transfer, handle_, buffer.data(), OnTransferDone, &completion,
                                 timeoutMs);
    const int status = Run(transfer, completion, moved);
    if (status == LIBUSB_TRANSFER_TIMED_OUT)
        return Outcome::TimedOut;
    // A stalled control request clears itself with the next setup packet.
    return status == LIBUSB_TRANSFER_COMPLETED ? Outcome::Done : Outcome::Failed;
}

DeviceHandle::Outcome UsbHandle::Vendor(bool in, const uint8_t* input, size_t inputSize,
                                        uint8_t* output, size_t outputSize, uint32_t timeoutMs,
                                        size_t& returned) {
    if (!input || inputSize < kVendorMinimumBlock || (in && outputSize < kVendorMinimumBlock))
        return Outcome::Failed;
    const uint32_t length = Le32(input + 12);
    // The data must lie inside the block and fit one control transfer.
    if (length > inputSize - kVendorHeaderBytes || length > 0xFFFF)
        return Outcome::Failed;
    std::vector<uint8_t> block(std::max(inputSize, outputSize));
    std::memcpy(block.data(), input, inputSize);
    std::vector<uint8_t> request(LIBUSB_CONTROL_SETUP_SIZE + length);
    const auto type = static_cast<uint8_t>((in ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT) |
                                           kVendorDeviceRequest | (block[0] & kRequestTypeBits));
    libusb_fill_control_setup(request.data(), type, block[1], Le16(&block[4]), Le16(&block[8]),
                              static_cast<uint16_t>(length));
    if (!in && length)
        std::memcpy(request.data() + LIBUSB_CONTROL_SETUP_SIZE, &block[kVendorHeaderBytes], length);
    size_t moved = 0;
    const Outcome outcome = ControlRequest(request, timeoutMs, moved);
    if (outcome != Outcome::Done)
        return outcome;
    if (in)
        std::memcpy(&block[kVendorHeaderBytes], request.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    std::min<size_t>(moved, length));
    returned = std::min(outputSize, kVendorReportedBytes);
    if (returned)
        std::memcpy(output, block.data(), returned);
    return Outcome::Done;
}

DeviceHandle::Outcome UsbHandle::ConfigDescriptor(uint8_t* output, size_t outputSize,
                                                  uint32_t timeoutMs, size_t& returned) {
    auto ask = [&](uint16_t length, std::vector<uint8_t>& request, size_t& moved) {
        request.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
        libusb_fill_control_setup(request.data(), LIBUSB_ENDPOINT_IN, kGetDescriptor,
                                  kConfigurationDescriptor, 0, length);
        return ControlRequest(request, timeoutMs, moved);
    };
    std::vector<uint8_t> request;
    size_t moved = 0;
    Outcome outcome = ask(kConfigurationHeader, request, moved);
    if (outcome != Outcome::Done || moved < 4)
        return outcome == Outcome::Done ? Outcome::Failed : outcome;
    const uint16_t total = Le16(request.data() + LIBUSB_CONTROL_SETUP_SIZE + 2);
    if (!output || outputSize < total)
        return Outcome::Failed; // the caller's buffer cannot take it
    outcome = ask(total, request, moved);
    if (outcome != Outcome::Done || moved != total)
        return outcome == Outcome::Done ? Outcome::Failed : outcome;
    std::memcpy(output, request.data() + LIBUSB_CONTROL_SETUP_SIZE, total);
    returned = total;
    return Outcome::Done;
}

DeviceHandle::Outcome UsbHandle::Control(uint32_t code, const uint8_t* input, size_t inputSize,
                                         uint8_t* output, size_t outputSize, uint32_t timeoutMs,
                                         size_t& returned) {
    returned = 0;
    switch (code) {
    case kControlVendorOut:
    case kControlVendorIn:
        return Vendor(code == kControlVendorIn, input, inputSize, output, outputSize, timeoutMs,
                      returned);
    case kControlResetPipe:
        if (pipe_ < 0)
            return Outcome::Failed;
        return libusb_clear_halt(handle_, device_->endpoints[static_cast<size_t>(pipe_)].address) ==
                       0
                   ? Outcome::Done
                   : Outcome::Failed;
    case kControlGetConfigDescriptor:
        return ConfigDescriptor(output, outputSize, timeoutMs, returned);
    case kControlResetDevice: {
        // The driver resets only a port that is connected but not enabled; a
        // device present to libusb is both.
        std::lock_guard<std::mutex> hold(core_->lock);
        return device_->present ? Outcome::Done : Outcome::Failed;
    }
    default:
        return Outcome::Failed;
    }
}

} // namespace

std::unique_ptr<DeviceHandle> MakeUsbHandle(std::shared_ptr<UsbDeviceIo::Core> core,
                                            std::shared_ptr<UsbDevice> device, int pipe) {
    return std::make_unique<UsbHandle>(std::move(core), std::move(device), pipe);
}

} // namespace port
