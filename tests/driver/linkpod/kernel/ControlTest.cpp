// The five control codes and their failures.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include "driver/linkpod/LinkPodInterface.h"

#include <cstring>

namespace linkpodtest {
namespace {

using namespace driver::linkpod;

// A vendor block: header fields, then `dataLength` bytes of room (or data).
std::vector<uint8_t> VendorBlock(uint8_t reserved, uint8_t request, uint16_t value, uint16_t index,
                                 uint32_t dataLength, size_t bufferLength) {
    std::vector<uint8_t> block(bufferLength, 0);
    block[0] = reserved;
    block[1] = request;
    block[4] = static_cast<uint8_t>(value);
    block[5] = static_cast<uint8_t>(value >> 8);
    block[8] = static_cast<uint8_t>(index);
    block[9] = static_cast<uint8_t>(index >> 8);
    for (int i = 0; i < 4; ++i) {
        block[12 + i] = static_cast<uint8_t>(dataLength >> (8 * i));
    }
    return block;
}

class LinkPodControl : public LinkPodTest {
protected:
    void SetUp() override {
        StartDevice();
        device_ = OpenOrFail("");
    }
    void TearDown() override {
        device_.reset();
        LinkPodTest::TearDown();
    }

    std::shared_ptr<kshim::IoRequest> Control(ULONG code, const std::vector<uint8_t>& input,
                                              std::vector<uint8_t>& output) {
        auto request = device_->Control(
            code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
            output.empty() ? nullptr : output.data(), static_cast<ULONG>(output.size()));
        request->Wait();
        return request;
    }

    std::unique_ptr<kshim::FileHandle> device_;
};

TEST_F(LinkPodControl, ConfigurationDescriptorNeedsRoomForItsTotalLength) {
    const auto expected = Model().ConfigurationDescriptor();
    std::vector<uint8_t> exact(expected.size());
    auto request = Control(kIoctlGetConfigDescriptor, {}, exact);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), expected.size());
    EXPECT_EQ(exact, expected);

    std::vector<uint8_t> roomy(200, 0xCC);
    request = Control(kIoctlGetConfigDescriptor, {}, roomy);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), expected.size());

    std::vector<uint8_t> shortBy1(expected.size() - 1);
    request = Control(kIoctlGetConfigDescriptor, {}, shortBy1);
    EXPECT_EQ(request->Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(request->Information(), 0u);
}

TEST_F(LinkPodControl, ResetDeviceResetsOnlyAConnectedDisabledPort) {
    std::vector<uint8_t> none;
    EXPECT_EQ(Control(kIoctlResetDevice, {}, none)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().portStatusQueries, 1u);
    EXPECT_EQ(Bus().Stats().portResets, 0u);

    Bus().SetPort(true, false);
    EXPECT_EQ(Control(kIoctlResetDevice, {}, none)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().portResets, 1u);

    Bus().SetPort(false, false);
    EXPECT_EQ(Control(kIoctlResetDevice, {}, none)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().portResets, 1u);
}

TEST_F(LinkPodControl, ResetPipeNeedsAPipeHandle) {
    std::vector<uint8_t> none;
    EXPECT_EQ(Control(kIoctlResetPipe, {}, none)->Status(), STATUS_INVALID_PARAMETER);
    auto pipe = OpenOrFail("\\PIPE00");
    auto request = pipe->Control(kIoctlResetPipe, nullptr, 0, nullptr, 0);
    EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().Stats().pipeResets, 1u);
}

TEST_F(LinkPodControl, VendorOutSendsTheBlockFieldsAndData) {
    auto block = VendorBlock(0x01, 0x42, 0x1234, 0xBEEF, 8, 24);
    for (int i = 0; i < 8; ++i) {
        block[16 + i] = static_cast<uint8_t>(0xA0 + i);
    }
    std::vector<uint8_t> none;
    auto request = Control(kIoctlVendorOut, block, none);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    // No output buffer: nothing may be reported as returned.
    EXPECT_EQ(request->Information(), 0u);
    const auto calls = Model().Controls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].setup.bmRequestType & 0xE0, 0x40); // vendor, host to device
    EXPECT_EQ(calls[0].setup.bRequest, 0x42);
    EXPECT_EQ(calls[0].setup.wValue, 0x1234);
    EXPECT_EQ(calls[0].setup.wIndex, 0xBEEF);
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>(block.begin() + 16, block.end()));
}

