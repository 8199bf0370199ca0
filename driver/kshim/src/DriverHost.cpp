// The Plug and Play and power managers, and the WMI client side.
#include "driver/kshim/DriverHost.h"

#include "driver/kshim/src/State.h"

#include <stdexcept>

namespace kshim {

namespace {

const char* StateName(DeviceNode::PnpState state) {
    switch (state) {
    case DeviceNode::PnpState::Added:
        return "added";
    case DeviceNode::PnpState::Started:
        return "started";
    case DeviceNode::PnpState::StopPending:
        return "stop pending";
    case DeviceNode::PnpState::Stopped:
        return "stopped";
    case DeviceNode::PnpState::RemovePending:
        return "remove pending";
    case DeviceNode::PnpState::SurpriseRemoved:
        return "surprise removed";
    case DeviceNode::PnpState::Removed:
        return "removed";
    case DeviceNode::PnpState::Failed:
        return "failed";
    }
    return "?";
}

size_t Align8(size_t value) {
    return (value + 7) & ~size_t{7};
}

} // namespace

void DeviceNode::Require(bool legal, const char* request) const {
    if (!legal)
        throw std::logic_error(std::string(request) + " is never sent to a device that is " +
                               StateName(state_));
}

NTSTATUS DeviceNode::Send(UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill,
                          IO_STATUS_BLOCK* result) {
    PDEVICE_OBJECT top = TopOfStack(bus_.Pdo());
    PIRP irp = NewIrp(top->StackSize, IrpOrigin::Kernel);
    // Requests nobody handles keep this status on their way back.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill)
        fill(next);
    return SendAndWait(top, irp, result);
}

NTSTATUS DeviceNode::SendPnp(UCHAR minor) {
    return Send(IRP_MJ_PNP, minor, nullptr);
}

NTSTATUS DeviceNode::QueryCapabilities(DEVICE_CAPABILITIES* out, USHORT size, USHORT version) {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "IRP_MN_QUERY_CAPABILITIES");
    DEVICE_CAPABILITIES caps{};
    caps.Size = size;
    caps.Version = version;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    capabilitiesQueried_ = true;
    if (out)
        *out = caps;
    return status;
}

NTSTATUS DeviceNode::Start() {
    Require(state_ == PnpState::Added || state_ == PnpState::Stopped, "IRP_MN_START_DEVICE");
    if (!capabilitiesQueried_)
        QueryCapabilities();
    NTSTATUS status = SendPnp(IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status)) {
        state_ = PnpState::Started;
        return status;
    }
    SendPnp(IRP_MN_REMOVE_DEVICE);
    AfterRemove();
    return status;
}

NTSTATUS DeviceNode::QueryStop() {
    Require(state_ == PnpState::Started, "IRP_MN_QUERY_STOP_DEVICE");
    NTSTATUS status = SendPnp(IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) {
        state_ = PnpState::StopPending;
    } else {
        state_ = PnpState::StopPending;
        CancelStop();
    }
    return status;
}

NTSTATUS DeviceNode::CancelStop() {
    Require(state_ == PnpState::StopPending || state_ == PnpState::Started,
            "IRP_MN_CANCEL_STOP_DEVICE");
    NTSTATUS status = SendPnp(IRP_MN_CANCEL_STOP_DEVICE);
    state_ = PnpState::Started;
    return status;
}

NTSTATUS DeviceNode::Stop() {
    Require(state_ == PnpState::StopPending, "IRP_MN_STOP_DEVICE");
    NTSTATUS status = SendPnp(IRP_MN_STOP_DEVICE);
    state_ = PnpState::Stopped;
    return status;
}

NTSTATUS DeviceNode::QueryRemove() {
    Require(state_ == PnpState::Started || state_ == PnpState::Stopped,
            "IRP_MN_QUERY_REMOVE_DEVICE");
    NTSTATUS status = SendPnp(IRP_MN_QUERY_REMOVE_DEVICE);
    state_ = PnpState::RemovePending;
    if (!NT_SUCCESS(status))
        CancelRemove();
    return status;
}

