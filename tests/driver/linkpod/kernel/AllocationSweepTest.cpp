// Fails the k-th allocation of a load and start, of a transfer and of an idle
// cycle, for every k: each attempt either succeeds or fails cleanly with
// STATUS_INSUFFICIENT_RESOURCES, the device keeps working once memory is back,
// and nothing is left alive at unload.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include "driver/linkpod/LinkPodInterface.h"

namespace linkpodtest {
namespace {

constexpr int kStartRange = 41;
constexpr int kTransferRange = 9;
constexpr int kIdleRange = 7;

// The sweeps below must reach past the last allocation of what they sweep.
class LinkPodSweepRange : public LinkPodTest {};

TEST_F(LinkPodSweepRange, RangesCoverEveryAllocation) {
    const uint64_t beforeLoad = K().Allocations();
    StartDevice();
    const uint64_t start = K().Allocations() - beforeLoad;
    EXPECT_GT(start, 10u);
    EXPECT_LT(start, static_cast<uint64_t>(kStartRange));

    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(100);
    const uint64_t beforeWrite = K().Allocations();
    ASSERT_EQ(out->Write(data.data(), 100)->Wait(), STATUS_SUCCESS);
    const uint64_t write = K().Allocations() - beforeWrite;
    EXPECT_GE(write, 3u);
    EXPECT_LT(write, static_cast<uint64_t>(kTransferRange));
}

class LinkPodStartSweep : public LinkPodTest, public ::testing::WithParamInterface<int> {};

TEST_P(LinkPodStartSweep, LoadAddAndStartSurviveTheFailedAllocation) {
    model_ = std::make_unique<LoopbackModel>(ModelShape{});
    bus_ = std::make_unique<kshim::SimulatedUsbDevice>(K(), *model_);
    host_ = std::make_unique<kshim::DriverHost>(K(), DriverEntry, "linkpod");
    K().FailAllocationAt(static_cast<uint64_t>(GetParam()));

    const NTSTATUS load = host_->Load();
    if (!NT_SUCCESS(load)) {
        EXPECT_EQ(load, STATUS_INSUFFICIENT_RESOURCES);
        K().FailAllocationAt(0);
        return;
    }
    kshim::DeviceNode& node = host_->AddDevice(*bus_);
    if (!NT_SUCCESS(node.AddStatus())) {
        EXPECT_EQ(node.AddStatus(), STATUS_INSUFFICIENT_RESOURCES);
        K().FailAllocationAt(0);
        return;
    }
    node_ = &node;
    const NTSTATUS start = node.Start();
    K().FailAllocationAt(0);
    if (!NT_SUCCESS(start)) {
        EXPECT_EQ(start, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(Paths().empty());
        return;
    }
    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(32);
    EXPECT_EQ(out->Write(data.data(), 32)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Model().Written(), data);
}

INSTANTIATE_TEST_SUITE_P(EveryAllocation, LinkPodStartSweep, ::testing::Range(1, kStartRange));

class LinkPodTransferSweep : public LinkPodTest, public ::testing::WithParamInterface<int> {};

TEST_P(LinkPodTransferSweep, FailedTransferLeavesThePipeUsable) {
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    auto in = OpenOrFail("\\PIPE00");
    const auto data = Pattern(100, 4);
    K().FailAllocationAt(static_cast<uint64_t>(GetParam()));
    auto write = out->Write(data.data(), 100);
    const NTSTATUS status = write->Wait();
    K().FailAllocationAt(0);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(write->Information(), 100u);
    } else {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(out->Write(data.data(), 100)->Wait(), STATUS_SUCCESS);
    }
    std::vector<uint8_t> buffer(100);
    auto read = in->Read(buffer.data(), 100);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_P(LinkPodTransferSweep, FailedVendorRequestReportsResources) {
    StartDevice();
    auto device = OpenOrFail("");
    std::vector<uint8_t> block(24, 0);
    block[12] = 8;
    K().FailAllocationAt(static_cast<uint64_t>(GetParam()));
    auto request =
        device->Control(driver::linkpod::kIoctlVendorIn, block.data(), 24, block.data(), 24);
    const NTSTATUS status = request->Wait();
    K().FailAllocationAt(0);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << status;
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryAllocation, LinkPodTransferSweep,
                         ::testing::Range(1, kTransferRange));

class LinkPodIdleSweep : public LinkPodTest, public ::testing::WithParamInterface<int> {};

TEST_P(LinkPodIdleSweep, IdleCycleSurvivesTheFailedAllocation) {
    Options options;
    options.idleSuspend = true;
    StartDevice(options);
    Bus().SetIdleCallbackAtOnce(false);
    K().FailAllocationAt(static_cast<uint64_t>(GetParam()));
    K().AdvanceMs(5000);
    Settle();
    Bus().FireIdleCallback();
    Settle();
    K().FailAllocationAt(0);
    // Whatever happened, opening brings the device back to D0 and it works.
    auto out = OpenOrFail("\\PIPE01");
    Settle();
    EXPECT_EQ(driver::linkpod::DevicePowerOf(Ext()), PowerDeviceD0);
    const auto data = Pattern(16);
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_SUCCESS);
    out.reset();
    Settle();
    // And the timer still runs.
    K().AdvanceMs(15000);
    Settle();
    EXPECT_TRUE(Bus().IdleRequestPending());
}

INSTANTIATE_TEST_SUITE_P(EveryAllocation, LinkPodIdleSweep, ::testing::Range(1, kIdleRange));

} // namespace
} // namespace linkpodtest
