// System and device power, holding I/O before the device leaves D0, and
// remote wake.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <chrono>
#include <future>

namespace linkpodtest {
namespace {

using namespace std::chrono_literals;
using driver::linkpod::QueueState;

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

class LinkPodPower : public LinkPodTest {
protected:
    Options WakeOptions() {
        Options options;
        options.shape.remoteWake = true;
        options.systemWake = PowerSystemSleeping3;
        options.deviceWake = PowerDeviceD3;
        return options;
    }
};

TEST_F(LinkPodPower, SleepAndResumeFollowTheCapabilityTable) {
    StartDevice();
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD3);
    EXPECT_EQ(Bus().PowerState(), PowerDeviceD3);
    EXPECT_EQ(Ext()->Queue, QueueState::Hold);

    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Ext()->Queue, QueueState::Allow);
    EXPECT_EQ(Node().ReportedPower(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3, PowerDeviceD0}));
    Settle();
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(8);
    EXPECT_EQ(out->Write(data.data(), 8)->Wait(), STATUS_SUCCESS);
}

TEST_F(LinkPodPower, LightSleepUsesItsOwnDeviceState) {
    StartDevice();
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
}

class LinkPodPowerInFlight : public LinkPodPower, public ::testing::WithParamInterface<int> {};

TEST_P(LinkPodPowerInFlight, SleepWaitsUntilEveryTransferHasFinished) {
    const int inFlight = GetParam();
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    Bus().HoldTransfers(true);
    std::vector<std::vector<uint8_t>> data;
    for (int i = 0; i < inFlight; ++i) {
        data.push_back(Pattern(32, static_cast<uint8_t>(i)));
    }
    std::vector<std::shared_ptr<kshim::IoRequest>> writes;
    for (int i = 0; i < inFlight; ++i) {
        writes.push_back(out->Write(data[i].data(), 32));
    }

    std::future<NTSTATUS> sleep = Node().Async(
        [](kshim::DeviceNode& node) { return node.SetSystemPower(PowerSystemSleeping3); });
    if (inFlight > 0) {
        EXPECT_EQ(sleep.wait_for(100ms), std::future_status::timeout);
        EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
        EXPECT_EQ(Bus().PowerState(), PowerDeviceD0);
    }
    Bus().HoldTransfers(false);
    Bus().ReleaseHeld();
    for (auto& write : writes) {
        EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    }
    EXPECT_EQ(sleep.get(), STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD3);
    EXPECT_EQ(Model().Written().size(), 32u * inFlight);

    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(Requests, LinkPodPowerInFlight, ::testing::Values(0, 1, 4));

class LinkPodDevicePowerHold : public LinkPodPower, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(LinkPodDevicePowerHold, LeavingD0WaitsForTheTransferInFlight) {
    const UCHAR minor = GetParam();
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    Bus().HoldTransfers(true);
    std::vector<uint8_t> buffer(16);
    auto read = in->Read(buffer.data(), 16);
    std::future<NTSTATUS> power = Node().Async([minor](kshim::DeviceNode& node) {
        return node.SendPower(minor, DevicePowerState, Device(PowerDeviceD2));
    });
    EXPECT_TRUE(WaitUntil([&] { return LockedQueue() == QueueState::Hold; }));
    EXPECT_EQ(power.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(Bus().PowerState(), PowerDeviceD0);
    Model().QueueIn({5, 6});
    Bus().HoldTransfers(false);
    Bus().ReleaseHeld();
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 2u);
    EXPECT_EQ(power.get(), STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()),
              minor == IRP_MN_SET_POWER ? PowerDeviceD2 : PowerDeviceD0);
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0)),
              STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(QueryAndSet, LinkPodDevicePowerHold,
                         ::testing::Values(static_cast<UCHAR>(IRP_MN_QUERY_POWER),
                                           static_cast<UCHAR>(IRP_MN_SET_POWER)));

