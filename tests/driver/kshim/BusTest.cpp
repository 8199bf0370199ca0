// The simulated bus driver on its own: internal requests sent straight to the
// physical device object, as a function driver sends them.
#include "driver/kshim/UsbBus.h"
#include "tests/driver/kshim/TestUsbModel.h"

#include <gtest/gtest.h>

namespace {

class KshimBus : public ::testing::Test {
protected:
    void SetUp() override { bus = std::make_unique<kshim::SimulatedUsbDevice>(kernel, model); }
    void TearDown() override {
        kernel.Settle();
        bus.reset();
        for (const kshim::Violation& v : kernel.Violations())
            ADD_FAILURE() << v.detail;
    }

    // Sends an internal request and waits for it; the argument goes in Argument1.
    NTSTATUS Send(ULONG code, PVOID argument, PVOID type3 = nullptr) {
        KEVENT done;
        IO_STATUS_BLOCK io{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, bus->Pdo(), type3, 0, nullptr, 0, TRUE, &done, &io);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        if (IoCallDriver(bus->Pdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return io.Status;
    }

    NTSTATUS SendUrb(URB& urb) { return Send(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb); }

    // Selects the only configuration; returns the IN and OUT pipe handles.
    std::pair<USBD_PIPE_HANDLE, USBD_PIPE_HANDLE> Configure() {
        std::vector<uint8_t> config = model.ConfigurationDescriptor();
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1),
             nullptr},
            {nullptr, nullptr}};
        PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
        EXPECT_EQ(SendUrb(*select), STATUS_SUCCESS);
        auto pipes = std::make_pair(list[0].Interface->Pipes[0].PipeHandle,
                                    list[0].Interface->Pipes[1].PipeHandle);
        EXPECT_EQ(list[0].Interface->Pipes[0].EndpointAddress, 0x81);
        EXPECT_EQ(list[0].Interface->Pipes[1].PipeType, UsbdPipeTypeBulk);
        ExFreePool(select);
        return pipes;
    }

    NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, bool in, uint8_t* data, ULONG length, ULONG* moved,
                  USBD_STATUS* usbd = nullptr) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data, nullptr, length,
            USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0), nullptr);
        NTSTATUS status = SendUrb(urb);
        *moved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (usbd)
            *usbd = urb.UrbHeader.Status;
        return status;
    }

    kshim::Kernel kernel;
    kshimtest::TestUsbModel model;
    std::unique_ptr<kshim::SimulatedUsbDevice> bus;
};

