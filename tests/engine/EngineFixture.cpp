#include "tests/engine/EngineFixture.h"

#include <string>

namespace enginetest {

void WriteTestProfile(const testsupport::ProgramFolder& folder) {
    std::string xml = "<?xml version=\"1.0\"?>\n<Profile>\n";
    for (int id = 0; id <= 34; ++id) {
        // Body 1: OTPSize 4 KB, OTPBinSize 1 x 4 = 4 KB, FwBody 33.
        // Body 33 has no OTP size and no read-back size. The others carry
        // their index as firmware body code, as the writer knows them.
        const int otpSize = id == 1 ? 4 : id == 33 ? 0 : 2 + id;
        const int fwBody = id == 1 ? kFwBody : id;
        const int series = id == 1 ? kSeries : id;
        const int type = id == 1 ? kType : 0x100 + id;
        xml += "  <Body BodyID=\"" + std::to_string(id) +
               "\" BinSize=\"4\" RomSize=\"4\" OTPSize=\"" + std::to_string(otpSize) +
               "\" OTPBinSize=\"1\" FwBody=\"" + std::to_string(fwBody) + "\" ComboName=\" B" +
               std::to_string(id) + " \" BodySeries=\"" + std::to_string(series) +
               "\" BodyType=\"" + std::to_string(type) + "\"/>\n";
    }
    xml += "</Profile>\n";
    testsupport::ProgramFolder::Write(folder.File("OTPBodyProfile.xml"), xml);
}

std::array<uint8_t, engine::kSocketCount> AllStates(uint8_t state) {
    std::array<uint8_t, engine::kSocketCount> states{};
    states.fill(state);
    return states;
}

void EngineTest::SetUp() {
    WriteTestProfile(folder);
    otp = std::make_unique<engine::C_OTP>(link, clock, result);
}

FakeImage& EngineTest::UseImage(size_t size, uint32_t checkSum, int lastUnit) {
    otp->SelectBody(1);
    std::vector<uint8_t> words(size);
    for (size_t i = 0; i < size; ++i)
        words[i] = static_cast<uint8_t>(i * 3 + 1);
    auto image = std::make_unique<FakeImage>(std::move(words), checkSum, lastUnit);
    FakeImage& view = *image;
    otp->ReplaceImage(std::move(image));
    return view;
}

void EngineTest::Enable(uint16_t mask) {
    for (int i = 0; i < 16; ++i)
        otp->SetSocketEnabled(i, (mask >> i) & 1);
}

void EngineTest::ExpectStatus(const std::array<uint8_t, engine::kSocketCount>& states) {
    link.ExpectWrite(engine::CommandPacket(engine::kCmdReadStatus));
    link.ExpectRead(engine::EncodeStatusReply(states));
}

void EngineTest::ExpectStatusAllOK() {
    ExpectStatus(AllStates(engine::kSocketOK));
}

void EngineTest::ExpectMasked(const engine::Packet& command, uint16_t mask) {
    link.ExpectWrite(command);
    link.ExpectWrite(engine::SocketMaskPacket(mask));
}

} // namespace enginetest
