#include "sim/Writer.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

bool ValidSocket(int socket) {
    return socket >= 0 && socket < kSocketCount;
}

std::string MakePath(const WriterConfig& config, uint32_t busIdentity) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", config.vendorId,
                  config.productId);
    std::string instance = config.instance;
    if (instance.empty()) {
        char made[32];
        std::snprintf(made, sizeof made, "7&%x&0&%u", busIdentity, config.member + 1);
        instance = made;
    }
    std::string path = std::string(head) + instance + "#" + port::kWriterInterfaceClass;
    for (auto& c : path)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return path;
}

} // namespace

Writer::Writer(WriterConfig config, port::Clock& clock, uint32_t busIdentity)
    : config_(std::move(config)), path_(MakePath(config_, busIdentity)), clock_(clock),
      controller_(state_, config_, faults_, clock_, timings_) {
    state_.firmware = FactoryFirmware();
}

bool Writer::Plugged() const {
    return plugged_;
}

void Writer::InsertChip(int socket, size_t size) {
    InsertChip(socket, Chip(size));
}

void Writer::InsertChip(int socket, const Chip& chip) {
    if (!ValidSocket(socket))
        return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        state_.sockets[socket].chip = chip;
    }
    NotifyChanged();
}

void Writer::NotifyChanged() {
    std::shared_ptr<const Hooks> hooks;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        hooks = hooks_;
    }
    if (hooks->changed)
        hooks->changed(*this);
}

void Writer::RemoveChip(int socket) {
    if (!ValidSocket(socket))
        return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        state_.sockets[socket].chip.reset();
    }
    NotifyChanged();
}

void Writer::FreshChips() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& socket : state_.sockets)
            socket.chip = Chip(0);
    }
    NotifyChanged();
}

bool Writer::HasChip(int socket) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return ValidSocket(socket) && state_.sockets[socket].chip.has_value();
}

std::optional<Chip> Writer::ChipAt(int socket) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ValidSocket(socket))
        return std::nullopt;
    return state_.sockets[socket].chip;
}

SocketState Writer::StateOf(int socket) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ValidSocket(socket))
        return SocketState::Init;
    const SocketModel& s = state_.sockets[socket];
    if (s.busyUntilMs && clock_.NowMs() < s.busyUntilMs)
        return SocketState::Busy;
    return s.state;
}

std::vector<uint8_t> Writer::BufferOf(int socket) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ValidSocket(socket))
        return {};
    return state_.sockets[socket].buffer.Bytes();
}

std::optional<std::array<uint8_t, kInfoBlockSize>> Writer::Information() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.info;
}

void Writer::SetInformation(const std::optional<std::array<uint8_t, kInfoBlockSize>>& block) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        state_.info = block;
    }
    NotifyChanged();
}

uint8_t Writer::OtpInformationVariant() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.otpInfoVariant;
}

uint16_t Writer::PassCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.passCount;
}

uint16_t Writer::FailCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.failCount;
}

uint16_t Writer::LastMask() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.mask;
}

FirmwareModel Writer::Firmware() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.firmware;
}

void Writer::SetFirmware(const FirmwareModel& firmware) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        state_.firmware = firmware;
    }
    NotifyChanged();
}

bool Writer::InBootLoader() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.firmware.inBootLoader;
}

void Writer::AddTransportFault(const TransportFault& fault) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.AddTransportFault(fault);
}

void Writer::SetRandomTransportFaults(uint32_t seed, uint32_t perMille,
                                      std::vector<TransportFaultKind> kinds) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.SetRandomTransportFaults(seed, perMille, std::move(kinds));
}

void Writer::FailSocket(int socket, Operation op, uint32_t times) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.FailSocket(socket, op, times);
}

void Writer::SetRandomSocketFailures(uint32_t seed, uint32_t perMille) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.SetRandomSocketFailures(seed, perMille);
}

void Writer::ClearFaults() {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.Clear();
}

void Writer::SetTimings(const Timings& timings) {
    std::lock_guard<std::mutex> guard(mutex_);
    timings_ = timings;
}

uint64_t Writer::TransferCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return transfers_;
}

uint64_t Writer::TransportFaultsHit() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return faultsHit_;
}

int Writer::WaitingTransfers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_;
}

WriterState Writer::Snapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_;
}

void Writer::Restore(const WriterState& state) {
    std::lock_guard<std::mutex> guard(mutex_);
    state_ = state;
    controller_.PowerCycle();
}

uint64_t Writer::Generation() const {
    return generation_;
}

void Writer::SetHooks(Hooks hooks) {
    std::lock_guard<std::mutex> guard(mutex_);
    hooks_ = std::make_shared<const Hooks>(std::move(hooks));
}

void Writer::WakeWaiters() {
    std::lock_guard<std::mutex> guard(mutex_);
    wake_.notify_all();
}

void Writer::SetPlugged(bool plugged) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (plugged == plugged_)
        return;
    plugged_ = plugged;
    if (plugged) {
        controller_.PowerCycle();
    } else {
        ++generation_;
        wake_.notify_all();
    }
}

