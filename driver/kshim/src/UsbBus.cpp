// The simulated USB bus driver.
#include "driver/kshim/UsbBus.h"

#include "driver/kshim/src/UsbBusImpl.h"

#include <cstdio>

namespace kshim {

using namespace bus;

std::vector<uint8_t> UsbDeviceModel::StringDescriptor(uint8_t, uint16_t) {
    return {};
}
void UsbDeviceModel::ResetPipe(uint8_t) {}
void UsbDeviceModel::ResetPort() {}
void UsbDeviceModel::Configured(bool) {}
void UsbDeviceModel::PowerChanged(DEVICE_POWER_STATE) {}

std::string UsbInstanceKey(SimulatedUsbDevice* usb) {
    return usb->InstanceKey();
}

std::string UsbInterfaceBase(SimulatedUsbDevice* usb) {
    return usb->InterfaceBase();
}

SimulatedUsbDevice::SimulatedUsbDevice(Kernel& kernel, UsbDeviceModel& model, FaultPlan plan)
    : model_(model), impl_(std::make_unique<Impl>()) {
    State& s = kernel.Internal();
    impl_->owner = this;
    impl_->state = &s;
    impl_->plan = plan;
    impl_->random.seed(plan.seed);
    {
        std::lock_guard<std::mutex> guard(s.mu);
        impl_->instance = s.nextUsbInstance++;
    }
    std::vector<uint8_t> device = model.DeviceDescriptor();
    if (device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        auto* descriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device.data());
        impl_->vendor = descriptor->idVendor;
        impl_->product = descriptor->idProduct;
    }
    DEVICE_CAPABILITIES& caps = impl_->caps;
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.DeviceD1 = 1;
    caps.DeviceD2 = 1;
    caps.Removable = 1;
    caps.WakeFromD2 = 1;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    PDRIVER_OBJECT bus = NewDriverObject("\\Driver\\usbhub");
    for (auto& entry : bus->MajorFunction)
        entry = bus::Dispatch;
    impl_->pdo = CreateDeviceObject(bus, sizeof(Impl*), FILE_DEVICE_UNKNOWN);
    *static_cast<Impl**>(impl_->pdo->DeviceExtension) = impl_.get();
    impl_->pdo->Flags = DO_POWER_PAGABLE;
    DeviceRecord* record = RecordOf(impl_->pdo);
    record->isPdo = true;
    record->usb = this;
}

SimulatedUsbDevice::~SimulatedUsbDevice() {
    // Requests still parked belong to a driver that was never told to give
    // them up; complete them so that no thread waits forever.
    std::vector<PIRP> left;
    {
        std::lock_guard<std::mutex> guard(impl_->mu);
        for (Parked& entry : impl_->parked)
            if (IoSetCancelRoutine(entry.irp, nullptr))
                left.push_back(entry.irp);
        impl_->parked.clear();
    }
    for (PIRP irp : left)
        impl_->Complete(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    impl_->state->owner->Settle();
    DeviceRecord* record = RecordOf(impl_->pdo);
    record->usb = nullptr;
    record->deleted = true;
}

PDEVICE_OBJECT SimulatedUsbDevice::Pdo() const {
    return impl_->pdo;
}

std::string SimulatedUsbDevice::InstanceKey() const {
    char text[160];
    std::snprintf(
        text, sizeof text,
        "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X\\%u",
        impl_->vendor, impl_->product, impl_->instance);
    return text;
}

std::string SimulatedUsbDevice::InterfaceBase() const {
    char text[96];
    std::snprintf(text, sizeof text, "\\??\\usb#vid_%04x&pid_%04x#%u", impl_->vendor,
                  impl_->product, impl_->instance);
    return text;
}

DEVICE_CAPABILITIES& SimulatedUsbDevice::Capabilities() {
    return impl_->caps;
}

void SimulatedUsbDevice::SetFaultPlan(FaultPlan plan) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->plan = plan;
    impl_->random.seed(plan.seed);
    impl_->bulkIndex = 0;
}

void SimulatedUsbDevice::RefuseAttach(bool refuse) {
    RecordOf(impl_->pdo)->refuseAttach = refuse;
}

void SimulatedUsbDevice::HoldTransfers(bool hold) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->hold = hold;
}

void SimulatedUsbDevice::ReleaseHeld() {
    std::unique_lock<std::mutex> guard(impl_->mu);
    bool any = false;
    for (Parked& entry : impl_->parked) {
        if (entry.kind == ParkKind::Held) {
            entry.kind = ParkKind::Deferred;
            entry.fate = UrbFate::Normal;
            any = true;
        }
    }
    if (any)
        impl_->StartDrain(guard);
}

