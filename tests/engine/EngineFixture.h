// Shared setup of the engine tests: a program folder with a body profile, a
// scripted link, virtual time, and an image whose word image the test sets.
#pragma once

#include "engine/OTP.h"
#include "tests/engine/ScriptedLink.h"
#include "tests/support/ProgramFolder.h"

#include <memory>
#include <vector>

namespace enginetest {

// Body 1 of the test profile: 4 KB of OTP (end address 0xFFF), read-back of
// 4 KB, firmware body code 0x21, series 0x5C, type 0x1234.
constexpr uint32_t kOtpEnd = 0xFFF;
constexpr size_t kReadBack = 4096;
constexpr uint8_t kFwBody = 0x21;
constexpr uint8_t kSeries = 0x5C;
constexpr uint16_t kType = 0x1234;

// Writes OTPBodyProfile.xml with bodies 0 to 34 into `folder`; body 1 as
// above, body 33 without OTP size, the others with sizes of their own.
void WriteTestProfile(const testsupport::ProgramFolder& folder);

// An image whose word image, checksum and last unit the test chooses.
class FakeImage : public image::C_OTPBinFile {
public:
    FakeImage(std::vector<uint8_t> wordImage, uint32_t checkSum, int lastUnit)
        : words(std::move(wordImage)), sum(checkSum), last(lastUnit) {}
    const uint8_t* GetWordImage() override { return words.data(); }
    int GetWordImageSize() override { return static_cast<int>(words.size()); }
    uint32_t ComputeImageCheckSum() override { return sum; }
    int GetLastUnit() override { return last; }
    int Exists() override { return 1; }

    std::vector<uint8_t> words;
    uint32_t sum;
    int last;
};

class EngineTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override;

    // Body 1 with an image of `size` bytes (byte i = i * 3 + 1).
    FakeImage& UseImage(size_t size, uint32_t checkSum = 0x00ABCDEF, int lastUnit = 0x100);
    // Enables exactly the sockets of `mask`.
    void Enable(uint16_t mask);

    // The exchange of a status check whose reply carries `states`.
    void ExpectStatus(const std::array<uint8_t, engine::kSocketCount>& states);
    void ExpectStatusAllOK();
    // A masked command with the mask of the enabled sockets.
    void ExpectMasked(const engine::Packet& command, uint16_t mask);

    core::C_Result result;
    port::ManualClock clock;
    ScriptedLink link{result};
    std::unique_ptr<engine::C_OTP> otp;
};

std::array<uint8_t, engine::kSocketCount> AllStates(uint8_t state);

} // namespace enginetest
