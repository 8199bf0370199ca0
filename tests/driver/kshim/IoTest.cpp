// The file-object layer with the test driver: opens by interface path and
// name, reads and writes as bulk transfers, control requests, cancellation,
// close with requests in flight, and faults from the bus.
#include "tests/driver/kshim/KernelFixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace kshimtest {
namespace {

class KshimIo : public KernelFixture {};

TEST_F(KshimIo, WriteThenReadRoundTripsThroughTheBulkPipes) {
    StartDevice();
    auto out = Open("\\PIPE01");
    auto in = Open("\\PIPE00");
    uint8_t data[5] = {1, 2, 3, 4, 5};
    auto write = out->Write(data, sizeof data);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 5u);
    uint8_t back[16] = {};
    auto read = in->Read(back, sizeof back);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 5u);
    EXPECT_EQ(back[4], 5);
    EXPECT_EQ(model.Written(), std::vector<uint8_t>(data, data + 5));
}

TEST_F(KshimIo, UserModePathFormAndUnknownPathsAreHandled) {
    StartDevice();
    std::string path = Path("\\PIPE01");
    std::string user = "\\\\?\\" + path.substr(4);
    std::unique_ptr<kshim::FileHandle> handle;
    EXPECT_EQ(kshim::FileHandle::Open(user, &handle), STATUS_SUCCESS);
    EXPECT_EQ(kshim::FileHandle::Open(Path("") + "X\\PIPE01", &handle),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kshim::FileHandle::Open("\\??\\USB#none", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kshim::FileHandle::Open(Path("\\PIPE07"), &handle), STATUS_INVALID_PARAMETER)
        << "the driver's own answer comes back";
}

TEST_F(KshimIo, ZeroLengthReadNeverReachesTheDevice) {
    StartDevice();
    auto in = Open("\\PIPE00");
    uint8_t byte = 0;
    auto read = in->Read(&byte, 0);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(bus->Stats().bulk, 0u);
}

TEST_F(KshimIo, HeldReadIsCancelledAndCloseWaitsForIt) {
    kshim::DeviceNode& node = StartDevice();
    bus->HoldTransfers(true);
    auto in = Open("\\PIPE00");
    uint8_t back[4];
    auto read = in->Read(back, sizeof back);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(bus->HeldTransfers(), 1u);
    auto second = in->Read(back, sizeof back);
    in->Close();
    EXPECT_EQ(second->Status(), STATUS_PENDING) << "cleanup does not end requests by itself";
    std::atomic<int> notified{0};
    read->OnDone([&] { ++notified; });
    EXPECT_EQ(notified, 0);
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(notified, 1);
    read->OnDone([&] { ++notified; });
    EXPECT_EQ(notified, 2) << "a finished request notifies at once";
    EXPECT_FALSE(read->Cancel()) << "nothing left to cancel";
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_THROW(node.Remove(), std::logic_error) << "the close waits for the last request";
    bus->ReleaseHeld();
    EXPECT_EQ(second->Wait(), STATUS_SUCCESS);
    kernel.Settle();
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
}

TEST_F(KshimIo, CancelIoFromAnotherThreadWhileWritesStart) {
    // A request is in its file's list from the moment another thread's
    // CancelIo can find it: it must by then carry its IRP.
    StartDevice();
    auto out = Open("\\PIPE01");
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        while (!stop)
            out->CancelIo();
    });
    // Fewer requests than the kernel keeps readable once freed: a cancel that
    // meets a finished request meets it in that state, not reused.
    std::vector<uint8_t> buffer(64, 0x5A);
    for (int i = 0; i < 1000; ++i) {
        const NTSTATUS status = out->Write(buffer.data(), 64)->Wait();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    }
    stop = true;
    canceller.join();
    out->Close();
    EXPECT_EQ(out->Write(buffer.data(), 64)->Wait(), STATUS_INVALID_HANDLE);
}

TEST_F(KshimIo, ReadWaitsForDataUntilTheDeviceHasSome) {
    model.SetNakWhenEmpty(true);
    StartDevice();
    auto in = Open("\\PIPE00");
    uint8_t back[4] = {};
    auto read = in->Read(back, sizeof back);
    EXPECT_FALSE(read->Done());
    model.Queue({0xAB});
    bus->Kick();
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 1u);
    EXPECT_EQ(back[0], 0xAB);
}