NTSTATUS DeviceNode::CancelRemove() {
    Require(state_ == PnpState::RemovePending || state_ == PnpState::Started,
            "IRP_MN_CANCEL_REMOVE_DEVICE");
    NTSTATUS status = SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE);
    state_ = PnpState::Started;
    return status;
}

NTSTATUS DeviceNode::SurpriseRemove() {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed &&
                state_ != PnpState::SurpriseRemoved,
            "IRP_MN_SURPRISE_REMOVAL");
    bus_.Unplug();
    NTSTATUS status = SendPnp(IRP_MN_SURPRISE_REMOVAL);
    state_ = PnpState::SurpriseRemoved;
    return status;
}

NTSTATUS DeviceNode::Remove() {
    Require(state_ == PnpState::RemovePending || state_ == PnpState::SurpriseRemoved ||
                state_ == PnpState::Added || state_ == PnpState::Stopped,
            "IRP_MN_REMOVE_DEVICE");
    if (RecordOf(bus_.Pdo())->openFiles.load(std::memory_order_acquire) > 0)
        throw std::logic_error("IRP_MN_REMOVE_DEVICE waits until every handle is closed");
    NTSTATUS status = SendPnp(IRP_MN_REMOVE_DEVICE);
    AfterRemove();
    return status;
}

void DeviceNode::AfterRemove() {
    kshim::State& s = Current();
    s.owner->Settle();
    // Whatever is still in flight belongs to a driver that let removal pass
    // before its I/O ended: requests inside the device, requests the driver
    // sent itself and still owns, and requests whose completion a driver
    // stopped (STATUS_MORE_PROCESSING_REQUIRED) and never finished.
    size_t inside = 0;
    size_t own = 0;
    size_t reclaimed = 0;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        for (IrpRecord* record : s.liveIrps) {
            if (record->state != IrpState::InFlight && record->state != IrpState::Completing &&
                record->state != IrpState::Reclaimed)
                continue;
            PIRP irp = record->irp;
            bool here = false;
            for (int level = 1; level <= irp->StackCount; ++level) {
                auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
                if (fdo_ && stack->DeviceObject == fdo_)
                    here = true;
            }
            if (record->origin != IrpOrigin::Kernel)
                ++own;
            else if (here && record->state == IrpState::Reclaimed)
                ++reclaimed;
            else if (here)
                ++inside;
        }
    }
    size_t held = bus_.ParkedRequests();
    if (held)
        s.Violate(Check::OutstandingIoAtRemoval,
                  std::to_string(held) + " request(s) still held by the bus after removal");
    if (inside)
        s.Violate(Check::OutstandingIoAtRemoval,
                  std::to_string(inside) + " request(s) still inside the device after removal");
    if (own)
        s.Violate(Check::OutstandingIoAtRemoval,
                  std::to_string(own) + " request(s) of the driver's own still in flight or "
                                        "held after removal");
    if (reclaimed)
        s.Violate(Check::OutstandingIoAtRemoval,
                  std::to_string(reclaimed) +
                      " request(s) whose completion the driver stopped and never finished");
    if (fdo_ && !RecordOf(fdo_)->deleted)
        s.Violate(Check::LeakAtUnload, "device object not deleted at removal");
    state_ = PnpState::Removed;
    host_.DeviceGone();
}

NTSTATUS DeviceNode::SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    return Send(IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = type;
        s->Parameters.Power.State = state;
        s->Parameters.Power.ShutdownType =
            type == SystemPowerState && state.SystemState > PowerSystemWorking ? PowerActionSleep
                                                                               : PowerActionNone;
    });
}

NTSTATUS DeviceNode::SetSystemPower(SYSTEM_POWER_STATE target) {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "IRP_MN_SET_POWER");
    POWER_STATE state;
    state.SystemState = target;
    if (target > PowerSystemWorking) {
        NTSTATUS query = SendPower(IRP_MN_QUERY_POWER, SystemPowerState, state);
        if (!NT_SUCCESS(query)) {
            POWER_STATE current;
            current.SystemState = system_;
            SendPower(IRP_MN_SET_POWER, SystemPowerState, current);
            return query;
        }
    }
    NTSTATUS status = SendPower(IRP_MN_SET_POWER, SystemPowerState, state);
    if (NT_SUCCESS(status))
        system_ = target;
    return status;
}

