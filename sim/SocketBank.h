// The writer's sockets at work: runs each socket operation on the sockets of
// a mask, applies injected failures and operation times, and sets the state
// each socket then reports.
#pragma once

#include "port/Clock.h"
#include "sim/FaultPlan.h"
#include "sim/WriterState.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

class SocketBank {
public:
    SocketBank(WriterState& state, FaultPlan& faults, port::Clock& clock, const Timings& timings)
        : state_(state), faults_(faults), clock_(clock), timings_(timings) {}

    // OTP commands: addresses 0..endAddress of each enabled socket's chip, in
    // the body's address units (sim/BodyCodes.h). Program and verify take the
    // chip image from the socket's buffer, its check bytes verified; a body
    // code the firmware does not know fails them all.
    void BlankCheckOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode);
    void ProgramOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode);
    void VerifyOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode);
    void Trim(Operation which, uint16_t mask, uint32_t endAddress, uint8_t bodyCode);
    // The chip bytes of addresses 0..endAddress of one chip: the lowest
    // socket of `mask` holding a chip, else the lowest socket holding one.
    // Empty when no socket holds a chip or the chosen socket fails.
    std::optional<std::vector<uint8_t>> ReadOtp(uint16_t mask, uint32_t endAddress,
                                                uint8_t bodyCode);

    // Writer-buffer commands.
    void EraseBuffers(uint16_t mask);
    void BlankCheckBuffers(uint16_t mask, uint32_t size);
    void BeginLoad(uint16_t mask, uint32_t length);
    void LoadData(uint32_t offset, const uint8_t* data, size_t length);
    void FinishLoad();
    // The data stopped coming: every socket of the load fails.
    void AbortLoad();
    // The byte sum of the first `size` bytes, the body's record window
    // counted as 0xFF, against `checkSum`.
    void VerifyBuffers(uint16_t mask, uint32_t size, uint32_t checkSum, uint8_t bodyCode);

    // Sockets holding a chip become OK, empty ones Init.
    void Scan();
    // Socket i takes states[i] when that is a valid state (0..3).
    void SetStates(const uint8_t* states);
    // The 64-byte status reply: socket i (0..7) at byte 2i, socket i+8 at 2i+1.
    void StatusReply(uint8_t* reply) const;
    SocketState Reported(int socket) const;

private:
    void Finish(int socket, bool ok, uint32_t durationMs);
    template <class Step> void ForEach(uint16_t mask, Operation op, uint32_t durationMs, Step step);
    template <class Step>
    void WithChipImages(uint16_t mask, Operation op, uint32_t endAddress, uint8_t bodyCode,
                        Step step);

    WriterState& state_;
    FaultPlan& faults_;
    port::Clock& clock_;
    const Timings& timings_;
    uint16_t loadMask_ = 0;
    uint16_t loadFailed_ = 0;
    uint32_t loadLength_ = 0;
};

} // namespace sim
