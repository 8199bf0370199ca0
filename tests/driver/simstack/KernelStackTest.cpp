// The writers on the kernel's bus: their paths and members, the transfers that
// cross LINKPOD, plug and unplug as arrival, surprise removal and removal, the
// capture, and the backends programs select.
#include "tests/driver/simstack/KernelStackFixture.h"

#include "driver/simstack/Backend.h"
#include "tests/support/ProgramFolder.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace simstacktest {
namespace {

using Event = std::pair<port::DeviceEvent, std::string>;

TEST_F(KernelStackTest, WritersKeepTheirMembersAndPathsAndTransfersCrossTheKernelBus) {
    sim::WriterConfig config;
    config.member = 5;
    auto fifth = bus->AddWriter(config);
    stack->Settle();
    std::string path;
    ASSERT_TRUE(stack->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(path, writer->InterfacePath());
    for (uint32_t gap = 1; gap < 5; ++gap)
        EXPECT_FALSE(stack->InterfaceMember(port::kWriterInterfaceClass, gap, path)) << gap;
    ASSERT_TRUE(stack->InterfaceMember("5795843B-6684-43A4-81EE-D2DD1B5594B6", 5, path));
    EXPECT_EQ(path, fifth->InterfacePath());
    EXPECT_FALSE(stack->InterfaceMember("{00000000-0000-0000-0000-000000000000}", 0, path));
    EXPECT_EQ(stack->Stats().arrivals, 2u);

    EXPECT_TRUE(Detect());
    EXPECT_TRUE(Detect(fifth));
    EXPECT_EQ(stack->BusTransfers(), writer->TransferCount() + fifth->TransferCount())
        << "every transfer reached the writers through the kernel's bus";
    EXPECT_EQ(writer->TransferCount(), 2u);
}

TEST_F(KernelStackTest, PipesKeepTheirDirectionAndUnknownNamesDoNotOpen) {
    size_t moved = 0;
    uint8_t byte = 0;
    auto in = OpenPipe("\\pipe00");
    EXPECT_EQ(in->Write(&byte, 1, 3000, moved), Outcome::Failed);
    auto out = OpenPipe("\\PIPE01");
    EXPECT_EQ(out->Read(&byte, 1, 3000, moved), Outcome::Failed);
    auto device = stack->Open(writer->InterfacePath());
    ASSERT_NE(device, nullptr) << "enumeration opens the bare path";
    EXPECT_EQ(device->Read(&byte, 1, 3000, moved), Outcome::Failed);
    EXPECT_EQ(stack->Open(writer->InterfacePath() + "\\PIPE06"), nullptr);
    EXPECT_EQ(stack->Open(writer->InterfacePath() + "x"), nullptr);
    EXPECT_EQ(stack->Open("\\\\?\\usb#vid_f055&pid_0b0d#elsewhere#{x}\\PIPE00"), nullptr);
    EXPECT_EQ(writer->TransferCount(), 0u) << "nothing wrong reached the writer";
}

TEST_F(KernelStackTest, UnplugMidTransferIsSurpriseRemovalAndTheWriterIsFoundAgainAfterReplug) {
    std::mutex mu;
    std::vector<Event> events;
    stack->SetEventHandler([&](port::DeviceEvent event, const std::string& path) {
        std::lock_guard<std::mutex> guard(mu);
        events.emplace_back(event, path);
    });
    ASSERT_TRUE(Detect());
    sim::TransportFault unplug;
    unplug.kind = sim::TransportFaultKind::Unplug;
    writer->AddTransportFault(unplug);

    auto out = OpenPipe("\\PIPE01");
    const Bytes query = DetectionQuery();
    size_t moved = 7;
    EXPECT_EQ(out->Write(query.data(), query.size(), 3000, moved), Outcome::Failed);
    EXPECT_EQ(moved, 0u);
    stack->Settle();
    EXPECT_EQ(stack->Stats().surpriseRemovals, 1u);
    EXPECT_EQ(stack->Stats().removals, 0u) << "removal waits for the open handle";
    std::string path;
    EXPECT_FALSE(stack->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(stack->Open(writer->InterfacePath() + "\\PIPE01"), nullptr);
    EXPECT_EQ(out->Write(query.data(), query.size(), 3000, moved), Outcome::Failed);
    out.reset();
    stack->Settle();
    EXPECT_EQ(stack->Stats().removals, 1u);

    bus->Plug(0);
    EXPECT_EQ(stack->Stats().arrivals, 2u);
    ASSERT_TRUE(stack->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(path, writer->InterfacePath());
    EXPECT_TRUE(Detect()) << "the next transfer finds the writer again";
    stack->Settle();
    std::lock_guard<std::mutex> guard(mu);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], Event(port::DeviceEvent::Removal, writer->InterfacePath()));
    EXPECT_EQ(events[1], Event(port::DeviceEvent::Arrival, writer->InterfacePath()));
}

TEST_F(KernelStackTest, WritersAddedUnpluggedAndRemovedFollowTheBus) {
    auto second = bus->AddWriter();
    EXPECT_TRUE(Detect(second));
    bus->Unplug(second->Member());
    bus->Unplug(0);
    EXPECT_EQ(stack->Stats().surpriseRemovals, 2u);
    EXPECT_EQ(stack->Stats().removals, 2u) << "no handle was open";
    bus->Plug(0);
    EXPECT_TRUE(Detect());
    bus->RemoveWriter(0);
    EXPECT_EQ(stack->Stats().removals, 3u);
    std::string path;
    EXPECT_FALSE(stack->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(stack->Stats().arrivals, 3u);
}

TEST_F(KernelStackTest, CaptureRecordsEveryTransferThatCrossedTheKernel) {
    testsupport::ProgramFolder folder;
    const std::string file = folder.File("through-kernel.pcap");
    std::string error;
    ASSERT_TRUE(bus->StartCapture(file, error)) << error;
    ASSERT_TRUE(Detect());
    bus->StopCapture();
    std::ifstream in(file, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(bytes[20], 220) << "usbmon link type";
    size_t records = 0;
    for (size_t at = 24; at + 16 <= bytes.size(); ++records) {
        const uint32_t captured = bytes[at + 8] | bytes[at + 9] << 8 | bytes[at + 10] << 16 |
                                  uint32_t(bytes[at + 11]) << 24;
        at += 16 + captured;
        ASSERT_LE(at, bytes.size()) << "record " << records << " runs past the file";
    }
    EXPECT_EQ(records, 4u) << "a submission and a completion for the write and the read";
}

TEST_F(KernelStackTest, OnlyOneKernelLivesAtATime) {
    EXPECT_THROW(driver::simstack::KernelStack second(bus), std::runtime_error);
    EXPECT_TRUE(Detect()) << "the first stack is untouched";
}

TEST_F(KernelStackTest, AHandleKeepsTheKernelUntilItCloses) {
    auto out = OpenPipe("\\PIPE01");
    stack.reset();
    const Bytes query = DetectionQuery();
    size_t moved = 0;
    EXPECT_EQ(out->Write(query.data(), query.size(), 3000, moved), Outcome::Done);
    out.reset();
    EXPECT_EQ(kshim::Kernel::Current(), nullptr) << "the last handle took the kernel down";
}

TEST_F(KernelStackTest, RegisteredSimGoesThroughTheKernelAndSimDirectDoesNot) {
    stack.reset();
    driver::simstack::RegisterDeviceIoBackends(bus);
    std::string error;
    auto kernel = port::CreateDeviceIo("sim", error);
    ASSERT_NE(kernel, nullptr) << error;
    EXPECT_EQ(kernel->Name(), "sim");
    EXPECT_NE(kshim::Kernel::Current(), nullptr);
    EXPECT_EQ(port::CreateDeviceIo("sim", error), nullptr);
    EXPECT_NE(error.find("another simulated kernel"), std::string::npos) << error;

    auto direct = port::CreateDeviceIo("sim-direct", error);
    ASSERT_NE(direct, nullptr) << error;
    EXPECT_EQ(direct->Name(), "sim-direct");
    std::string path;
    EXPECT_TRUE(direct->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_TRUE(kernel->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(path, writer->InterfacePath());
}

} // namespace
} // namespace simstacktest
