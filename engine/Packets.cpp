#include "engine/Packets.h"

namespace engine {

const char* SocketStateText(uint8_t state) {
    switch (state) {
    case kSocketInit:
        return "Init";
    case kSocketOK:
        return "OK";
    case kSocketBusy:
        return "Busy";
    case kSocketFail:
        return "Fail";
    default:
        return "?";
    }
}

Packet CommandPacket(uint8_t code) {
    Packet packet{};
    packet[0] = code;
    return packet;
}

Packet AddressCommand(uint8_t code, uint32_t value, std::optional<uint8_t> byte5) {
    Packet packet = CommandPacket(code);
    PutLE32(&packet[1], value);
    if (byte5)
        packet[5] = *byte5;
    return packet;
}

Packet VerifyBufferCommand(uint32_t imageSize, uint32_t imageCheckSum, uint8_t fwBody) {
    Packet packet = CommandPacket(kCmdVerifyBuffer);
    PutLE32(&packet[1], imageSize);
    PutLE32(&packet[5], imageCheckSum);
    packet[9] = fwBody;
    return packet;
}

Packet SetCountersCommand(uint16_t passCount, uint16_t failCount) {
    Packet packet = CommandPacket(kCmdSetCounters);
    PutLE16(&packet[1], passCount);
    PutLE16(&packet[3], failCount);
    return packet;
}

Packet SocketStatesCommand(const std::array<uint8_t, kSocketCount>& states) {
    Packet packet = CommandPacket(kCmdSetSocketStates);
    for (size_t i = 0; i < kSocketCount; ++i)
        packet[1 + i] = states[i];
    return packet;
}

Packet SocketMaskPacket(uint16_t mask) {
    Packet packet{};
    PutLE16(&packet[0], mask);
    return packet;
}

std::array<uint8_t, kSocketCount> DecodeStatusReply(const Packet& reply) {
    std::array<uint8_t, kSocketCount> states{};
    for (size_t i = 0; i < 8; ++i) {
        states[i] = reply[2 * i];
        states[i + 8] = reply[2 * i + 1];
    }
    return states;
}

Packet EncodeStatusReply(const std::array<uint8_t, kSocketCount>& states) {
    Packet reply{};
    for (size_t i = 0; i < 8; ++i) {
        reply[2 * i] = states[i];
        reply[2 * i + 1] = states[i + 8];
    }
    return reply;
}

uint32_t InfoSectionCheckSum(const InfoBlockBytes& block, size_t section) {
    return ByteSum(&block[section * kInfoSectionSize], info::kCheckSumInSection);
}

void StampInfoCheckSums(InfoBlockBytes& block) {
    for (size_t section = 0; section < 3; ++section)
        PutLE32(&block[section * kInfoSectionSize + info::kCheckSumInSection],
                InfoSectionCheckSum(block, section));
}

InfoBlockBytes BuildInfoBlock(const InfoBlockContent& c) {
    InfoBlockBytes block{};
    for (size_t section = 0; section < 3; ++section) {
        block[section * kInfoSectionSize + 1] = static_cast<uint8_t>(section * kInfoSectionSize);
        block[section * kInfoSectionSize + 2] = static_cast<uint8_t>(section + 1);
    }

    block[info::kBodySeries] = c.bodySeries;
    PutLE16(&block[info::kBodyType], c.bodyType);
    PutLE32(&block[info::kImageSize], c.imageSize);
    PutLE32(&block[info::kImageCheckSum], c.imageCheckSum);
    block[info::kFwBody] = c.fwBody;
    for (size_t i = 0; i < 4; ++i)
        block[info::kFiller + i] = 0xFF;
    if (c.record) {
        for (size_t i = 0; i < kInfoRecordSize; ++i)
            block[info::kRecord + i] = (*c.record)[i];
    } else {
        for (size_t i = info::kRecord; i <= 0x2C; ++i)
            block[i] = 0xFF;
    }

    block[info::kBlankCheckOp] = c.blankCheck ? uint8_t{kCmdBlankCheckOTP} : info::kOpNotSelected;
    PutLE32(&block[info::kBlankCheckEnd], c.lastUnit);
    block[info::kSection2FwBody] = c.fwBody;
    block[info::kProgramOp] = c.program ? uint8_t{kCmdProgramOTP} : info::kOpNotSelected;
    PutLE32(&block[info::kProgramEnd], c.lastUnit);
    block[info::kVerifyOp] = c.verify ? uint8_t{kCmdVerifyOTP} : info::kOpNotSelected;
    PutLE32(&block[info::kVerifyEnd], c.lastUnit);

    block[info::kSection3Marker] = 0xFF;
    PutLE16(&block[info::kPassCounter], c.passCounter);
    PutLE16(&block[info::kFailCounter], c.failCounter);

    StampInfoCheckSums(block);
    return block;
}

InfoBlock::InfoBlock() : bytes_{} {
    bytes_[info::kBodySeries] = info::kNothingStored;
}

} // namespace engine
