// The simulator's transport faults reach the program through the kernel with
// the outcomes the direct backend gives, and time limits pass on the bus's
// clock only.
#include "tests/driver/simstack/KernelStackFixture.h"

#include <chrono>
#include <thread>

namespace simstacktest {
namespace {

class TransportFaults : public KernelStackTest {
protected:
    void Fault(sim::TransportFaultKind kind, size_t shortBytes = 0) {
        sim::TransportFault fault;
        fault.kind = kind;
        fault.shortBytes = shortBytes;
        writer->AddTransportFault(fault);
    }
    Outcome Query(uint32_t timeoutMs = 3000) {
        const Bytes query = DetectionQuery();
        size_t moved = 0;
        return OpenPipe("\\PIPE01")->Write(query.data(), query.size(), timeoutMs, moved);
    }
    Outcome Answer(size_t size, size_t& moved, uint32_t timeoutMs = 3000) {
        Bytes reply(size);
        return OpenPipe("\\PIPE00")->Read(reply.data(), size, timeoutMs, moved);
    }
    // Waits (briefly, on real time) until the writer has seen `count` transfers.
    bool WaitForTransfers(uint64_t count) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (writer->TransferCount() < count)
            if (std::chrono::steady_clock::now() > end)
                return false;
            else
                std::this_thread::yield();
        return true;
    }
};

TEST_F(TransportFaults, ARefusedReadFailsAndTheNextTransfersWork) {
    size_t moved = 9;
    EXPECT_EQ(Answer(1, moved), Outcome::Failed) << "nothing to answer stalls the pipe";
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(Detect()) << "the driver cleared the stall";
    Fault(sim::TransportFaultKind::ReadFails);
    ASSERT_EQ(Query(), Outcome::Done);
    EXPECT_EQ(Answer(1, moved), Outcome::Failed);
    EXPECT_EQ(Answer(1, moved), Outcome::Done) << "a failed read loses nothing";
    EXPECT_EQ(moved, 1u);
}

TEST_F(TransportFaults, AFailedWriteDoesNotReachTheController) {
    Fault(sim::TransportFaultKind::WriteFails);
    EXPECT_EQ(Query(), Outcome::Failed);
    size_t moved = 0;
    EXPECT_EQ(Answer(1, moved), Outcome::Failed);
    EXPECT_TRUE(Detect());
}

TEST_F(TransportFaults, AShortReadDeliversWhatTheWriterGave) {
    Fault(sim::TransportFaultKind::ShortRead, 3);
    ASSERT_EQ(Query(), Outcome::Done);
    size_t moved = 0;
    EXPECT_EQ(Answer(16, moved), Outcome::Done);
    EXPECT_EQ(moved, 3u);
}

TEST_F(TransportFaults, TimeoutsPassTheirLimitOnTheBusClockOnce) {
    Fault(sim::TransportFaultKind::WriteTimeout);
    uint64_t before = clock.NowMs();
    EXPECT_EQ(Query(2500), Outcome::TimedOut);
    EXPECT_EQ(clock.NowMs() - before, 2500u);

    ASSERT_EQ(Query(), Outcome::Done);
    Fault(sim::TransportFaultKind::ReadTimeout);
    before = clock.NowMs();
    size_t moved = 5;
    EXPECT_EQ(Answer(1, moved), Outcome::TimedOut);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(clock.NowMs() - before, 3000u);
    EXPECT_TRUE(Detect()) << "the cancelled read left the pipe usable";

    sim::Timings slow;
    slow.transferMs = 4000;
    writer->SetTimings(slow);
    before = clock.NowMs();
    EXPECT_EQ(Query(1000), Outcome::TimedOut) << "a transfer slower than its limit";
    EXPECT_EQ(clock.NowMs() - before, 1000u);
    before = clock.NowMs();
    EXPECT_EQ(Query(5000), Outcome::Done);
    EXPECT_EQ(clock.NowMs() - before, 4000u);
}

TEST_F(TransportFaults, AReadWithoutLimitHangsUntilCancelledOrUnplugged) {
    Fault(sim::TransportFaultKind::ReadTimeout);
    ASSERT_EQ(Query(), Outcome::Done);
    auto in = OpenPipe("\\PIPE00");
    Outcome outcome = Outcome::Done;
    uint8_t byte = 0;
    size_t moved = 0;
    std::thread reader([&] { outcome = in->Read(&byte, 1, 0, moved); });
    ASSERT_TRUE(WaitForTransfers(2));
    in->Cancel();
    reader.join();
    EXPECT_EQ(outcome, Outcome::Failed);
    EXPECT_EQ(clock.NowMs(), 0u) << "no time limit was waited";

    Fault(sim::TransportFaultKind::ReadTimeout);
    std::thread second([&] { outcome = in->Read(&byte, 1, 0, moved); });
    ASSERT_TRUE(WaitForTransfers(3));
    bus->Unplug(0);
    second.join();
    EXPECT_EQ(outcome, Outcome::Failed);
    EXPECT_EQ(stack->Stats().surpriseRemovals, 1u);
    in.reset();
    stack->Settle();
    EXPECT_EQ(stack->Stats().removals, 1u);
}

} // namespace
} // namespace simstacktest
