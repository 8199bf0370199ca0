// Plug and Play: start, stop, cancel, surprise removal and removal, and the
// device's capabilities.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <chrono>
#include <future>

namespace linkpodtest {
namespace {

using namespace std::chrono_literals;
using PnpState = kshim::DeviceNode::PnpState;

class LinkPodLifecycle : public LinkPodTest {};

TEST_F(LinkPodLifecycle, AddDeviceRegistersButEnablesNothingUntilStart) {
    Boot();
    EXPECT_EQ(Ext()->State, DeviceState::NotStarted);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    EXPECT_TRUE(Node().WmiRegistered());
    EXPECT_TRUE(Paths().empty());
    EXPECT_FALSE(Node().Fdo()->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(Node().Fdo()->Flags & DO_DIRECT_IO);
}

TEST_F(LinkPodLifecycle, StartReadsDescriptorsSelectsConfigurationAndEnablesInterface) {
    StartDevice();
    const auto stats = Bus().Stats();
    EXPECT_EQ(stats.descriptorReads, 3u); // device, configuration header, full configuration
    EXPECT_EQ(stats.selects, 1u);
    EXPECT_TRUE(Bus().Configured());
    ASSERT_EQ(Paths().size(), 1u);
    ASSERT_NE(Ext()->Interface, nullptr);
    ASSERT_EQ(Ext()->Interface->NumberOfPipes, 2u);
    EXPECT_EQ(Ext()->Interface->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(Ext()->Interface->Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(Ext()->PipeOpen[0], 0);
    EXPECT_EQ(Ext()->PipeOpen[1], 0);
    EXPECT_EQ(Ext()->ConfigDescriptor->wTotalLength, Model().ConfigurationDescriptor().size());
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodLifecycle, InterfaceSearchSkipsMissingInterfaceNumbers) {
    Options options;
    options.shape.extraInterfaces = {2};
    StartDevice(options);
    EXPECT_TRUE(Bus().Configured());
    EXPECT_EQ(Ext()->Interface->NumberOfPipes, 2u);
}

TEST_F(LinkPodLifecycle, ConfigurationShorterThanItClaimsFailsStartWithoutLeaks) {
    Options options;
    options.shape.claimedTotalLength = 200;
    Boot(options);
    EXPECT_EQ(Node().Start(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(Paths().empty());
}

TEST_F(LinkPodLifecycle, StopUnconfiguresButKeepsTheInterfaceAndRestartWorks) {
    StartDevice();
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::StopPending);
    ASSERT_EQ(Node().Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::Stopped);
    EXPECT_FALSE(Bus().Configured());
    EXPECT_EQ(Ext()->ConfigDescriptor, nullptr);
    EXPECT_EQ(Ext()->Interface, nullptr);
    EXPECT_EQ(Paths().size(), 1u);
    std::unique_ptr<kshim::FileHandle> handle;
    EXPECT_EQ(Open("\\PIPE01", &handle), STATUS_INVALID_DEVICE_STATE);

    ASSERT_EQ(Node().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::Running);
    EXPECT_EQ(Bus().Stats().selects, 3u); // select, unconfigure, select
    EXPECT_TRUE(Bus().Configured());
    EXPECT_EQ(Open("\\PIPE01", &handle), STATUS_SUCCESS);
}

TEST_F(LinkPodLifecycle, HandlesOpenedBeforeStopFindTheirPipesAfterRestart) {
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    auto in = OpenOrFail("\\PIPE00");
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(Node().Stop(), STATUS_SUCCESS);
    const auto data = Pattern(32, 5);
    EXPECT_EQ(out->Write(data.data(), 32)->Wait(), STATUS_INVALID_DEVICE_STATE);

    // The new configuration brings new pipe handles and a new pipe table.
    ASSERT_EQ(Node().Start(), STATUS_SUCCESS);
    auto write = out->Write(data.data(), 32);
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 32u);
    std::vector<uint8_t> back(32);
    ASSERT_EQ(in->Read(back.data(), 32)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Bus().Stats().transfersByEndpoint[0x02], 1u);
    EXPECT_EQ(Bus().Stats().transfersByEndpoint[0x81], 1u);
}

TEST_F(LinkPodLifecycle, LongestRegistryPathIsSavedWhole) {
    // 32767 characters: the most a 16-bit byte count holds, with no room left
    // to count the terminating NUL.
    const std::string prefix = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    kshim::DriverHost host(K(), DriverEntry, std::string(32767 - prefix.size(), 'p'));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    PUNICODE_STRING saved = driver::linkpod::SavedRegistryPath();
    ASSERT_EQ(saved->Length, 65534u);
    EXPECT_GE(saved->MaximumLength, saved->Length);
    EXPECT_EQ(saved->Buffer[0], u'\\');
    EXPECT_EQ(saved->Buffer[32766], u'p');
    EXPECT_EQ(saved->Buffer[32767], u'\0');
    host.Unload();
}

TEST_F(LinkPodLifecycle, CancelStopAndCancelRemoveReturnToRunning) {
    StartDevice();
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(Node().CancelStop(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::Running);
    EXPECT_EQ(Ext()->Queue, driver::linkpod::QueueState::Allow);

    ASSERT_EQ(Node().QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::RemovePending);
    ASSERT_EQ(Node().CancelRemove(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::Running);
    auto handle = OpenOrFail("\\PIPE00");
}

TEST_F(LinkPodLifecycle, CancelWithoutMatchingQueryLeavesStateAlone) {
    StartDevice();
    EXPECT_EQ(Node().SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Node().SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->State, DeviceState::Running);
}

TEST_F(LinkPodLifecycle, QueryRemoveWaitsForTheTransferInFlight) {
    StartDevice();
    auto handle = OpenOrFail("\\PIPE01");
    Bus().HoldTransfers(true);
    const auto data = Pattern(64);
    auto write = handle->Write(data.data(), 64);
    ASSERT_FALSE(write->Done());

    std::future<NTSTATUS> query =
        Node().Async([](kshim::DeviceNode& node) { return node.QueryRemove(); });
    EXPECT_TRUE(WaitUntil([&] { return LockedState() == DeviceState::RemovePending; }));
    EXPECT_EQ(query.wait_for(100ms), std::future_status::timeout);

    Bus().HoldTransfers(false);
    Bus().ReleaseHeld();
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(query.get(), STATUS_SUCCESS);
    EXPECT_EQ(Model().Written(), data);
    handle.reset();
}

TEST_F(LinkPodLifecycle, SurpriseRemovalAbortsOpenPipesAndFailsTransfersInFlight) {
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    auto out = OpenOrFail("\\PIPE01");
    Bus().HoldTransfers(true);
    std::vector<uint8_t> buffer(512);
    auto read = in->Read(buffer.data(), 512);
    const auto data = Pattern(300);
    auto write = out->Write(data.data(), 300);
    ASSERT_FALSE(read->Done());

    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(read->Wait()));
    EXPECT_FALSE(NT_SUCCESS(write->Wait()));
    EXPECT_EQ(Bus().Stats().aborts, 2u);
    EXPECT_EQ(Ext()->State, DeviceState::SurpriseRemoved);
    EXPECT_TRUE(Paths().empty());
    EXPECT_EQ(in->Read(buffer.data(), 8)->Wait(), STATUS_INVALID_DEVICE_STATE);

    in.reset();
    out.reset();
    Settle();
    ASSERT_EQ(Node().Remove(), STATUS_SUCCESS);
    // Removal after surprise removal does not abort a second time.
    EXPECT_EQ(Bus().Stats().aborts, 2u);
    EXPECT_FALSE(Node().WmiRegistered());
}

TEST_F(LinkPodLifecycle, ClosingOneOfTwoHandlesOnAPipeSparesItFromAbort) {
    StartDevice();
    auto first = OpenOrFail("\\PIPE01");
    auto second = OpenOrFail("\\PIPE01");
    EXPECT_EQ(Ext()->PipeOpen[1], 1);
    EXPECT_EQ(Ext()->OpenHandles, 2);
    first.reset();
    EXPECT_EQ(Ext()->PipeOpen[1], 0);
    EXPECT_EQ(Ext()->OpenHandles, 1);
    second.reset();
    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().aborts, 0u);
}

TEST_F(LinkPodLifecycle, OrderlyRemovalDisablesInterfaceAndDeregistersWmi) {
    StartDevice();
    ASSERT_EQ(Node().QueryRemove(), STATUS_SUCCESS);
    ASSERT_EQ(Node().Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(Paths().empty());
    EXPECT_FALSE(Node().WmiRegistered());
}

TEST_F(LinkPodLifecycle, RemoveOfADeviceNeverStarted) {
    Boot();
    ASSERT_EQ(Node().Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(Node().WmiRegistered());
}

TEST_F(LinkPodLifecycle, UnusableCapabilityStructuresAreRefused) {
    Boot();
    EXPECT_EQ(Node().QueryCapabilities(nullptr, 63, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Node().QueryCapabilities(nullptr, 64, 0), STATUS_UNSUCCESSFUL);
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(Node().QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(Ext()->Capabilities.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(Ext()->Capabilities.DeviceState[PowerSystemSleeping2], PowerDeviceD3);
}

struct PowerDownCase {
    DEVICE_POWER_STATE s1, s2, s3;
    DEVICE_POWER_STATE expected;
};

class LinkPodPowerDownLevel : public LinkPodTest,
                              public ::testing::WithParamInterface<PowerDownCase> {};

TEST_P(LinkPodPowerDownLevel, LastSleepStateShallowerThanD3WinsElseD2) {
    const PowerDownCase c = GetParam();
    Options options;
    options.sleepStates[0] = c.s1;
    options.sleepStates[1] = c.s2;
    options.sleepStates[2] = c.s3;
    Boot(options);
    ASSERT_EQ(Node().QueryCapabilities(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PowerDownLevel, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, LinkPodPowerDownLevel,
    ::testing::Values(PowerDownCase{PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
                      PowerDownCase{PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
                      PowerDownCase{PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
                      PowerDownCase{PowerDeviceD3, PowerDeviceD3, PowerDeviceD1, PowerDeviceD1},
                      PowerDownCase{PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
                      PowerDownCase{PowerDeviceD1, PowerDeviceD0, PowerDeviceD3, PowerDeviceD2},
                      PowerDownCase{PowerDeviceUnspecified, PowerDeviceUnspecified,
                                    PowerDeviceUnspecified, PowerDeviceD2}));

} // namespace
} // namespace linkpodtest
