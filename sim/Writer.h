// One simulated gang writer on the bus: its identity, its state, its fault
// plan and the controller firmware, behind the two pipes. Every member is
// safe to call from any thread; transfers on one writer run one at a time.
#pragma once

#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "sim/Controller.h"
#include "sim/FaultPlan.h"
#include "sim/WriterState.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sim {

// What the bus learns of each transfer (for the capture).
struct TransferRecord {
    uint32_t member = 0;
    bool in = false;               // a read on the IN pipe
    size_t requested = 0;          // bytes asked for (read) or offered (write)
    const uint8_t* data = nullptr; // bytes written, or bytes delivered by a read
    size_t transferred = 0;
    port::DeviceHandle::Outcome outcome = port::DeviceHandle::Outcome::Done;
    uint64_t timeMs = 0;
};

class Writer {
public:
    using Outcome = port::DeviceHandle::Outcome;
    struct Transfer {
        Outcome outcome = Outcome::Failed;
        size_t transferred = 0;
        // Submit only: the transfer waits for its time limit (or without one);
        // the caller keeps it until the host gives up. `outcome` is what the
        // host will see then.
        bool pending = false;
    };
    struct Hooks {
        std::function<void(Writer&)> removedByFault; // the writer pulled itself off the bus
        std::function<void(Writer&)> changed;        // kept state changed
        std::function<void(const TransferRecord&)> transfer;
        // The transfer's time on the wire, taken before it is recorded:
        // the bytes that moved and the OTP reach of a step it started.
        std::function<void(Writer&, size_t bytes, size_t stepBytes)> wire;
    };

    // `busIdentity` goes into the instance part of a path made from the member,
    // so writers of unrelated buses never share a path (nor a claim on it).
    Writer(WriterConfig config, port::Clock& clock, uint32_t busIdentity = 0x2c1f5a0);
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    const WriterConfig& Config() const { return config_; }
    uint32_t Member() const { return config_.member; }
    // \\?\usb#vid_xxxx&pid_yyyy#instance#{class}, all lower case.
    const std::string& InterfacePath() const { return path_; }
    bool Plugged() const;

    // Sockets and chips. Socket numbers outside 0..15 are ignored.
    void InsertChip(int socket, size_t size = 0);
    void InsertChip(int socket, const Chip& chip);
    void RemoveChip(int socket);
    // A new blank chip in every socket, as one change (one save of a kept bus).
    void FreshChips();
    bool HasChip(int socket) const;
    std::optional<Chip> ChipAt(int socket) const;
    // The state the status reply gives for the socket now.
    SocketState StateOf(int socket) const;
    std::vector<uint8_t> BufferOf(int socket) const;

    std::optional<std::array<uint8_t, kInfoBlockSize>> Information() const;
    // Stores a block as set information would (empty: nothing stored, 0xAA read).
    void SetInformation(const std::optional<std::array<uint8_t, kInfoBlockSize>>& block);
    uint8_t OtpInformationVariant() const;
    uint16_t PassCount() const;
    uint16_t FailCount() const;
    uint16_t LastMask() const;
    FirmwareModel Firmware() const;
    void SetFirmware(const FirmwareModel& firmware);
    bool InBootLoader() const;

    // Faults and timings.
    void AddTransportFault(const TransportFault& fault);
    void SetRandomTransportFaults(uint32_t seed, uint32_t perMille,
                                  std::vector<TransportFaultKind> kinds);
    void FailSocket(int socket, Operation op, uint32_t times = 0);
    void SetRandomSocketFailures(uint32_t seed, uint32_t perMille);
    void ClearFaults();
    void SetTimings(const Timings& timings);
    // Transfers that reached this writer so far (the number of the last one).
    uint64_t TransferCount() const;
    // Transfers a planned or random transport fault has hit so far.
    uint64_t TransportFaultsHit() const;
    // Transfers waiting now for their limit, or without one until cancelled
    // or unplugged, so a test can act once one hangs.
    int WaitingTransfers() const;

    // The whole kept state, for the state file.
    WriterState Snapshot() const;
    void Restore(const WriterState& state);

    // Backend side. `generation` is Generation() when the handle was opened:
    // a handle from before an unplug fails every transfer.
    uint64_t Generation() const;
    Transfer Write(uint64_t generation, const uint8_t* data, size_t size, uint32_t timeoutMs,
                   const std::atomic<bool>& cancel);
    Transfer Read(uint64_t generation, uint8_t* data, size_t size, uint32_t timeoutMs,
                  const std::atomic<bool>& cancel);
    // For a bus that keeps waiting transfers itself and must not block: a
    // transfer that would wait out its limit, or wait without one, returns at
    // once with `pending` set and moves nothing. A latency shorter than the
    // limit is still taken on the clock. `in` selects Read, else Write.
    Transfer Submit(bool in, uint64_t generation, uint8_t* readData, const uint8_t* writeData,
                    size_t size, uint32_t timeoutMs);
    // Wakes transfers that wait without limit so they see a cancel.
    void WakeWaiters();

    // Bus side: removal ends every handle; arrival powers the writer up.
    void SetPlugged(bool plugged);
    void SetHooks(Hooks hooks);

private:
    Transfer Run(bool in, uint64_t generation, uint8_t* readData, const uint8_t* writeData,
                 size_t size, uint32_t timeoutMs, const std::atomic<bool>* cancel);
    Transfer Stuck(std::unique_lock<std::mutex>& lock, uint64_t generation, uint32_t timeoutMs,
                   const std::atomic<bool>& cancel);
    void Unplug(std::unique_lock<std::mutex>& lock);

    void NotifyChanged();

    const WriterConfig config_;
    const std::string path_;
    port::Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    WriterState state_;
    FaultPlan faults_;
    Timings timings_;
    Controller controller_;
    // Written under mutex_; read without it by the per-transfer checks.
    std::atomic<bool> plugged_{true};
    std::atomic<uint64_t> generation_{1};
    uint64_t transfers_ = 0;
    uint64_t faultsHit_ = 0;
    int waiting_ = 0;
    std::shared_ptr<const Hooks> hooks_ = std::make_shared<Hooks>();
};

} // namespace sim