TEST_F(KshimIo, StalledPipeFailsUntilTheDriverResetsIt) {
    StartDevice();
    kshim::FaultPlan plan;
    plan.script[1] = kshim::UrbFate::Stall;
    bus->SetFaultPlan(plan);
    auto in = Open("\\PIPE00");
    uint8_t back[4];
    EXPECT_EQ(in->Read(back, 4)->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in->Read(back, 4)->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in->Control(IOCTL_TEST_RESET_PIPE, nullptr, 0, nullptr, 0)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in->Read(back, 4)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(model.PipeResets(), 1);
}

TEST_F(KshimIo, ShortAndDeferredTransfersReportWhatMoved) {
    StartDevice();
    kshim::FaultPlan plan;
    plan.script[1] = kshim::UrbFate::Short;
    plan.script[2] = kshim::UrbFate::Deferred;
    bus->SetFaultPlan(plan);
    auto out = Open("\\PIPE01");
    uint8_t data[10] = {};
    auto first = out->Write(data, 10);
    EXPECT_EQ(first->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 5u);
    auto second = out->Write(data, 10);
    EXPECT_EQ(second->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(second->Information(), 10u);
    EXPECT_EQ(model.Written().size(), 15u);
}

TEST_F(KshimIo, BufferedControlAndVendorRequestsCarryTheirData) {
    StartDevice();
    auto device = Open("");
    uint8_t data[3];
    auto out = Open("\\PIPE01");
    out->Write(data, 3)->Wait();
    ULONG count = 0;
    auto request = device->Control(IOCTL_TEST_COUNT, nullptr, 0, &count, sizeof count);
    EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), 4u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(device->Control(IOCTL_TEST_COUNT, nullptr, 0, &count, 2)->Wait(),
              STATUS_BUFFER_TOO_SMALL);
    uint8_t vendor[8] = {};
    request = device->Control(IOCTL_TEST_VENDOR, nullptr, 0, vendor, sizeof vendor);
    EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), 8u);
    EXPECT_EQ(vendor[7], 0xC7);
    kshim::UsbSetup setup = model.LastSetup();
    EXPECT_EQ(setup.bmRequestType, 0xC0);
    EXPECT_EQ(setup.bRequest, 0x42);
    EXPECT_EQ(setup.wValue, 0x1234);
    EXPECT_EQ(setup.wIndex, 7);
    EXPECT_EQ(setup.wLength, 8);
    EXPECT_EQ(device->Control(0x22FFFF, nullptr, 0, nullptr, 0)->Wait(),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->Read(data, 3)->Wait(), STATUS_INVALID_HANDLE);
}

TEST_F(KshimIo, DriverTimerRunsEveryPeriodOnVirtualTime) {
    kshim::DeviceNode* nodeOf = &StartDevice();
    auto device = Open("");
    EXPECT_EQ(device->Control(IOCTL_TEST_TIMER, nullptr, 0, nullptr, 0)->Wait(), STATUS_SUCCESS);
    kernel.AdvanceMs(4999);
    EXPECT_EQ(TimerTicks(), 0);
    kernel.AdvanceMs(1);
    EXPECT_EQ(TimerTicks(), 1);
    kernel.AdvanceMs(10000);
    EXPECT_EQ(TimerTicks(), 3);
    // The test driver never stops this timer: removal deletes it while set.
    device->Close();
    kshim::DeviceNode& node = *nodeOf;
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel.Has(kshim::Check::TimerInFreedMemory));
    Expect(kshim::Check::TimerInFreedMemory);
}

TEST_F(KshimIo, AllocationFailureSweepOverAStartAndATransferLeavesNoLeak) {
    // One run from load to a finished write; returns the allocations it made.
    auto run = [&](kshim::SimulatedUsbDevice& device, kshim::DriverHost& driver) {
        uint64_t before = kernel.Allocations();
        if (!NT_SUCCESS(driver.Load()))
            return kernel.Allocations() - before;
        kshim::DeviceNode& node = driver.AddDevice(device);
        if (NT_SUCCESS(node.AddStatus()) && NT_SUCCESS(node.Start())) {
            std::unique_ptr<kshim::FileHandle> out;
            std::string path = kshim::InterfacePaths(kTestInterface).at(0) + "\\PIPE01";
            if (NT_SUCCESS(kshim::FileHandle::Open(path, &out))) {
                uint8_t data[4] = {1, 2, 3, 4};
                out->Write(data, sizeof data)->Wait();
                out->Close();
            }
            node.QueryRemove();
            node.Remove();
        }
        return kernel.Allocations() - before;
    };
    uint64_t total;
    {
        kshim::SimulatedUsbDevice device(kernel, model);
        kshim::DriverHost driver(kernel, TestDriverEntry, "SWEEP");
        total = run(device, driver);
    }
    ASSERT_GT(total, 5u);
    for (uint64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE("failing allocation " + std::to_string(k));
        kshim::SimulatedUsbDevice device(kernel, model);
        kshim::DriverHost driver(kernel, TestDriverEntry, "SWEEP");
        kernel.FailAllocationAt(k);
        run(device, driver);
        kernel.FailAllocationAt(0);
        kernel.Settle();
        EXPECT_FALSE(driver.Loaded());
        EXPECT_EQ(kernel.Live().Total(), 0u);
    }
}

} // namespace
} // namespace kshimtest

namespace kshimtest {
namespace {

class KshimIoLoad : public KernelFixture {};

TEST_F(KshimIoLoad, ManyThreadsWithMixedFatesAndCancelsKeepEveryRule) {
    kshim::DeviceNode& node = StartDevice();
    kshim::FaultPlan plan;
    plan.seed = 42;
    plan.deferred = 0.4;
    plan.shortened = 0.1;
    plan.fail = 0.05;
    plan.never = 0.05;
    bus->SetFaultPlan(plan);
    std::atomic<int> finished{0};
    std::atomic<int> cancelled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto out = Open(t % 2 ? "\\PIPE01" : "\\PIPE00");
            std::vector<uint8_t> buffer(64, static_cast<uint8_t>(t));
            for (int i = 0; i < 100; ++i) {
                auto request = t % 2 ? out->Write(buffer.data(), 64) : out->Read(buffer.data(), 64);
                // Once no kernel thread has work, a request still pending is one
                // the bus holds for ever: cancel it.
                kernel.Settle();
                if (!request->Done() && request->Cancel())
                    ++cancelled;
                NTSTATUS status = request->Wait();
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL ||
                            status == STATUS_CANCELLED)
                    << std::hex << status;
                ++finished;
            }
            out->Close();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(finished, 400);
    EXPECT_GT(cancelled, 0) << "a 5% chance of never completing shows in 400 transfers";
    kernel.Settle();
    EXPECT_EQ(bus->HeldTransfers(), 0u);
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.Live().Total(), 0u);
}

} // namespace
} // namespace kshimtest
