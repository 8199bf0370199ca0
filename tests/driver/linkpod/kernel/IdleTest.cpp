// Idle suspend on virtual time: the timer, the idle request, the bus's
// callback, and everything that takes the request back.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <functional>
#include <future>

namespace linkpodtest {
namespace {

class LinkPodIdle : public LinkPodTest {
protected:
    void StartIdleDevice(UCHAR wdmMajor = 6, UCHAR wdmMinor = 0x30) {
        Options options;
        options.idleSuspend = true;
        options.wdmMajor = wdmMajor;
        options.wdmMinor = wdmMinor;
        StartDevice(options);
        Bus().SetIdleCallbackAtOnce(false);
    }
    void Advance(uint64_t ms) {
        K().AdvanceMs(ms);
        Settle();
    }
    uint64_t IdleRequests() { return Bus().Stats().idleRequests; }
    LONG OutstandingIoNow() { return driver::linkpod::OutstandingIo(Ext()); }
};

TEST_F(LinkPodIdle, WithoutTheRegistryValueNothingIdles) {
    StartDevice();
    Advance(60000);
    EXPECT_EQ(IdleRequests(), 0u);
    EXPECT_EQ(Ext()->IdleEnabled, 0);
}

TEST_F(LinkPodIdle, OnlyANonZeroDwordUnderTheFixedKeyEnablesIdle) {
    const std::string fixed =
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\PODLINK\\Parameters";
    const std::string own =
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\linkpod\\Parameters";
    struct Case {
        const char* what;
        std::function<void(kshim::Registry&)> fill;
        ULONG expected;
    };
    const std::vector<Case> cases = {
        {"missing", [](kshim::Registry&) {}, 0},
        {"zero", [&](kshim::Registry& r) { r.SetDword(fixed, "IdleSuspendEnable", 0); }, 0},
        {"seven", [&](kshim::Registry& r) { r.SetDword(fixed, "IdleSuspendEnable", 7); }, 7},
        // A text value must neither enable idle nor be written over the number.
        {"text", [&](kshim::Registry& r) { r.SetString(fixed, "IdleSuspendEnable", "1"); }, 0},
        {"own key", [&](kshim::Registry& r) { r.SetDword(own, "IdleSuspendEnable", 1); }, 0},
        {"failing",
         [&](kshim::Registry& r) {
             r.SetDword(fixed, "IdleSuspendEnable", 1);
             r.FailQueries(true);
         },
         0},
    };
    kshim::Registry& registry = K().GetRegistry();
    for (const Case& c : cases) {
        registry.FailQueries(false);
        registry.DeleteKey(fixed);
        registry.DeleteKey(own);
        c.fill(registry);
        EXPECT_EQ(driver::linkpod::ReadIdleSuspendEnable(), c.expected) << c.what;
    }
    registry.FailQueries(false);
}

TEST_F(LinkPodIdle, PlatformsBeforeTheRequiredVersionNeverIdle) {
    StartIdleDevice(1, 0x10);
    EXPECT_EQ(Ext()->PlatformLevel, 1u);
    Advance(60000);
    EXPECT_EQ(IdleRequests(), 0u);
}

TEST_F(LinkPodIdle, PlatformLevelFollowsTheNewestAvailableVersion) {
    Options options;
    options.wdmMajor = 1;
    options.wdmMinor = 0x05;
    Boot(options);
    EXPECT_EQ(Ext()->PlatformLevel, 2u);
}

TEST_F(LinkPodIdle, FirstIdleRequestFiveSecondsAfterStart) {
    StartIdleDevice();
    EXPECT_EQ(Ext()->PlatformLevel, 0u);
    EXPECT_EQ(Ext()->IdleEnabled, 1);
    Advance(4999);
    EXPECT_EQ(IdleRequests(), 0u);
    Advance(1);
    EXPECT_EQ(IdleRequests(), 1u);
    EXPECT_TRUE(Bus().IdleRequestPending());
    // Only one at a time; the timer is off while it is pending.
    Advance(20000);
    EXPECT_EQ(IdleRequests(), 1u);
}

TEST_F(LinkPodIdle, CallbackPowersTheDeviceDownToItsPowerDownLevel) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().FireIdleCallback());
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);
    EXPECT_EQ(Bus().PowerState(), PowerDeviceD2);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodIdle, OpenHandleKeepsTheDeviceAwakeUntilClosed) {
    StartIdleDevice();
    auto handle = OpenOrFail("\\PIPE00");
    Advance(20000);
    EXPECT_EQ(IdleRequests(), 0u);
    handle.reset();
    EXPECT_EQ(Ext()->OpenHandles, 0);
    Advance(5000);
    EXPECT_EQ(IdleRequests(), 1u);
}

