// The power manager's routines.
#pragma once

#include "kshim_wdm/io.h"

extern "C" {
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI VOID PoStartNextPowerIrp(PIRP Irp);
NTKERNELAPI POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                        POWER_STATE State);
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context,
                                       PIRP* Irp);
}