std::vector<DEVICE_POWER_STATE> DeviceNode::ReportedPower() const {
    if (!fdo_)
        return {};
    kshim::State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    return RecordOf(fdo_)->powerHistory;
}

bool DeviceNode::WmiRegistered() const {
    if (!fdo_)
        return false;
    kshim::State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    return RecordOf(fdo_)->wmiRegistered;
}

DeviceNode::WmiReply DeviceNode::WmiQuery(const GUID& guid, ULONG dataRoom, ULONG instance,
                                          ULONG_PTR provider) {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "a WMI request");
    size_t offset = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    std::vector<uint8_t> buffer(offset + dataRoom);
    auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    node->InstanceIndex = instance;
    node->DataBlockOffset = static_cast<ULONG>(offset);
    GUID path = guid;
    WmiReply reply;
    reply.status =
        Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_SINGLE_INSTANCE, [&](PIO_STACK_LOCATION s) {
            s->Parameters.WMI.ProviderId = provider ? provider : reinterpret_cast<ULONG_PTR>(fdo_);
            s->Parameters.WMI.DataPath = &path;
            s->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
            s->Parameters.WMI.Buffer = buffer.data();
        });
    if (NT_SUCCESS(reply.status)) {
        ULONG size = node->SizeDataBlock;
        if (size > dataRoom)
            size = dataRoom;
        reply.data.assign(buffer.begin() + static_cast<long>(offset),
                          buffer.begin() + static_cast<long>(offset + size));
    } else if (reply.status == STATUS_BUFFER_TOO_SMALL &&
               (reinterpret_cast<PWNODE_HEADER>(buffer.data())->Flags & WNODE_FLAG_TOO_SMALL)) {
        ULONG needed = reinterpret_cast<PWNODE_TOO_SMALL>(buffer.data())->SizeNeeded;
        reply.sizeNeeded = needed > offset ? needed - static_cast<ULONG>(offset) : 0;
    }
    return reply;
}

NTSTATUS DeviceNode::WmiSetBlock(const GUID& guid, const std::vector<uint8_t>& data,
                                 ULONG instance) {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "a WMI request");
    size_t offset = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    std::vector<uint8_t> buffer(offset + data.size());
    auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->InstanceIndex = instance;
    node->DataBlockOffset = static_cast<ULONG>(offset);
    node->SizeDataBlock = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + static_cast<long>(offset));
    GUID path = guid;
    return Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_CHANGE_SINGLE_INSTANCE, [&](PIO_STACK_LOCATION s) {
        s->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(fdo_);
        s->Parameters.WMI.DataPath = &path;
        s->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
        s->Parameters.WMI.Buffer = buffer.data();
    });
}

NTSTATUS DeviceNode::WmiSetItem(const GUID& guid, ULONG item, const std::vector<uint8_t>& data,
                                ULONG instance) {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "a WMI request");
    size_t offset = Align8(offsetof(WNODE_SINGLE_ITEM, VariableData));
    std::vector<uint8_t> buffer(offset + data.size());
    auto* node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer.data());
    node->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    node->WnodeHeader.Guid = guid;
    node->InstanceIndex = instance;
    node->ItemId = item;
    node->DataItemOffset = static_cast<ULONG>(offset);
    node->SizeDataItem = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + static_cast<long>(offset));
    GUID path = guid;
    return Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_CHANGE_SINGLE_ITEM, [&](PIO_STACK_LOCATION s) {
        s->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(fdo_);
        s->Parameters.WMI.DataPath = &path;
        s->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
        s->Parameters.WMI.Buffer = buffer.data();
    });
}

