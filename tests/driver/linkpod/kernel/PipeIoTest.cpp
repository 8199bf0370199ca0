// Opening pipes by name, reads and writes as bulk transfers, and what happens
// when the bus fails a transfer.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <algorithm>

namespace linkpodtest {
namespace {

class LinkPodPipeIo : public LinkPodTest {};

TEST_F(LinkPodPipeIo, PipeNamesResolveByTheirLastDigits) {
    StartDevice();
    std::unique_ptr<kshim::FileHandle> handle;
    EXPECT_EQ(Open("\\PIPE06", &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open("\\PIPE05", &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open("\\PIPE02", &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open("\\PIPE", &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ext()->OpenHandles, 0);

    // "\X1Y" is pipe 1: what is written through it reaches the OUT endpoint.
    auto odd = OpenOrFail("\\X1Y");
    EXPECT_EQ(Ext()->PipeOpen[1], 1);
    const auto data = Pattern(10);
    auto write = odd->Write(data.data(), 10);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Model().Written(), data);
}

TEST_F(LinkPodPipeIo, SixPipeInterfaceOpensPipeFiveButNeverSix) {
    Options options;
    options.shape.extraBulkPipes = 4;
    StartDevice(options);
    auto fifth = OpenOrFail("\\PIPE05");
    EXPECT_EQ(Ext()->PipeOpen[5], 1);
    std::unique_ptr<kshim::FileHandle> handle;
    EXPECT_EQ(Open("\\PIPE06", &handle), STATUS_INVALID_PARAMETER);
}

TEST_F(LinkPodPipeIo, WrittenBytesComeBackThroughTheInPipe) {
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    auto in = OpenOrFail("\\PIPE00");
    const auto data = Pattern(64, 9);
    auto write = out->Write(data.data(), 64);
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 64u);

    std::vector<uint8_t> buffer(64);
    auto read = in->Read(buffer.data(), 64);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 64u);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodPipeIo, ShortReadReportsWhatArrived) {
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    Model().QueueIn({1, 2, 3});
    std::vector<uint8_t> buffer(64, 0xEE);
    auto read = in->Read(buffer.data(), 64);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 3u);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(buffer[3], 0xEE);
}

TEST_F(LinkPodPipeIo, ZeroLengthTransfersNeverReachTheDevice) {
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    auto out = OpenOrFail("\\PIPE01");
    uint8_t byte = 0;
    auto read = in->Read(&byte, 0);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 0u);
    auto write = out->Write(&byte, 0);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().bulk, 0u);
}

TEST_F(LinkPodPipeIo, LargeWriteGoesDownAsOneTransfer) {
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(1 << 20, 3);
    auto write = out->Write(data.data(), static_cast<ULONG>(data.size()));
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), data.size());
    EXPECT_EQ(Model().BulkSizes(), std::vector<uint32_t>{1u << 20});
    EXPECT_EQ(Model().Written(), data);
}

TEST_F(LinkPodPipeIo, StagedTransferCarriesEveryByteInOrder) {
    // A limit that is not whole packets is cut to them (4000 -> 3968).
    K().GetRegistry().SetDword(
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\PODLINK\\Parameters",
        "MaximumTransferSize", 4000);
    StartDevice();
    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(10000, 5);
    auto write = out->Write(data.data(), 10000);
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 10000u);
    EXPECT_EQ(Model().BulkSizes(), (std::vector<uint32_t>{3968, 3968, 2064}));
    EXPECT_EQ(Model().Written(), data);

    auto in = OpenOrFail("\\PIPE00");
    std::vector<uint8_t> buffer(10000);
    auto read = in->Read(buffer.data(), 10000);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 10000u);
    EXPECT_EQ(buffer, data);
}

TEST_F(LinkPodPipeIo, ShortStageEndsASplitReadWithEveryByteInPlace) {
    K().GetRegistry().SetDword(
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\PODLINK\\Parameters",
        "MaximumTransferSize", 4000);
    Options options;
    // The read's second stage of 3968 bytes moves half of them.
    options.plan.script[2] = kshim::UrbFate::Short;
    StartDevice(options);
    auto in = OpenOrFail("\\PIPE00");
    const auto data = Pattern(10000, 11);
    Model().QueueIn(data);
    std::vector<uint8_t> buffer(10000, 0xEE);
    auto read = in->Read(buffer.data(), 10000);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    // The short stage ends the read: 3968 + 1984 bytes, back to back.
    EXPECT_EQ(read->Information(), 5952u);
    EXPECT_EQ(Model().BulkSizes(), (std::vector<uint32_t>{3968, 1984}));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5952, data.begin()));
    EXPECT_EQ(std::count(buffer.begin() + 5952, buffer.end(), 0xEE), 10000 - 5952);
}

