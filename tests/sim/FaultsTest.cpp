// Injected faults: per socket and operation, and on the transport, planned
// or drawn from a seed, always repeatable.
#include "SimHost.h"

#include <thread>

namespace simtest {
namespace {

class SimFaults : public SimHostTest {
protected:
    Outcome WriteOnce(const Bytes& bytes, uint32_t timeoutMs = 0) {
        auto pipe = io_->Open(writer_->InterfacePath() + "\\PIPE01");
        if (!pipe)
            return Outcome::Failed;
        size_t done = 0;
        return pipe->Write(bytes.data(), bytes.size(), timeoutMs, done);
    }
    // Outcomes of `count` type queries (write and read each) under the current faults.
    std::vector<int> Run(int count) {
        std::vector<int> outcomes;
        for (int i = 0; i < count; ++i) {
            outcomes.push_back(int(WriteOnce(Packet({0x1B}), 3000)));
            Bytes reply;
            outcomes.push_back(int(Receive(1, reply, 3000)));
        }
        return outcomes;
    }
};

TEST_F(SimFaults, SocketFaultsHitTheirSocketAndOperationTheGivenNumberOfTimes) {
    writer_->FailSocket(2, sim::Operation::Program, 2);
    writer_->FailSocket(5, sim::Operation::Verify);
    // Body 1's word image of 256 zero chip bytes: groups of four, each with its check byte 0.
    LoadBuffer(Bytes(320, 0x00), 0x0024);
    for (int round = 0; round < 3; ++round) {
        SendMasked(AddressPacket(0x1F, 255, 1), 0x0024);
        const auto states = Status();
        EXPECT_EQ(states[2], round < 2 ? 3 : 1) << round;
        EXPECT_EQ(states[5], 1) << "verify faults do not touch program";
        SendMasked(AddressPacket(0x20, 255, 1), 0x0024);
        EXPECT_EQ(Status()[5], 3) << "a fault without count fails every time";
    }
    writer_->ClearFaults();
    SendMasked(AddressPacket(0x20, 255, 1), 0x0020);
    EXPECT_EQ(Status()[5], 1);
}

TEST_F(SimFaults, RandomSocketFailuresRepeatWithTheSameSeed) {
    auto pattern = [&](uint32_t seed) {
        writer_->SetRandomSocketFailures(seed, 300);
        std::vector<int> all;
        for (int round = 0; round < 4; ++round) {
            SendMasked(AddressPacket(0x1E, 255, 1), 0xFFFF);
            const auto states = Status();
            all.insert(all.end(), states.begin(), states.end());
        }
        return all;
    };
    const auto first = pattern(42);
    EXPECT_EQ(pattern(42), first);
    EXPECT_NE(std::count(first.begin(), first.end(), 3), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), 1), 0);
    EXPECT_NE(pattern(43), first);
}

TEST_F(SimFaults, PlannedTransportFaultsHitTheirTransferNumber) {
    sim::TransportFault fails;
    fails.kind = sim::TransportFaultKind::WriteFails;
    fails.atTransfer = 3;
    writer_->AddTransportFault(fails);
    const auto outcomes = Run(3);
    EXPECT_EQ(outcomes, (std::vector<int>{0, 0, 2, 2, 0, 0}))
        << "transfer 3 (a write) fails; the read after it finds no reply";
    EXPECT_EQ(writer_->TransferCount(), 6u);
}

TEST_F(SimFaults, ReadTimeoutWaitsItsLimitOnTheClock) {
    sim::TransportFault timeout;
    timeout.kind = sim::TransportFaultKind::ReadTimeout;
    writer_->AddTransportFault(timeout);
    Send(Packet({0x1B}));
    const uint64_t before = clock_.SleptMs();
    Bytes reply;
    EXPECT_EQ(Receive(1, reply, 3000), Outcome::TimedOut);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(clock_.SleptMs() - before, 3000u);
    sim::TransportFault writeTimeout;
    writeTimeout.kind = sim::TransportFaultKind::WriteTimeout;
    writer_->AddTransportFault(writeTimeout);
    EXPECT_EQ(WriteOnce(Packet({0x1B}), 500), Outcome::TimedOut);
}