TEST_F(KshimBus, DescriptorReadsCopyNoMoreThanAsked) {
    uint8_t head[9] = {};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head, nullptr,
                                 sizeof head, nullptr);
    EXPECT_EQ(SendUrb(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(head)->wTotalLength, 32);
    USB_DEVICE_DESCRIPTOR device{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, 64, nullptr);
    EXPECT_EQ(SendUrb(urb), STATUS_SUCCESS) << "a longer request gets the descriptor's length";
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(device.idVendor, 0x1234);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 0x21, 0, 0,
                                 &device, nullptr, 18, nullptr);
    EXPECT_EQ(SendUrb(urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(KshimBus, BulkTransfersNeedAConfigurationAndTheRightDirection) {
    uint8_t data[4] = {1, 2, 3, 4};
    ULONG moved = 0;
    USBD_STATUS usbd;
    EXPECT_EQ(Bulk(reinterpret_cast<PVOID>(0x1234), false, data, 4, &moved, &usbd),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
    auto [in, out] = Configure();
    EXPECT_TRUE(bus->Configured());
    EXPECT_EQ(Bulk(out, true, data, 4, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Bulk(out, false, data, 4, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 4u);
    uint8_t back[8] = {};
    EXPECT_EQ(Bulk(in, true, back, 8, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(back[3], 4);
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(struct _URB_SELECT_CONFIGURATION),
                                       nullptr);
    EXPECT_EQ(SendUrb(unconfigure), STATUS_SUCCESS);
    EXPECT_FALSE(bus->Configured());
    EXPECT_EQ(Bulk(out, false, data, 4, &moved), STATUS_INVALID_PARAMETER);
}

TEST_F(KshimBus, SeededPlanGivesTheSameFatesForTheSameSeed) {
    auto run = [&](uint32_t seed) {
        kshim::FaultPlan plan;
        plan.seed = seed;
        plan.fail = 0.3;
        plan.shortened = 0.3;
        bus->SetFaultPlan(plan);
        auto [in, out] = Configure();
        std::vector<std::pair<NTSTATUS, ULONG>> outcomes;
        uint8_t data[8] = {};
        for (int i = 0; i < 12; ++i) {
            ULONG moved = 0;
            NTSTATUS status = Bulk(out, false, data, 8, &moved);
            outcomes.emplace_back(status, moved);
        }
        return outcomes;
    };
    auto first = run(7);
    auto again = run(7);
    EXPECT_EQ(first, again);
    bool failed = false;
    bool shortened = false;
    for (auto [status, moved] : first) {
        failed = failed || status == STATUS_UNSUCCESSFUL;
        shortened = shortened || (status == STATUS_SUCCESS && moved == 4);
    }
    EXPECT_TRUE(failed && shortened) << "a 30% chance over 12 transfers shows both";
}

TEST_F(KshimBus, StallHaltsThePipeUntilItIsReset) {
    kshim::FaultPlan plan;
    plan.script[1] = kshim::UrbFate::Stall;
    bus->SetFaultPlan(plan);
    auto [in, out] = Configure();
    uint8_t data[2] = {};
    ULONG moved;
    USBD_STATUS usbd;
    EXPECT_EQ(Bulk(out, false, data, 2, &moved, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Bulk(out, false, data, 2, &moved, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);
    URB reset{};
    reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    reset.UrbPipeRequest.PipeHandle = out;
    EXPECT_EQ(SendUrb(reset), STATUS_SUCCESS);
    EXPECT_EQ(model.PipeResets(), 1);
    EXPECT_EQ(Bulk(out, false, data, 2, &moved), STATUS_SUCCESS);
}

TEST_F(KshimBus, NeverCompletingTransferEndsByAbortOrCancel) {
    kshim::FaultPlan plan;
    plan.never = 1.0;
    bus->SetFaultPlan(plan);
    auto [in, out] = Configure();
    uint8_t data[2] = {};
    KEVENT done;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in,
                                           data, nullptr, 2, USBD_TRANSFER_DIRECTION_IN, nullptr);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus->Pdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(bus->Pdo(), irp), STATUS_PENDING);
    EXPECT_EQ(bus->HeldTransfers(), 1u);
    URB abort{};
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = in;
    EXPECT_EQ(SendUrb(abort), STATUS_SUCCESS);
    EXPECT_EQ(io.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus->HeldTransfers(), 0u);

    KeClearEvent(&done);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus->Pdo(), nullptr, 0,
                                        nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    IoCallDriver(bus->Pdo(), irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(io.Status, STATUS_CANCELLED);
}

TEST_F(KshimBus, DeferredTransferCompletesOnABusThreadAtDispatchLevel) {
    kshim::FaultPlan plan;
    plan.deferred = 1.0;
    bus->SetFaultPlan(plan);
    auto [in, out] = Configure();
    uint8_t data[3] = {9, 8, 7};
    ULONG moved = 0;
    EXPECT_EQ(Bulk(out, false, data, 3, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(model.Written(), (std::vector<uint8_t>{9, 8, 7}));
}

TEST_F(KshimBus, PortStatusAndResetFollowThePortState) {
    ULONG port = 0;
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});
    bus->SetPort(true, false);
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG{USBD_PORT_CONNECTED});
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(model.PortResets(), 1);
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});
    bus->Unplug();
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
}

volatile LONG g_idleCalls = 0;
VOID IdleCallback(PVOID context) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    InterlockedIncrement(static_cast<volatile LONG*>(context));
}

TEST_F(KshimBus, IdleNotificationCallsBackAndStaysUntilCancelled) {
    bus->SetIdleCallbackAtOnce(false);
    volatile LONG calls = 0;
    USB_IDLE_CALLBACK_INFO info{IdleCallback, const_cast<LONG*>(&calls)};
    KEVENT done;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, bus->Pdo(),
                                      &info, sizeof info, nullptr, 0, TRUE, &done, &io);
    EXPECT_EQ(IoCallDriver(bus->Pdo(), irp), STATUS_PENDING);
    EXPECT_TRUE(bus->IdleRequestPending());
    EXPECT_EQ(Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info),
              STATUS_DEVICE_BUSY);
    EXPECT_TRUE(bus->FireIdleCallback());
    kernel.Settle();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(bus->FireIdleCallback()) << "the callback runs once per request";
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(io.Status, STATUS_CANCELLED);
    EXPECT_FALSE(bus->IdleRequestPending());
}

VOID WakeDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    EXPECT_EQ(minor, IRP_MN_WAIT_WAKE);
    *static_cast<NTSTATUS*>(context) = io->Status;
}

TEST_F(KshimBus, WaitWakeWaitsForTheDeviceToSignal) {
    NTSTATUS result = STATUS_PENDING;
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(bus->Pdo(), IRP_MN_WAIT_WAKE, state, WakeDone, &result, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr) << "the request is stored before it reaches the driver";
    kernel.Settle();
    EXPECT_TRUE(bus->WaitWakePending());
    EXPECT_EQ(result, STATUS_PENDING);
    EXPECT_TRUE(bus->SignalWake());
    EXPECT_EQ(result, STATUS_SUCCESS);

    state.SystemState = PowerSystemHibernate; // deeper than the device can wake from
    EXPECT_EQ(PoRequestPowerIrp(bus->Pdo(), IRP_MN_WAIT_WAKE, state, WakeDone, &result, nullptr),
              STATUS_PENDING);
    kernel.Settle();
    EXPECT_EQ(result, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kernel.Live().irps, 0u);
}

} // namespace

namespace {

class KshimBusPlan : public KshimBus {};

TEST_F(KshimBusPlan, FailuresCarryThePlansStatusAtOnceOrLaterAndAreCounted) {
    kshim::FaultPlan plan;
    plan.script[1] = kshim::UrbFate::Fail;
    plan.script[2] = kshim::UrbFate::FailLater;
    plan.failStatus = STATUS_DEVICE_NOT_CONNECTED;
    plan.failUsbd = USBD_STATUS_DEVICE_GONE;
    bus->SetFaultPlan(plan);
    auto [in, out] = Configure();
    uint8_t data[4] = {};
    ULONG moved;
    USBD_STATUS usbd;
    EXPECT_EQ(Bulk(out, false, data, 4, &moved, &usbd), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Bulk(in, true, data, 4, &moved, &usbd), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Bulk(out, false, data, 4, &moved), STATUS_SUCCESS);
    kshim::SimulatedUsbDevice::Counters stats = bus->Stats();
    EXPECT_EQ(stats.urbsByFunction[URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER], 3u);
    EXPECT_EQ(stats.urbsByFunction[URB_FUNCTION_SELECT_CONFIGURATION], 1u);
    EXPECT_EQ(stats.transfersByEndpoint[0x02], 2u);
    EXPECT_EQ(stats.transfersByEndpoint[0x81], 1u);
    EXPECT_TRUE(model.Written().size() == 4u) << "failed transfers move nothing";
}

} // namespace