void SimulatedUsbDevice::Kick() {
    std::unique_lock<std::mutex> guard(impl_->mu);
    bool any = false;
    for (Parked& entry : impl_->parked) {
        if (entry.kind == ParkKind::Nak) {
            entry.kind = ParkKind::Deferred;
            any = true;
        }
    }
    if (any)
        impl_->StartDrain(guard);
}

void SimulatedUsbDevice::Unplug() {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->plugged = false;
    impl_->connected = false;
    impl_->enabled = false;
}

bool SimulatedUsbDevice::Plugged() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->plugged;
}

void SimulatedUsbDevice::SetPort(bool connected, bool enabled) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->connected = connected;
    impl_->enabled = enabled;
}

void SimulatedUsbDevice::SetIdleCallbackAtOnce(bool atOnce) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->idleAtOnce = atOnce;
}

bool SimulatedUsbDevice::IdleRequestPending() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    for (const Parked& entry : impl_->parked)
        if (entry.kind == ParkKind::Idle)
            return true;
    return false;
}

bool SimulatedUsbDevice::FireIdleCallback() {
    USB_IDLE_CALLBACK_INFO info{};
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(impl_->mu);
        for (Parked& entry : impl_->parked) {
            if (entry.kind == ParkKind::Idle && !entry.idleCalled) {
                entry.idleCalled = true;
                entry.idleRunning = true;
                info = entry.idle;
                irp = entry.irp;
                break;
            }
        }
        if (!irp)
            return false;
    }
    Impl* impl = impl_.get();
    impl->state->Spawn([impl, info, irp] {
        info.IdleCallback(info.IdleContext);
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> guard(impl->mu);
            for (auto it = impl->parked.begin(); it != impl->parked.end(); ++it) {
                if (it->irp == irp && it->kind == ParkKind::Idle) {
                    it->idleRunning = false;
                    cancelled = it->idleCancelled;
                    if (cancelled)
                        impl->parked.erase(it);
                    break;
                }
            }
        }
        if (cancelled)
            impl->Complete(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    });
    return true;
}

bool SimulatedUsbDevice::CompleteIdleRequest(NTSTATUS status) {
    Parked entry;
    if (!impl_->TakeParked(ParkKind::Idle, &entry))
        return false;
    impl_->Complete(entry.irp, status, USBD_STATUS_SUCCESS);
    return true;
}

void SimulatedUsbDevice::HoldDevicePower(bool hold) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->holdPower = hold;
}

size_t SimulatedUsbDevice::HeldDevicePower() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    size_t count = 0;
    for (const Parked& entry : impl_->parked)
        count += entry.kind == ParkKind::Power ? 1 : 0;
    return count;
}

size_t SimulatedUsbDevice::ReleaseDevicePower() {
    // Only those held now: a request that one of them leads to stays held.
    std::vector<Parked> held;
    Parked entry;
    while (impl_->TakeParked(ParkKind::Power, &entry))
        held.push_back(entry);
    for (Parked& request : held)
        impl_->SetDevicePower(request.irp);
    return held.size();
}

bool SimulatedUsbDevice::WaitWakePending() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    for (const Parked& entry : impl_->parked)
        if (entry.kind == ParkKind::WaitWake)
            return true;
    return false;
}

bool SimulatedUsbDevice::SignalWake(NTSTATUS status) {
    Parked entry;
    if (!impl_->TakeParked(ParkKind::WaitWake, &entry))
        return false;
    impl_->Complete(entry.irp, status, USBD_STATUS_SUCCESS);
    return true;
}

SimulatedUsbDevice::Counters SimulatedUsbDevice::Stats() const {
    // The model may call back into the bus (Kick) while it holds modelMu.
    std::lock_guard<std::mutex> model(impl_->modelMu);
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->counters;
}

bool SimulatedUsbDevice::Configured() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->configured;
}

size_t SimulatedUsbDevice::HeldTransfers() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    size_t count = 0;
    for (const Parked& entry : impl_->parked)
        count += entry.kind != ParkKind::Idle && entry.kind != ParkKind::WaitWake &&
                         entry.kind != ParkKind::Power
                     ? 1
                     : 0;
    return count;
}

size_t SimulatedUsbDevice::ParkedRequests() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->parked.size();
}

DEVICE_POWER_STATE SimulatedUsbDevice::PowerState() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->power;
}

std::vector<DEVICE_POWER_STATE> SimulatedUsbDevice::PowerHistory() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->powerHistory;
}

SYSTEM_POWER_STATE SimulatedUsbDevice::SystemState() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->system;
}

} // namespace kshim