TEST_F(SimFaults, ReadWithoutLimitHangsUntilCancelled) {
    sim::TransportFault timeout;
    timeout.kind = sim::TransportFaultKind::ReadTimeout;
    writer_->AddTransportFault(timeout);
    Send(Packet({0x1B}));
    auto pipe = io_->Open(writer_->InterfacePath() + "\\PIPE00");
    uint8_t byte = 0;
    size_t done = 0;
    Outcome outcome = Outcome::Done;
    std::thread reader([&] { outcome = pipe->Read(&byte, 1, 0, done); });
    // Cancel until the hanging read has seen it (a cancel before it starts is not kept).
    while (writer_->TransferCount() < 2)
        std::this_thread::yield();
    pipe->Cancel();
    reader.join();
    EXPECT_EQ(outcome, Outcome::Failed);
}

TEST_F(SimFaults, ShortReadDeliversFewerBytes) {
    sim::TransportFault shortRead;
    shortRead.kind = sim::TransportFaultKind::ShortRead;
    shortRead.shortBytes = 10;
    writer_->AddTransportFault(shortRead);
    Send(Packet({0x07}));
    Bytes reply;
    EXPECT_EQ(Receive(64, reply), Outcome::Done);
    EXPECT_EQ(reply.size(), 10u);
}

TEST_F(SimFaults, UnplugAtTheNthTransferRemovesTheWriterUntilPluggedAgain) {
    std::vector<port::DeviceEvent> events;
    io_->SetEventHandler([&](port::DeviceEvent e, const std::string& path) {
        EXPECT_EQ(path, writer_->InterfacePath());
        events.push_back(e);
    });
    sim::TransportFault unplug;
    unplug.kind = sim::TransportFaultKind::Unplug;
    unplug.atTransfer = 2;
    writer_->AddTransportFault(unplug);
    Send(Packet({0x1B}));
    Bytes reply;
    EXPECT_EQ(Receive(1, reply), Outcome::Failed);
    ASSERT_EQ(events, std::vector<port::DeviceEvent>{port::DeviceEvent::Removal});
    EXPECT_FALSE(writer_->Plugged());
    std::string path;
    EXPECT_FALSE(io_->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    ASSERT_TRUE(bus_->Plug(0));
    EXPECT_EQ(events.back(), port::DeviceEvent::Arrival);
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

TEST_F(SimFaults, RandomTransportFaultsRepeatWithTheSameSeed) {
    const std::vector<sim::TransportFaultKind> kinds{sim::TransportFaultKind::ReadFails,
                                                     sim::TransportFaultKind::WriteFails,
                                                     sim::TransportFaultKind::ShortRead};
    writer_->SetRandomTransportFaults(7, 250, kinds);
    const auto first = Run(40);
    writer_->SetRandomTransportFaults(7, 250, kinds);
    EXPECT_EQ(Run(40), first);
    EXPECT_NE(std::count(first.begin(), first.end(), int(Outcome::Failed)), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), int(Outcome::Done)), 0);
}

TEST_F(SimFaults, TransferTimeLongerThanTheLimitTimesOut) {
    sim::Timings slow;
    slow.transferMs = 4000;
    writer_->SetTimings(slow);
    EXPECT_EQ(WriteOnce(Packet({0x1B}), 3000), Outcome::TimedOut);
    EXPECT_EQ(WriteOnce(Packet({0x1B}), 0), Outcome::Done) << "no limit waits it out";
    const uint64_t before = clock_.SleptMs();
    Bytes reply;
    EXPECT_EQ(Receive(1, reply, 5000), Outcome::Done);
    EXPECT_EQ(clock_.SleptMs() - before, 4000u);
}

} // namespace
} // namespace simtest
