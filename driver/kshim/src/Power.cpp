// The power manager's routines for drivers.
#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

using namespace kshim;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

// Power requests are not serialised per device here; the call is recorded for
// the device whose location is current, so that the verifier can tell a driver
// that handed the request on without it, also when it skipped its location.
VOID PoStartNextPowerIrp(PIRP Irp) {
    kshim::State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    int level = Irp->CurrentLocation;
    if (level < 1 || level > Irp->StackCount)
        return;
    PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    std::lock_guard<std::mutex> guard(s.mu);
    RecordOf(Irp)->startedBy.push_back(device);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    kshim::State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "PoSetPowerState");
    DeviceRecord* record = RecordOf(DeviceObject);
    POWER_STATE previous;
    std::lock_guard<std::mutex> guard(s.mu);
    if (Type == DevicePowerState) {
        previous.DeviceState = record->powerState;
        record->powerState = State.DeviceState;
        record->powerHistory.push_back(State.DeviceState);
    } else {
        previous.SystemState = PowerSystemWorking;
    }
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    kshim::State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "PoRequestPowerIrp");
    sched::Point();
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return static_cast<NTSTATUS>(0xC00000F0L); // STATUS_INVALID_PARAMETER_2
    if (s.CountAllocation())
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT target = TopOfStack(DeviceObject);
    PIRP irp = NewIrp(target->StackSize, IrpOrigin::Kernel);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    RecordOf(irp)->onFinal = [DeviceObject, MinorFunction, PowerState, CompletionFunction,
                              Context](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        auto call = [=]() mutable {
            if (CompletionFunction)
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
        };
        kshim::State& state = Current();
        bool held;
        {
            std::lock_guard<std::mutex> guard(state.mu);
            held = state.holdPowerCallbacks;
            if (held)
                state.heldPowerCallbacks.push_back(call);
        }
        if (!held)
            call();
        RetireIrp(done);
    };
    if (Irp)
        *Irp = irp;
    s.Spawn([target, irp] { IofCallDriver(target, irp); });
    return STATUS_PENDING;
}

} // extern "C"