TEST_F(LinkPodControl, VendorInReturnsTheHeaderAsSentAndTheData) {
    Model().SetVendorInData({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    auto block = VendorBlock(0, 0x07, 2, 3, 8, 24);
    auto request = device_->Control(kIoctlVendorIn, block.data(), 24, block.data(), 24);
    EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), 24u);
    const auto header = VendorBlock(0, 0x07, 2, 3, 8, 16);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), block.begin()));
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 16, block.end()),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    const auto calls = Model().Controls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].setup.bmRequestType & 0xE0, 0xC0); // vendor, device to host
    EXPECT_EQ(calls[0].setup.wLength, 8);
}

TEST_F(LinkPodControl, VendorReportsNoMoreThanTheOutputBufferHolds) {
    auto block = VendorBlock(0, 1, 0, 0, 4, 24);
    std::vector<uint8_t> output(10, 0x55);
    auto request = Control(kIoctlVendorOut, block, output);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), 10u);
}

TEST_F(LinkPodControl, VendorBlocksThatDoNotFitAreRefused) {
    std::vector<uint8_t> output(24);
    std::vector<uint8_t> none;
    // Input shorter than 24 bytes.
    EXPECT_EQ(Control(kIoctlVendorOut, VendorBlock(0, 1, 0, 0, 0, 23), none)->Status(),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(kIoctlVendorIn, VendorBlock(0, 1, 0, 0, 0, 23), output)->Status(),
              STATUS_INVALID_PARAMETER);
    // No buffer at all.
    EXPECT_EQ(Control(kIoctlVendorOut, {}, none)->Status(), STATUS_INVALID_PARAMETER);
    // Output shorter than 24 bytes for IN.
    std::vector<uint8_t> small(23);
    EXPECT_EQ(Control(kIoctlVendorIn, VendorBlock(0, 1, 0, 0, 0, 24), small)->Status(),
              STATUS_INVALID_PARAMETER);
    // A data length reaching past the buffer never reaches the device.
    EXPECT_EQ(Control(kIoctlVendorOut, VendorBlock(0, 1, 0, 0, 9, 24), none)->Status(),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(kIoctlVendorIn, VendorBlock(0, 1, 0, 0, 0xFFFFFFF0u, 64), output)->Status(),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Model().Controls().empty());
    // Exactly filling the buffer is fine.
    EXPECT_EQ(Control(kIoctlVendorOut, VendorBlock(0, 1, 0, 0, 48, 64), none)->Status(),
              STATUS_SUCCESS);
    ASSERT_EQ(Model().Controls().size(), 1u);
    EXPECT_EQ(Model().Controls()[0].data.size(), 48u);
}

TEST_F(LinkPodControl, UnknownCodesAndStoppedDevicesAreRefused) {
    std::vector<uint8_t> none;
    EXPECT_EQ(Control(0x220014, {}, none)->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Control(0x22000Eu, {}, none)->Status(), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(Node().QueryStop(), STATUS_SUCCESS);
    std::vector<uint8_t> output(64);
    auto request = Control(kIoctlGetConfigDescriptor, {}, output);
    EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(request->Information(), 0u);
    ASSERT_EQ(Node().CancelStop(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(LinkPodControl, FailedVendorRequestPassesTheBusStatusBack) {
    kshim::FaultPlan plan;
    plan.script[1] = kshim::UrbFate::Stall;
    plan.vendorToo = true;
    Bus().SetFaultPlan(plan);
    std::vector<uint8_t> output(24);
    auto block = VendorBlock(0, 1, 0, 0, 4, 24);
    auto request = Control(kIoctlVendorIn, block, output);
    EXPECT_FALSE(NT_SUCCESS(request->Status()));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

} // namespace
} // namespace linkpodtest