TEST_F(LinkPodIdle, OpeningTakesThePendingRequestBackAndWakesTheDevice) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().FireIdleCallback());
    Settle();
    ASSERT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);

    // Written at once: the write waits until the device is back in D0.
    auto handle = OpenOrFail("\\PIPE01");
    const auto data = Pattern(16);
    EXPECT_EQ(handle->Write(data.data(), 16)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().pipeResets, 0u);
    Settle();
    EXPECT_FALSE(Bus().IdleRequestPending());
    EXPECT_EQ(Ext()->IdleIrp, nullptr);
    EXPECT_EQ(Ext()->IdleRequestPending, 0);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);

    // The timer runs again, but an open handle stops every tick.
    Advance(15000);
    EXPECT_EQ(IdleRequests(), 1u);
    handle.reset();
    Settle();
    Advance(5000);
    EXPECT_EQ(IdleRequests(), 2u);
}

TEST_F(LinkPodIdle, WriteRightAfterAnOpenDuringThePowerDownWaitsForD0) {
    StartIdleDevice();
    Advance(5000);
    Bus().HoldDevicePower(true);
    ASSERT_TRUE(Bus().FireIdleCallback());
    ASSERT_TRUE(WaitUntil([this] { return Bus().HeldDevicePower() == 1; }));

    // The open takes the idle request back while D2 is still on its way, and
    // the write follows at once, without anything settling in between.
    auto handle = OpenOrFail("\\PIPE01");
    const auto data = Pattern(16);
    auto write = std::async(std::launch::async,
                            [&] { return handle->Write(data.data(), 16)->WaitResult(); });
    ASSERT_EQ(Bus().ReleaseDevicePower(), 1u);
    // D0 is asked for once D2 is done; the write stays off the bus meanwhile.
    ASSERT_TRUE(WaitUntil([this] { return Bus().HeldDevicePower() == 1; }));
    EXPECT_EQ(write.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(Bus().Stats().bulk, 0u);
    Bus().HoldDevicePower(false);
    ASSERT_EQ(Bus().ReleaseDevicePower(), 1u);
    const IO_STATUS_BLOCK result = write.get();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 16u);
    EXPECT_EQ(Model().Written(), data);
    EXPECT_EQ(Bus().Stats().pipeResets, 0u);
    EXPECT_EQ(Bus().PowerHistory(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0}));
    Settle();
    EXPECT_FALSE(Bus().IdleRequestPending());
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodIdle, QueryRemoveDuringThePowerDownWaitsForItAndRemovalEndsClean) {
    StartIdleDevice();
    Advance(5000);
    Bus().HoldDevicePower(true);
    ASSERT_TRUE(Bus().FireIdleCallback());
    ASSERT_TRUE(WaitUntil([this] { return Bus().HeldDevicePower() == 1; }));

    // The query takes the idle request back and must wait for the power-down
    // and everything that follows it: the callback's, the request's and the
    // power IRP's counts stay held, none is given up on another's behalf.
    auto query = Node().Async([](kshim::DeviceNode& node) { return node.QueryRemove(); });
    EXPECT_EQ(query.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(OutstandingIoNow(), 4);
    Bus().HoldDevicePower(false);
    ASSERT_EQ(Bus().ReleaseDevicePower(), 1u);
    ASSERT_EQ(query.get(), STATUS_SUCCESS);
    ASSERT_EQ(Node().Remove(), STATUS_SUCCESS);
    // The D0 that the cancelled request asks for may meet the removed device;
    // either way nothing of it outlives the removal (the fixture checks).
    EXPECT_EQ(Bus().PowerHistory().front(), PowerDeviceD2);
}

TEST_F(LinkPodIdle, RefusedIdleRequestRestartsTheTimer) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().CompleteIdleRequest(STATUS_NOT_SUPPORTED));
    Settle();
    EXPECT_EQ(Ext()->IdleRequestPending, 0);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    Advance(4999);
    EXPECT_EQ(IdleRequests(), 1u);
    Advance(1);
    EXPECT_EQ(IdleRequests(), 2u);
}

TEST_F(LinkPodIdle, FailedIdleRequestAfterPowerDownReturnsToD0) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().FireIdleCallback());
    Settle();
    ASSERT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);
    ASSERT_TRUE(Bus().CompleteIdleRequest(STATUS_UNSUCCESSFUL));
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodIdle, StopEndsIdleSuspendAndStartResumesIt) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().IdleRequestPending());
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(Bus().IdleRequestPending());
    ASSERT_EQ(Node().Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->IdleEnabled, 0);
    Advance(30000);
    EXPECT_EQ(IdleRequests(), 1u);

    ASSERT_EQ(Node().Start(), STATUS_SUCCESS);
    Advance(5000);
    EXPECT_EQ(IdleRequests(), 2u);
}

TEST_F(LinkPodIdle, SurpriseRemovalWithAnIdleRequestPending) {
    StartIdleDevice();
    Advance(5000);
    ASSERT_TRUE(Bus().FireIdleCallback());
    Settle();
    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Ext()->IdleIrp, nullptr);
    EXPECT_EQ(Ext()->IdleEnabled, 0);
    Advance(30000);
    EXPECT_EQ(IdleRequests(), 1u);
}

} // namespace
} // namespace linkpodtest
