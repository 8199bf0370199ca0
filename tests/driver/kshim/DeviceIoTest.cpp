// The program's device I/O served by the user-mode kernel and the test driver.
#include "driver/kshim/KernelDeviceIo.h"
#include "tests/driver/kshim/KernelFixture.h"

#include <atomic>
#include <thread>

namespace kshimtest {
namespace {

const std::string kTestClass = "{11223344-5566-7788-99AA-bbccddeeff00}";

class KshimDeviceIo : public KernelFixture {
protected:
    std::unique_ptr<kshim::KernelDeviceIo> io = std::make_unique<kshim::KernelDeviceIo>();
    void TearDown() override {
        io.reset();
        KernelFixture::TearDown();
    }
};

TEST(KshimGuidText, ParsesBracedGuidsAndRejectsOthers) {
    GUID guid{};
    ASSERT_TRUE(kshim::ParseGuid(kTestClass, guid));
    EXPECT_TRUE(guid == kTestInterface);
    EXPECT_FALSE(kshim::ParseGuid("11223344-5566-7788-99AA-BBCCDDEEFF00", guid));
    EXPECT_FALSE(kshim::ParseGuid("{11223344-5566-7788-99AA-BBCCDDEEFF0G}", guid));
    EXPECT_FALSE(kshim::ParseGuid("{11223344+5566-7788-99AA-BBCCDDEEFF00}", guid));
}

TEST_F(KshimDeviceIo, MembersOpenAndMoveBytesAsTheProgramDoes) {
    std::string path;
    EXPECT_FALSE(io->InterfaceMember(kTestClass, 0, path)) << "no device yet";
    StartDevice();
    ASSERT_TRUE(io->InterfaceMember(kTestClass, 0, path));
    EXPECT_EQ(path.rfind("\\\\?\\usb#vid_1234&pid_5678#", 0), 0u) << path;
    std::string other;
    EXPECT_FALSE(io->InterfaceMember(kTestClass, 1, other));
    EXPECT_FALSE(io->InterfaceMember("not a class", 0, other));
    auto out = io->Open(path + "\\PIPE01");
    auto in = io->Open(path + "\\PIPE00");
    ASSERT_TRUE(out && in);
    EXPECT_EQ(io->Open(path + "\\PIPE09"), nullptr);
    uint8_t data[3] = {7, 8, 9};
    size_t moved = 0;
    EXPECT_EQ(out->Write(data, 3, 1000, moved), port::DeviceHandle::Outcome::Done);
    EXPECT_EQ(moved, 3u);
    uint8_t back[8] = {};
    EXPECT_EQ(in->Read(back, sizeof back, 0, moved), port::DeviceHandle::Outcome::Done);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(back[2], 9);
}

TEST_F(KshimDeviceIo, TimeLimitCancelsTheTransferAndCancelFailsIt) {
    StartDevice();
    std::string path;
    ASSERT_TRUE(io->InterfaceMember(kTestClass, 0, path));
    auto in = io->Open(path + "\\PIPE00");
    bus->HoldTransfers(true);
    uint8_t back[4];
    size_t moved = 99;
    EXPECT_EQ(in->Read(back, 4, 20, moved), port::DeviceHandle::Outcome::TimedOut);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(bus->HeldTransfers(), 0u) << "the timed-out transfer was cancelled";
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (bus->HeldTransfers() == 0)
            std::this_thread::yield();
        started = true;
        in->Cancel();
    });
    EXPECT_EQ(in->Read(back, 4, 0, moved), port::DeviceHandle::Outcome::Failed);
    canceller.join();
    EXPECT_TRUE(started);
}

TEST_F(KshimDeviceIo, ArrivalAndRemovalReachTheHandlerWithUserPaths) {
    std::mutex mu;
    std::vector<std::pair<port::DeviceEvent, std::string>> events;
    io->SetEventHandler([&](port::DeviceEvent event, const std::string& path) {
        std::lock_guard<std::mutex> guard(mu);
        events.emplace_back(event, path);
    });
    kshim::DeviceNode& node = StartDevice();
    node.SurpriseRemove();
    node.Remove();
    kernel.Settle();
    std::lock_guard<std::mutex> guard(mu);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first, port::DeviceEvent::Arrival);
    EXPECT_EQ(events[1].first, port::DeviceEvent::Removal);
    EXPECT_EQ(events[0].second.rfind("\\\\?\\usb#", 0), 0u);
    EXPECT_EQ(events[0].second, events[1].second);
}

TEST_F(KshimDeviceIo, TimeLimitOnAManualClockPassesOnceNothingCanComplete) {
    port::ManualClock clock;
    kshim::KernelDeviceIo timed(&clock);
    StartDevice();
    std::string path;
    ASSERT_TRUE(timed.InterfaceMember(kTestClass, 0, path));
    auto in = timed.Open(path + "\\PIPE00");
    uint8_t back[4];
    size_t moved = 0;
    model.Queue({1, 2});
    kshim::FaultPlan plan;
    plan.deferred = 1.0;
    bus->SetFaultPlan(plan);
    EXPECT_EQ(in->Read(back, 4, 5000, moved), port::DeviceHandle::Outcome::Done)
        << "a deferred completion is no time-out";
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(clock.SleptMs(), 0u);
    bus->HoldTransfers(true);
    bus->SetFaultPlan({});
    EXPECT_EQ(in->Read(back, 4, 5000, moved), port::DeviceHandle::Outcome::TimedOut);
    EXPECT_EQ(clock.SleptMs(), 5000u);
    EXPECT_EQ(bus->HeldTransfers(), 0u);
}

} // namespace
} // namespace kshimtest
