// The writer's controller firmware as the host sees it through the two bulk
// pipes: it takes the bytes written to the OUT pipe as 64-byte command
// packets (with the mask packets, data and blocks that follow some
// commands), and answers reads on the IN pipe with the reply of the last
// command. A read with nothing to answer stalls the pipe (the read fails).
#pragma once

#include "port/Clock.h"
#include "sim/FaultPlan.h"
#include "sim/Firmware.h"
#include "sim/SocketBank.h"
#include "sim/WriterState.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

class Controller {
public:
    Controller(WriterState& state, const WriterConfig& config, FaultPlan& faults,
               port::Clock& clock, const Timings& timings);

    // Bytes that arrived on the OUT pipe.
    void Receive(const uint8_t* data, size_t length);
    // A read of `size` bytes on the IN pipe: false stalls it; otherwise
    // `delivered` bytes (at most `size`) are in `buffer`.
    bool Answer(uint8_t* buffer, size_t size, size_t& delivered);
    // Power lost and back: whatever was half received is dropped, an update
    // in progress stays incomplete, and the firmware that is whole starts.
    void PowerCycle();
    // True once after a command changed what the state file keeps.
    bool TakeChanged();
    // Once after an OTP step (blank check, program, verify, trim) started on
    // some socket: the bytes it covers per chip; 0 otherwise.
    size_t TakeStepBytes();

private:
    enum class Expect { Command, Mask, LoadData, Block, Trailer, Update };
    enum class Reply { None, Bytes, Detection, OtpStream, AppAck };

    void Packet(const uint8_t* packet);
    void Command(const uint8_t* packet);
    void Masked(const uint8_t* packet, uint16_t mask);
    void SetReply(std::vector<uint8_t> bytes, Reply kind = Reply::Bytes);
    std::vector<uint8_t> VersionReply() const;

    WriterState& state_;
    const WriterConfig& config_;
    SocketBank sockets_;
    UpdateReceiver update_;

    Expect expect_ = Expect::Command;
    std::array<uint8_t, kPacketSize> pending_{}; // the command waiting for its mask
    uint32_t remaining_ = 0;                     // bytes still due for LoadData, Block or Trailer
    uint32_t loadOffset_ = 0;
    std::vector<uint8_t> block_;

    Reply reply_ = Reply::None;
    std::vector<uint8_t> replyBytes_;
    size_t replyPos_ = 0;
    bool changed_ = false;
    size_t stepBytes_ = 0;
};

} // namespace sim
