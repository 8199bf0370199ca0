#include "sim/SocketBank.h"

#include "sim/BodyCodes.h"

#include <deque>
#include <optional>

namespace sim {

void SocketBank::Finish(int socket, bool ok, uint32_t durationMs) {
    SocketModel& s = state_.sockets[socket];
    s.state = ok ? SocketState::Ok : SocketState::Fail;
    s.busyUntilMs = durationMs ? clock_.NowMs() + durationMs : 0;
}

template <class Step>
void SocketBank::ForEach(uint16_t mask, Operation op, uint32_t durationMs, Step step) {
    for (int i = 0; i < kSocketCount; ++i) {
        if (!(mask & (1u << i)))
            continue;
        // The step runs even when a fault is planned, so a failing socket
        // still leaves its chip as the operation left it.
        bool ok = step(state_.sockets[i]);
        if (faults_.SocketFails(i, op))
            ok = false;
        Finish(i, ok, durationMs);
    }
}

namespace {

// The chip images one command takes from the sockets' buffers: sockets
// loaded together share their buffer and have it stripped once.
class ChipImages {
public:
    struct Image {
        const WriterBuffer* buffer = nullptr;
        bool good = false; // every check byte reached was right
        std::vector<uint8_t> bytes;
    };

    ChipImages(const BodyCode& body, size_t chipBytes) : body_(body), chipBytes_(chipBytes) {}

    const Image& Of(const WriterBuffer& buffer) {
        for (const Image& image : images_)
            if (image.buffer->SameBytesAs(buffer))
                return image;
        Image& image = images_.emplace_back();
        image.buffer = &buffer;
        image.good = buffer.ChipImage(chipBytes_, body_.group, image.bytes);
        return image;
    }

private:
    const BodyCode& body_;
    size_t chipBytes_;
    // Images keep their place: chips' shared steps are keyed by them.
    std::deque<Image> images_;
};

// Chips that held one array before a step and take it with the same input
// end with the same array: the step runs on the first of them and the others
// share its result, so a gang of chips programmed together holds one copy.
class SharedSteps {
public:
    template <class Step> bool Run(Chip& chip, const void* input, Step step) {
        const void* before = chip.ContentsId();
        for (const Done& done : done_)
            if (done.before == before && done.fixed == chip.Fixed() && done.input == input) {
                chip.ShareContentsOf(*done.chip);
                return done.ok;
            }
        const bool ok = step(chip);
        done_.push_back({before, chip.Fixed(), input, &chip, ok});
        return ok;
    }

private:
    // A chip that changed its array in place held it alone, so no later chip
    // of the command can name the same array as it did before.
    struct Done {
        const void* before;
        bool fixed;
        const void* input;
        const Chip* chip;
        bool ok;
    };
    std::vector<Done> done_;
};

// The chip bytes a command of a known body reaches; 0 when the firmware does
// not know the body or the reach is beyond any chip.
size_t ChipReach(const BodyCode* body, uint32_t endAddress) {
    if (!body)
        return 0;
    const size_t bytes = body->ChipBytes(endAddress);
    return bytes <= kMaxChipSize ? bytes : 0;
}

} // namespace

void SocketBank::BlankCheckOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode) {
    const size_t bytes = ChipReach(FindBodyCode(bodyCode), endAddress);
    SharedSteps steps;
    ForEach(mask, Operation::BlankCheck, timings_.otpOperationMs, [&](SocketModel& s) {
        if (!s.chip)
            return false;
        s.chip->SetLastBodyCode(bodyCode);
        return bytes &&
               steps.Run(*s.chip, nullptr, [bytes](Chip& chip) { return chip.BlankCheck(bytes); });
    });
}

// Program and Verify: each socket's chip takes the chip image of its own
// buffer. A buffer whose check bytes are wrong fails its socket before a bit
// is burnt: the chip cannot be erased.
template <class Step>
void SocketBank::WithChipImages(uint16_t mask, Operation op, uint32_t endAddress, uint8_t bodyCode,
                                Step step) {
    const BodyCode* body = FindBodyCode(bodyCode);
    const size_t bytes = ChipReach(body, endAddress);
    std::optional<ChipImages> images;
    if (bytes)
        images.emplace(*body, bytes);
    SharedSteps steps;
    ForEach(mask, op, timings_.otpOperationMs, [&](SocketModel& s) {
        if (!s.chip)
            return false;
        s.chip->SetLastBodyCode(bodyCode);
        if (!images)
            return false;
        const ChipImages::Image& image = images->Of(s.buffer);
        return image.good &&
               steps.Run(*s.chip, &image, [&](Chip& chip) { return step(chip, image.bytes); });
    });
}

void SocketBank::ProgramOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode) {
    WithChipImages(mask, Operation::Program, endAddress, bodyCode,
                   [](Chip& chip, std::span<const uint8_t> image) { return chip.Program(image); });
}

void SocketBank::VerifyOtp(uint16_t mask, uint32_t endAddress, uint8_t bodyCode) {
    WithChipImages(mask, Operation::Verify, endAddress, bodyCode,
                   [](Chip& chip, std::span<const uint8_t> image) { return chip.Verify(image); });
}

void SocketBank::Trim(Operation which, uint16_t mask, uint32_t endAddress, uint8_t bodyCode) {
    const size_t bytes = ChipReach(FindBodyCode(bodyCode), endAddress);
    SharedSteps steps;
    ForEach(mask, which, timings_.otpOperationMs, [&](SocketModel& s) {
        if (!s.chip)
            return false;
        s.chip->SetLastBodyCode(bodyCode);
        // The array grows once for chips that share it; each chip counts its trim.
        return bytes &&
               steps.Run(*s.chip, nullptr, [bytes](Chip& chip) { return chip.Reach(bytes); }) &&
               s.chip->Trim(which, bytes);
    });
}