void Writer::Unplug(std::unique_lock<std::mutex>& lock) {
    plugged_ = false;
    ++generation_;
    wake_.notify_all();
    const auto hooks = hooks_;
    lock.unlock();
    if (hooks->removedByFault)
        hooks->removedByFault(*this);
}

Writer::Transfer Writer::Stuck(std::unique_lock<std::mutex>& lock, uint64_t generation,
                               uint32_t timeoutMs, const std::atomic<bool>& cancel) {
    ++waiting_;
    if (timeoutMs == 0) {
        // No limit: the transfer hangs until it is cancelled or the writer goes.
        wake_.wait(lock, [&] { return cancel.load() || generation != generation_; });
        --waiting_;
        return {Outcome::Failed, 0};
    }
    lock.unlock();
    clock_.SleepMs(timeoutMs);
    lock.lock();
    --waiting_;
    return {Outcome::TimedOut, 0};
}

Writer::Transfer Writer::Write(uint64_t generation, const uint8_t* data, size_t size,
                               uint32_t timeoutMs, const std::atomic<bool>& cancel) {
    return Run(false, generation, nullptr, data, size, timeoutMs, &cancel);
}

Writer::Transfer Writer::Read(uint64_t generation, uint8_t* data, size_t size, uint32_t timeoutMs,
                              const std::atomic<bool>& cancel) {
    return Run(true, generation, data, nullptr, size, timeoutMs, &cancel);
}

Writer::Transfer Writer::Submit(bool in, uint64_t generation, uint8_t* readData,
                                const uint8_t* writeData, size_t size, uint32_t timeoutMs) {
    return Run(in, generation, readData, writeData, size, timeoutMs, nullptr);
}

Writer::Transfer Writer::Run(bool in, uint64_t generation, uint8_t* readData,
                             const uint8_t* writeData, size_t size, uint32_t timeoutMs,
                             const std::atomic<bool>* cancel) {
    // Without a cancel flag the caller keeps waiting transfers itself.
    const bool callerWaits = cancel == nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!plugged_ || generation != generation_)
        return {Outcome::Failed, 0};
    const uint32_t latency = timings_.transferMs;
    if (latency) {
        // The transfer takes its time on the bus; a limit shorter than that runs out.
        lock.unlock();
        const bool late = timeoutMs && latency >= timeoutMs;
        if (late && callerWaits)
            return {Outcome::TimedOut, 0, true};
        clock_.SleepMs(late ? timeoutMs : latency);
        lock.lock();
        if (late)
            return {Outcome::TimedOut, 0};
        if (!plugged_ || generation != generation_)
            return {Outcome::Failed, 0};
    }
    const uint64_t number = ++transfers_;
    const auto fault = faults_.ForTransfer(number, in ? Direction::Read : Direction::Write);
    if (fault)
        ++faultsHit_;
    Transfer result{Outcome::Done, 0};
    bool changed = false;
    if (fault && fault->kind == TransportFaultKind::Unplug) {
        result = {Outcome::Failed, 0};
    } else if (fault && (fault->kind == TransportFaultKind::ReadTimeout ||
                         fault->kind == TransportFaultKind::WriteTimeout)) {
        result = callerWaits ? Transfer{timeoutMs ? Outcome::TimedOut : Outcome::Failed, 0, true}
                             : Stuck(lock, generation, timeoutMs, *cancel);
    } else if (fault && (fault->kind == TransportFaultKind::ReadFails ||
                         fault->kind == TransportFaultKind::WriteFails)) {
        result = {Outcome::Failed, 0};
    } else if (in) {
        size_t delivered = 0;
        if (controller_.Answer(readData, size, delivered)) {
            if (fault && fault->kind == TransportFaultKind::ShortRead && delivered > 0)
                delivered = std::min(delivered, fault->shortBytes ? fault->shortBytes : size / 2);
            result = {Outcome::Done, delivered};
        } else {
            result = {Outcome::Failed, 0};
        }
    } else {
        controller_.Receive(writeData, size);
        result = {Outcome::Done, size};
    }
    changed = controller_.TakeChanged();
    const size_t stepBytes = controller_.TakeStepBytes();
    TransferRecord record;
    record.member = config_.member;
    record.in = in;
    record.requested = size;
    record.data = in ? readData : writeData;
    record.transferred = result.transferred;
    record.outcome = result.outcome;
    const auto hooks = hooks_;
    if (fault && fault->kind == TransportFaultKind::Unplug) {
        record.timeMs = clock_.NowMs();
        if (hooks->transfer)
            hooks->transfer(record);
        Unplug(lock);
        return result;
    }
    if (lock.owns_lock())
        lock.unlock();
    // A stalled or timed-out transfer still takes the frame of its handshake.
    if (hooks->wire && !result.pending)
        hooks->wire(*this, in ? result.transferred : size, stepBytes);
    record.timeMs = clock_.NowMs();
    if (hooks->transfer)
        hooks->transfer(record);
    if (changed && hooks->changed)
        hooks->changed(*this);
    return result;
}

} // namespace sim
