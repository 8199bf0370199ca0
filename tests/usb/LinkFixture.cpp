#include "tests/usb/LinkFixture.h"

#include "usb/USBInfo.h"

#include <atomic>
#include <random>

namespace usbtest {

uint64_t SteppingClock::NowMs() {
    std::lock_guard<std::mutex> guard(lock_);
    now_ += step_;
    return now_;
}

void SteppingClock::SleepMs(uint32_t ms) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ += ms;
}

// Claims of one test live in its own folder, which the mutex holder process
// inherits: tests running side by side never see each other's claims.
void LinkTest::SetUp() {
    lockDir_.emplace("BURNWRIGHT_LOCK_DIR", folder.File("claims").c_str());
}

void LinkTest::TearDown() {
    lockDir_.reset();
}

std::string LinkTest::Unique(const std::string& stem) {
    static const unsigned run = std::random_device{}();
    static std::atomic<int> counter{0};
    return stem + "_" + std::to_string(run) + "_" + std::to_string(++counter);
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) {
    return bytes;
}

std::vector<uint8_t> Reply(size_t size, std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> reply(size, 0);
    std::copy(head.begin(), head.end(), reply.begin());
    return reply;
}

std::vector<uint8_t> DetectionRequest() {
    return Reply(64, {0x0A, 0x40});
}

std::vector<uint8_t> QueryRequest(uint8_t command, uint8_t argument) {
    const auto packet = usb::QueryPacket(command, argument);
    return {packet.begin(), packet.end()};
}

void ScriptDetection(FakeWriter& writer, uint8_t first, uint8_t second) {
    writer.ExpectWrite(DetectionRequest()).ExpectRead(Reply(16, {first}));
    if (first == 0)
        writer.ExpectWrite(DetectionRequest()).ExpectRead({second});
}

void ScriptLevel(FakeWriter& writer, uint16_t level) {
    writer.ExpectWrite(QueryRequest(0x0A, 0x01))
        .ExpectRead(Reply(64, {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8)}));
}

void ScriptDeviceType(FakeWriter& writer, uint8_t type) {
    writer.ExpectWrite(QueryRequest(0x1B)).ExpectRead({type});
}

void ScriptFamilyWriter(FakeWriter& writer, uint8_t deviceType) {
    ScriptDetection(writer, 0, 0x51);
    ScriptLevel(writer, 8);
    ScriptDeviceType(writer, deviceType);
}

} // namespace usbtest