TEST_F(LinkPodPower, DeviceSetsAndQueriesOutsideSystemTransitions) {
    StartDevice();
    EXPECT_EQ(Node().SendPower(IRP_MN_QUERY_POWER, DevicePowerState, Device(PowerDeviceD2)),
              STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD2)),
              STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3)),
              STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD3);
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0)),
              STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Ext()->Queue, QueueState::Allow);
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0)),
              STATUS_SUCCESS);
    EXPECT_EQ(Node().ReportedPower(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD2, PowerDeviceD3,
                                               PowerDeviceD0, PowerDeviceD0}));
    Settle();
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodPower, PowerBeforeStartIsPassedDownUnrecorded) {
    Boot();
    EXPECT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3)),
              STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodPower, RemoteWakeVetoesSleepDeeperThanItsWakeLevels) {
    Options options = WakeOptions();
    options.systemWake = PowerSystemSleeping1;
    options.deviceWake = PowerDeviceD2;
    StartDevice(options);
    EXPECT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Node().SendPower(IRP_MN_QUERY_POWER, DevicePowerState, Device(PowerDeviceD3)),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Node().SendPower(IRP_MN_QUERY_POWER, DevicePowerState, Device(PowerDeviceD2)),
              STATUS_SUCCESS);
    EXPECT_EQ(Node().SetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD2);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(LinkPodPower, NoRemoteWakeAttributeMeansNoWaitWake) {
    StartDevice();
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(Bus().WaitWakePending());
    EXPECT_EQ(Bus().Stats().waitWakes, 0u);
}

TEST_F(LinkPodPower, StartArmsOneWaitWakeAndSleepKeepsIt) {
    StartDevice(WakeOptions());
    Settle();
    EXPECT_TRUE(Bus().WaitWakePending());
    EXPECT_EQ(Bus().Stats().waitWakes, 1u);
    EXPECT_EQ(Ext()->WaitWakeOutstanding, 1);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Bus().Stats().waitWakes, 1u);
    EXPECT_TRUE(Bus().WaitWakePending());
}

TEST_F(LinkPodPower, WakeFromSleepReturnsToD0AndRearms) {
    StartDevice(WakeOptions());
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD3);
    Settle();
    ASSERT_TRUE(Bus().SignalWake());
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Bus().Stats().waitWakes, 2u);
    EXPECT_TRUE(Bus().WaitWakePending());
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(LinkPodPower, WakeWhileInD0StopsThere) {
    StartDevice(WakeOptions());
    Settle();
    ASSERT_TRUE(Bus().SignalWake());
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    EXPECT_EQ(Bus().Stats().waitWakes, 1u);
    EXPECT_FALSE(Bus().WaitWakePending());
    EXPECT_EQ(Ext()->WaitWakeOutstanding, 0);
}

TEST_F(LinkPodPower, FailedWaitWakeIsNotRetried) {
    StartDevice(WakeOptions());
    ASSERT_EQ(Node().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    Settle();
    ASSERT_TRUE(Bus().SignalWake(STATUS_UNSUCCESSFUL));
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD3);
    EXPECT_EQ(Bus().Stats().waitWakes, 1u);
    ASSERT_EQ(Node().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(LinkPodPower, StopWaitsForTheWakeCallbackOfARequestTheCompletionTook) {
    StartDevice(WakeOptions());
    ASSERT_EQ(Node().SendPower(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD2)),
              STATUS_SUCCESS);
    Settle();
    K().HoldPowerCallbacks(true);
    ASSERT_TRUE(Bus().SignalWake());
    ASSERT_EQ(K().HeldPowerCallbacks(), 1u);
    K().HoldPowerCallbacks(false);
    EXPECT_EQ(Ext()->WaitWakeIrp, nullptr);

    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    auto stop = Node().Async([](kshim::DeviceNode& node) { return node.Stop(); });
    // Read under the driver's own lock: the stop writes it on another thread.
    ASSERT_TRUE(WaitUntil([this] {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->WakeLock, &irql);
        const bool closed = Ext()->WaitWakeAllowed == 0;
        KeReleaseSpinLock(&Ext()->WakeLock, irql);
        return closed;
    }));
    EXPECT_EQ(K().ReleasePowerCallbacks(), 1u);
    ASSERT_EQ(stop.get(), STATUS_SUCCESS);
    Settle();
    // The late callback saw the stop: no D0 and no new wait-wake for a stopped device.
    EXPECT_FALSE(Bus().WaitWakePending());
    EXPECT_EQ(Bus().Stats().waitWakes, 1u);
    EXPECT_EQ(Ext()->WaitWakeOutstanding, 0);
    EXPECT_EQ(Bus().PowerState(), PowerDeviceD2);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodPower, StopAndRemovalCancelTheWaitWake) {
    StartDevice(WakeOptions());
    Settle();
    ASSERT_TRUE(Bus().WaitWakePending());
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(Node().Stop(), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(Bus().WaitWakePending());
    EXPECT_EQ(Ext()->WaitWakeIrp, nullptr);

    ASSERT_EQ(Node().Start(), STATUS_SUCCESS);
    Settle();
    EXPECT_TRUE(Bus().WaitWakePending());
    EXPECT_EQ(Bus().Stats().waitWakes, 2u);
    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(Bus().WaitWakePending());
}

} // namespace
} // namespace linkpodtest
