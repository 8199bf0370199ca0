// Shared setup of the link's tests: a program folder, a private folder for
// named mutexes (inherited by helper processes), virtual time, a scripted
// backend and a result of the test's own.
#pragma once

#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"
#include "tests/usb/FakeDeviceIo.h"

#include "core/Result.h"
#include "port/Clock.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbtest {

// A clock whose every reading moves it on by a step, so that a wait on it
// runs out within one thread without anyone moving the time.
class SteppingClock : public port::Clock {
public:
    explicit SteppingClock(uint64_t stepMs) : step_(stepMs) {}
    uint64_t NowMs() override;
    void SleepMs(uint32_t ms) override;

private:
    std::mutex lock_;
    uint64_t now_ = 0;
    uint64_t step_;
};

class LinkTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A name unique to this test run, for writer instances and mutex names.
    std::string Unique(const std::string& stem);

    FakeDeviceIo io;
    port::ManualClock clock;
    core::C_Result result;

private:
    std::optional<testsupport::ScopedEnvironment> lockDir_;
};

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes);
std::vector<uint8_t> Reply(size_t size, std::initializer_list<uint8_t> head);
std::vector<uint8_t> DetectionRequest();
std::vector<uint8_t> QueryRequest(uint8_t command, uint8_t argument = 0);

// The detection exchanges of a writer: its first answer and, when that is 0,
// its second.
void ScriptDetection(FakeWriter& writer, uint8_t first, uint8_t second = 0);
void ScriptLevel(FakeWriter& writer, uint16_t level);
void ScriptDeviceType(FakeWriter& writer, uint8_t type);
// A family writer that reports level 8 and the given device type byte.
void ScriptFamilyWriter(FakeWriter& writer, uint8_t deviceType);

} // namespace usbtest
