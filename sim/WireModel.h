// Full-speed USB timing for the simulated bus: 1 ms frames that carry at most
// 19 bulk packets of 64 bytes between them, over every pipe of every writer
// on the bus. A transfer completes at the end of the frame that carried its
// last packet; the host needs a turnaround after a completion before its next
// transfer starts, and a writer stays busy for the programming time of the
// OTP step it was just given. Replies do not change: only time passes.
//
// The model keeps its own timeline of wire milliseconds, which leaves out the
// host's own cost, and takes every step of it on the bus's clock as well: on
// a manual clock the run costs no real time, on the machine's clock it waits.
#pragma once

#include "port/Clock.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace sim {

struct WireSettings {
    bool on = false;
    // Wire time between a transfer's completion and the next one the host
    // starts (a synchronous open, transfer and close costs about a frame).
    uint32_t turnaroundMs = 1;
    // Per chip, for blank check, program, verify and the trims; chips in a
    // gang work side by side, so one chip's time is the step's.
    uint32_t programNsPerByte = 0;

    bool operator==(const WireSettings&) const = default;
};

// Reads "off", "on", or a comma-separated list of "turnaround-ms=N" and
// "program-ns-per-byte=N" (which switches the model on). False with the
// reason in `error` for anything else.
bool ParseWireSettings(const std::string& text, WireSettings& settings, std::string& error);
// The text ParseWireSettings reads back to the same settings.
std::string FormatWireSettings(const WireSettings& settings);

class WireModel {
public:
    static constexpr uint32_t kPacketsPerFrame = 19;
    static constexpr size_t kPacketBytes = 64;

    explicit WireModel(port::Clock& clock) : clock_(clock) {}

    void Configure(const WireSettings& settings);
    WireSettings Settings() const;
    bool On() const;

    // A transfer the host starts (not a stage the driver re-arms itself): it
    // cannot begin before the turnaround after the last completion.
    void HostStarts();
    // Carries a transfer of `bytes` (a zero-length or failed one still takes a
    // packet) to or from writer `member`, waiting first until that writer is
    // ready. `programBytes` is the OTP reach of the step the transfer gave
    // the writer (0 for none): it keeps the writer busy after completion.
    // Sleeps the bus clock for the wire time that passes.
    void Carry(uint32_t member, size_t bytes, size_t programBytes);

    // Wire milliseconds since the bus started.
    uint64_t NowMs() const;

private:
    port::Clock& clock_;
    mutable std::mutex mutex_;
    WireSettings settings_;
    // settings_.on, read without the lock by every transfer while the model is off.
    std::atomic<bool> on_{false};
    uint64_t now_ = 0;       // end of the last completion (wire ms)
    uint64_t hostReady_ = 0; // earliest start of the host's next transfer
    std::map<uint32_t, uint64_t> writerReady_;
};

} // namespace sim