DeviceNode::WmiRegistration DeviceNode::WmiRegInfo() {
    Require(state_ != PnpState::Removed && state_ != PnpState::Failed, "a WMI request");
    std::vector<uint8_t> buffer(2048);
    WmiRegistration reg;
    reg.status = Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO, [&](PIO_STACK_LOCATION s) {
        s->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(fdo_);
        s->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
        s->Parameters.WMI.Buffer = buffer.data();
    });
    if (!NT_SUCCESS(reg.status))
        return reg;
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer.data());
    auto text = [&](ULONG offset) {
        USHORT bytes;
        std::memcpy(&bytes, buffer.data() + offset, sizeof bytes);
        std::u16string wide(bytes / 2, u'\0');
        std::memcpy(wide.data(), buffer.data() + offset + 2, bytes);
        return Narrow(wide.data(), wide.size());
    };
    reg.registryPath = text(info->RegistryPath);
    reg.mofResource = text(info->MofResourceName);
    for (ULONG i = 0; i < info->GuidCount; ++i)
        reg.guids.push_back(info->WmiRegGuid[i]);
    return reg;
}

std::future<NTSTATUS> DeviceNode::Async(std::function<NTSTATUS(DeviceNode&)> request) {
    return std::async(std::launch::async, [this, request] { return request(*this); });
}

DriverHost::DriverHost(Kernel& kernel, PDRIVER_INITIALIZE entry, std::string service)
    : kernel_(kernel), entry_(entry), service_(std::move(service)) {
    registryPath_ = Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_);
}

DriverHost::~DriverHost() {
    if (loaded_ && nodes_.empty())
        Unload();
}

NTSTATUS DriverHost::Load() {
    driver_ = NewDriverObject("\\Driver\\" + service_);
    driver_->DriverInit = entry_;
    kernel_.GetRegistry().CreateKey(Narrow(registryPath_.data(), registryPath_.size()));
    UNICODE_STRING path;
    path.Buffer = registryPath_.data();
    path.Length = static_cast<USHORT>(registryPath_.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    NTSTATUS status = entry_(driver_, &path);
    loaded_ = NT_SUCCESS(status);
    if (!loaded_) {
        LiveObjects live = kernel_.Live();
        if (live.Total())
            kernel_.Report(Check::LeakAtUnload, "driver entry failed and left " +
                                                    std::to_string(live.Total()) +
                                                    " object(s) alive");
    }
    return status;
}

DeviceNode& DriverHost::AddDevice(SimulatedUsbDevice& bus) {
    nodes_.push_back(std::unique_ptr<DeviceNode>(new DeviceNode(*this, bus)));
    DeviceNode& node = *nodes_.back();
    PDRIVER_ADD_DEVICE add = driver_->DriverExtension->AddDevice;
    node.addStatus_ = add ? add(driver_, bus.Pdo()) : STATUS_NOT_IMPLEMENTED;
    if (NT_SUCCESS(node.addStatus_)) {
        PDEVICE_OBJECT top = TopOfStack(bus.Pdo());
        node.fdo_ = top == bus.Pdo() ? nullptr : top;
        if (node.fdo_ && (node.fdo_->Flags & DO_DEVICE_INITIALIZING))
            kernel_.Report(Check::DeviceStillInitializing,
                           "add-device returned with DO_DEVICE_INITIALIZING set");
    } else {
        node.state_ = DeviceNode::PnpState::Failed;
        DeviceGone();
    }
    return node;
}

void DriverHost::DeviceGone() {
    for (auto& node : nodes_)
        if (node->state_ != DeviceNode::PnpState::Removed &&
            node->state_ != DeviceNode::PnpState::Failed)
            return;
    Unload();
}

void DriverHost::Unload() {
    if (!loaded_)
        return;
    loaded_ = false;
    if (driver_->DriverUnload)
        driver_->DriverUnload(driver_);
    kernel_.Settle();
    if (driver_->DeviceObject)
        kernel_.Report(Check::LeakAtUnload, "device objects still exist at unload");
    LiveObjects live = kernel_.Live();
    if (live.Total())
        kernel_.Report(Check::LeakAtUnload,
                       std::to_string(live.pool) + " pool block(s), " + std::to_string(live.irps) +
                           " IRP(s), " + std::to_string(live.mdls) + " MDL(s), " +
                           std::to_string(live.workItems) + " work item(s), " +
                           std::to_string(live.keys) + " key handle(s) alive at unload");
}

} // namespace kshim
