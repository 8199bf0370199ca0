#include "tests/driver/simstack/KernelStackFixture.h"

namespace simstacktest {

Bytes DetectionQuery() {
    Bytes packet(64, 0);
    packet[0] = 0x0A;
    packet[1] = 0x40;
    return packet;
}

void KernelStackTest::SetUp() {
    sim::WriterConfig config;
    config.member = 0;
    writer = bus->AddWriter(config);
    ASSERT_NE(writer, nullptr);
    stack = std::make_unique<driver::simstack::KernelStack>(bus);
}

void KernelStackTest::TearDown() {
    if (!stack)
        return;
    ExpectNoFindings();
    stack.reset();
}

void KernelStackTest::ExpectNoFindings() {
    stack->Settle();
    for (const auto& finding : stack->Findings())
        ADD_FAILURE() << "verifier: " << kshim::CheckName(finding.check) << ": " << finding.detail;
}

std::unique_ptr<port::DeviceHandle>
KernelStackTest::OpenPipe(const std::string& pipe, const std::shared_ptr<sim::Writer>& w) {
    const std::string path = (w ? w : writer)->InterfacePath() + pipe;
    auto handle = stack->Open(path);
    EXPECT_NE(handle, nullptr) << path;
    return handle;
}

bool KernelStackTest::Detect(const std::shared_ptr<sim::Writer>& w) {
    const Bytes query = DetectionQuery();
    size_t moved = 0;
    {
        auto out = OpenPipe("\\PIPE01", w);
        if (!out || out->Write(query.data(), query.size(), 3000, moved) != Outcome::Done ||
            moved != query.size())
            return false;
    }
    auto in = OpenPipe("\\PIPE00", w);
    uint8_t answer = 0;
    return in && in->Read(&answer, 1, 3000, moved) == Outcome::Done && moved == 1 && answer == 0x51;
}

} // namespace simstacktest
