#include "tests/app/WriterGate.h"

namespace apptest {
namespace {

class GatedHandle : public port::DeviceHandle {
public:
    GatedHandle(std::unique_ptr<port::DeviceHandle> inner, std::shared_ptr<TransferGate> gate)
        : inner_(std::move(inner)), gate_(std::move(gate)) {}

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        gate_->Pass();
        return inner_->Read(buffer, size, timeoutMs, transferred);
    }
    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        gate_->Pass();
        return inner_->Write(buffer, size, timeoutMs, transferred);
    }
    void Cancel() override { inner_->Cancel(); }

private:
    std::unique_ptr<port::DeviceHandle> inner_;
    std::shared_ptr<TransferGate> gate_;
};

} // namespace

void TransferGate::Close() {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = false;
    allowance_ = 0;
}

void TransferGate::Open() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        open_ = true;
    }
    changed_.notify_all();
}

void TransferGate::Let(int transfers) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        allowance_ += transfers;
    }
    changed_.notify_all();
}

int TransferGate::Waiting() {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_;
}

int TransferGate::Allowance() {
    std::lock_guard<std::mutex> hold(lock_);
    return open_ ? 0 : allowance_;
}

bool TransferGate::Holding() {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_ > 0 && !open_ && allowance_ == 0;
}

bool TransferGate::IsOpen() {
    std::lock_guard<std::mutex> hold(lock_);
    return open_;
}

uint64_t TransferGate::Passed() {
    std::lock_guard<std::mutex> hold(lock_);
    return passed_;
}

std::thread::id TransferGate::Waiter() {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_ ? waiter_ : std::thread::id();
}

void TransferGate::Pass() {
    std::unique_lock<std::mutex> hold(lock_);
    ++waiting_;
    waiter_ = std::this_thread::get_id();
    changed_.wait(hold, [this] { return open_ || allowance_ > 0; });
    if (!open_)
        --allowance_;
    --waiting_;
    ++passed_;
}

GatedDeviceIo::GatedDeviceIo(std::unique_ptr<port::DeviceIo> inner,
                             std::shared_ptr<TransferGate> gate)
    : inner_(std::move(inner)), gate_(std::move(gate)) {}

bool GatedDeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                    std::string& path) {
    return inner_->InterfaceMember(interfaceClass, memberIndex, path);
}

std::unique_ptr<port::DeviceHandle> GatedDeviceIo::Open(const std::string& path) {
    auto handle = inner_->Open(path);
    if (!handle)
        return nullptr;
    return std::make_unique<GatedHandle>(std::move(handle), gate_);
}

void GatedDeviceIo::SetEventHandler(EventHandler handler) {
    inner_->SetEventHandler(std::move(handler));
}

} // namespace apptest