std::optional<std::vector<uint8_t>> SocketBank::ReadOtp(uint16_t mask, uint32_t endAddress,
                                                        uint8_t bodyCode) {
    int chosen = -1;
    for (int pass = 0; pass < 2 && chosen < 0; ++pass)
        for (int i = 0; i < kSocketCount && chosen < 0; ++i)
            if (state_.sockets[i].chip && (pass == 1 || (mask & (1u << i))))
                chosen = i;
    if (chosen < 0)
        return std::nullopt;
    Chip& chip = *state_.sockets[chosen].chip;
    chip.SetLastBodyCode(bodyCode);
    const size_t bytes = ChipReach(FindBodyCode(bodyCode), endAddress);
    const bool ok = bytes && chip.Reach(bytes) && !faults_.SocketFails(chosen, Operation::ReadOtp);
    Finish(chosen, ok, timings_.otpOperationMs);
    if (!ok)
        return std::nullopt;
    return std::vector<uint8_t>(chip.Contents().begin(), chip.Contents().begin() + long(bytes));
}

void SocketBank::EraseBuffers(uint16_t mask) {
    ForEach(mask, Operation::EraseBuffer, timings_.bufferOperationMs, [](SocketModel& s) {
        s.buffer.Erase();
        return true;
    });
}

void SocketBank::BlankCheckBuffers(uint16_t mask, uint32_t size) {
    ForEach(mask, Operation::BlankCheckBuffer, timings_.bufferOperationMs,
            [&](SocketModel& s) { return s.buffer.BlankCheck(size); });
}

void SocketBank::BeginLoad(uint16_t mask, uint32_t length) {
    loadMask_ = mask;
    loadFailed_ = 0;
    loadLength_ = length;
    for (int i = 0; i < kSocketCount; ++i) {
        if (!(mask & (1u << i)))
            continue;
        if (length > kBufferCapacity || faults_.SocketFails(i, Operation::LoadBuffer))
            loadFailed_ |= uint16_t(1u << i);
        // Busy until the data is in.
        state_.sockets[i].state = SocketState::Busy;
    }
}

void SocketBank::LoadData(uint32_t offset, const uint8_t* data, size_t length) {
    // Sockets of the load that hold the same bytes get the data once and go
    // on sharing the result.
    uint16_t pending = uint16_t(loadMask_ & ~loadFailed_);
    for (int i = 0; i < kSocketCount; ++i) {
        const uint16_t bit = uint16_t(1u << i);
        if (!(pending & bit))
            continue;
        WriterBuffer& first = state_.sockets[i].buffer;
        uint16_t group = bit;
        long holders = 1;
        for (int j = i + 1; j < kSocketCount; ++j)
            if ((pending & (1u << j)) && state_.sockets[j].buffer.SameBytesAs(first)) {
                group = uint16_t(group | (1u << j));
                ++holders;
            }
        pending = uint16_t(pending & ~group);
        if (!first.Load(offset, data, length, holders, loadLength_)) {
            loadFailed_ = uint16_t(loadFailed_ | group);
            continue;
        }
        for (int j = i + 1; j < kSocketCount; ++j)
            if (group & (1u << j))
                state_.sockets[j].buffer.ShareBytesOf(first);
    }
}

void SocketBank::FinishLoad() {
    for (int i = 0; i < kSocketCount; ++i)
        if (loadMask_ & (1u << i))
            Finish(i, !(loadFailed_ & (1u << i)), timings_.bufferOperationMs);
    loadMask_ = 0;
}

void SocketBank::AbortLoad() {
    loadFailed_ = loadMask_;
    FinishLoad();
}

void SocketBank::VerifyBuffers(uint16_t mask, uint32_t size, uint32_t checkSum, uint8_t bodyCode) {
    const RecordWindow window = RecordWindowOf(bodyCode);
    ForEach(mask, Operation::VerifyBuffer, timings_.bufferOperationMs, [&](SocketModel& s) {
        return size <= kBufferCapacity &&
               s.buffer.ByteSum(size, window.start, window.end) == checkSum;
    });
}

void SocketBank::Scan() {
    for (int i = 0; i < kSocketCount; ++i) {
        SocketModel& s = state_.sockets[i];
        s.state = s.chip ? SocketState::Ok : SocketState::Init;
        s.busyUntilMs = timings_.scanMs ? clock_.NowMs() + timings_.scanMs : 0;
    }
}

void SocketBank::SetStates(const uint8_t* states) {
    for (int i = 0; i < kSocketCount; ++i)
        if (states[i] <= uint8_t(SocketState::Fail)) {
            state_.sockets[i].state = SocketState(states[i]);
            state_.sockets[i].busyUntilMs = 0;
        }
}

SocketState SocketBank::Reported(int socket) const {
    const SocketModel& s = state_.sockets[socket];
    if (s.busyUntilMs && clock_.NowMs() < s.busyUntilMs)
        return SocketState::Busy;
    return s.state;
}

void SocketBank::StatusReply(uint8_t* reply) const {
    for (size_t i = 0; i < kPacketSize; ++i)
        reply[i] = 0;
    for (int i = 0; i < 8; ++i) {
        reply[2 * i] = uint8_t(Reported(i));
        reply[2 * i + 1] = uint8_t(Reported(i + 8));
    }
}

} // namespace sim