TEST_F(LinkPodPipeIo, TransfersNeedABulkPipeHandle) {
    Options options;
    options.shape.interruptPipe = true;
    StartDevice(options);
    auto device = OpenOrFail("");
    EXPECT_EQ(Ext()->OpenHandles, 1);
    std::vector<uint8_t> buffer(8);
    EXPECT_EQ(device->Read(buffer.data(), 8)->Wait(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(device->Write(buffer.data(), 8)->Wait(), STATUS_INVALID_HANDLE);
    auto interrupt = OpenOrFail("\\PIPE02");
    EXPECT_EQ(interrupt->Read(buffer.data(), 8)->Wait(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Bus().Stats().bulk, 0u);
}

TEST_F(LinkPodPipeIo, CancelledReadCompletesCancelledAndFreesEverything) {
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    Bus().HoldTransfers(true);
    std::vector<uint8_t> buffer(32);
    auto read = in->Read(buffer.data(), 32);
    ASSERT_FALSE(read->Done());
    EXPECT_EQ(Ext()->OutstandingIo, 2);
    read->Cancel();
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    Bus().HoldTransfers(false);
}

TEST_F(LinkPodPipeIo, ManyTransfersInFlightOnBothPipes) {
    StartDevice();
    auto in = OpenOrFail("\\PIPE00");
    auto out = OpenOrFail("\\PIPE01");
    Bus().HoldTransfers(true);
    std::vector<std::vector<uint8_t>> data;
    std::vector<std::shared_ptr<kshim::IoRequest>> writes;
    for (int i = 0; i < 8; ++i) {
        data.push_back(Pattern(100, static_cast<uint8_t>(i)));
    }
    for (int i = 0; i < 8; ++i) {
        writes.push_back(out->Write(data[i].data(), 100));
    }
    EXPECT_EQ(Ext()->OutstandingIo, 9);
    Bus().HoldTransfers(false);
    Bus().ReleaseHeld();
    for (auto& write : writes) {
        EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(write->Information(), 100u);
    }
    EXPECT_EQ(Model().Written().size(), 800u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodPipeIo, FailedTransferResetsThePipeOnly) {
    Options options;
    options.plan.script[1] = kshim::UrbFate::Fail;
    StartDevice(options);
    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(16);
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Bus().Stats().pipeResets, 1u);
    EXPECT_EQ(Bus().Stats().portStatusQueries, 0u);
    // The pipe works again afterwards.
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_SUCCESS);
}

TEST_F(LinkPodPipeIo, FailedPipeResetFallsBackToResettingTheDisabledPort) {
    Options options;
    options.plan.script[1] = kshim::UrbFate::Fail;
    StartDevice(options);
    auto out = OpenOrFail("\\PIPE01");
    Bus().SetPort(true, false);
    const auto data = Pattern(16);
    // A write takes the context, the partial MDL and the URB; the fourth
    // allocation is the pipe reset's URB.
    K().FailAllocationAt(4);
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_UNSUCCESSFUL);
    K().FailAllocationAt(0);
    EXPECT_EQ(Bus().Stats().pipeResets, 0u);
    EXPECT_EQ(Bus().Stats().portStatusQueries, 1u);
    EXPECT_EQ(Bus().Stats().portResets, 1u);
}

TEST_F(LinkPodPipeIo, StallAndDisconnectionTakeDifferentPaths) {
    Options options;
    options.plan.script[1] = kshim::UrbFate::Stall;
    StartDevice(options);
    auto out = OpenOrFail("\\PIPE01");
    const auto data = Pattern(16);
    EXPECT_FALSE(NT_SUCCESS(out->Write(data.data(), 16)->Wait()));
    EXPECT_EQ(Bus().Stats().pipeResets, 1u);
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_SUCCESS);

    // A device that has gone is not reset.
    Bus().Unplug();
    EXPECT_EQ(out->Write(data.data(), 16)->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Bus().Stats().pipeResets, 1u);
    EXPECT_EQ(Bus().Stats().portStatusQueries, 0u);
    out.reset();
    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
}

TEST_F(LinkPodPipeIo, OpenNeedsARunningDevice) {
    StartDevice();
    auto handle = OpenOrFail("\\PIPE00");
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    std::unique_ptr<kshim::FileHandle> second;
    EXPECT_EQ(Open("\\PIPE00", &second), STATUS_INVALID_DEVICE_STATE);
    std::vector<uint8_t> buffer(8);
    EXPECT_EQ(handle->Read(buffer.data(), 8)->Wait(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(Node().CancelStop(), STATUS_SUCCESS);
    Model().QueueIn({7});
    EXPECT_EQ(handle->Read(buffer.data(), 8)->Wait(), STATUS_SUCCESS);
}

} // namespace
} // namespace linkpodtest
