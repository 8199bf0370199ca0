#include <initguid.h>

#include "tests/driver/kshim/TestDriver.h"

namespace kshimtest {

DEFINE_GUID(kTestInterfaceDef, 0x11223344, 0x5566, 0x7788, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,
            0x00);
DEFINE_GUID(kTestWmiBlockDef, 0x0A0B0C0D, 0x1112, 0x1314, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B,
            0x1C);
const GUID kTestInterface = kTestInterfaceDef;
const GUID kTestWmiBlock = kTestWmiBlockDef;

namespace {

Flaw g_flaw = Flaw::None;
PVOID g_entryBlock = nullptr;
UNICODE_STRING g_registryPath{};
volatile LONG g_ticks = 0;
WMIGUIDREGINFO g_wmiGuids[1];

struct Extension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    USBD_PIPE_HANDLE pipes[2];
    ULONG pipeCount;
    BOOLEAN surprised;
    KSPIN_LOCK lockA;
    KSPIN_LOCK lockB;
    KTIMER timer;
    KDPC dpc;
    KEVENT workGate;
    WMILIB_CONTEXT wmi;
    ULONG wmiValue;
    volatile LONG reads;
};

Extension* Ext(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Extension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS SendInternal(Extension* ext, ULONG code, PVOID argument) {
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, ext->lower, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    return status;
}

PVOID Allocate(SIZE_T size) {
    return ExAllocatePoolWithTag(NonPagedPoolNx, size, kTestTag);
}

NTSTATUS Configure(Extension* ext) {
    auto* urb = static_cast<PURB>(Allocate(sizeof(URB)));
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    USB_CONFIGURATION_DESCRIPTOR head;
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, nullptr,
                                 sizeof head, nullptr);
    NTSTATUS status = SendInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    ULONG total = head.wTotalLength;
    auto* config =
        NT_SUCCESS(status) ? static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(total)) : nullptr;
    if (NT_SUCCESS(status) && !config)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr,
                                     total, nullptr);
        status = SendInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        if (config)
            ExFreePool(config);
        return status;
    }
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    PURB select =
        list[0].InterfaceDescriptor ? USBD_CreateConfigurationRequestEx(config, list) : nullptr;
    if (!select) {
        ExFreePool(config);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SendInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, select);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        ext->pipeCount = info->NumberOfPipes < 2 ? info->NumberOfPipes : 2;
        for (ULONG i = 0; i < ext->pipeCount; ++i)
            ext->pipes[i] = info->Pipes[i].PipeHandle;
    }
    ExFreePool(select);
    if (g_flaw != Flaw::LeakAtUnload)
        ExFreePool(config);
    return status;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(ext, irp);
        if (NT_SUCCESS(status))
            status = Configure(ext);
        if (NT_SUCCESS(status))
            IoSetDeviceInterfaceState(&ext->link, TRUE);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
        NTSTATUS status = ForwardAndWait(ext, irp);
        return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        ext->surprised = TRUE;
        IoSetDeviceInterfaceState(&ext->link, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (!ext->surprised)
            IoSetDeviceInterfaceState(&ext->link, FALSE);
        if (g_flaw != Flaw::WmiStillRegistered)
            IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        PKEVENT gate = &ext->workGate;
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        if (g_flaw == Flaw::TimerLeftSet) {
            LARGE_INTEGER due;
            due.QuadPart = -10000000;
            KeSetTimerEx(&ext->timer, due, 1000, &ext->dpc);
        }
        if (g_flaw != Flaw::DeletedWhileAttached)
            IoDetachDevice(ext->lower);
        if (g_flaw == Flaw::CallAfterDetach) {
            ULONG port = 0;
            SendInternal(ext, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
        }
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(device);
        if (g_flaw == Flaw::TouchAfterDelete)
            KeSetEvent(gate, IO_NO_INCREMENT, FALSE);
        return status;
    }
    default:
        if (stack->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE)
            irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        if (g_flaw == Flaw::PnpAtDispatch) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            NTSTATUS status = IoCallDriver(ext->lower, irp);
            KeLowerIrql(old);
            return status;
        }
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS PowerDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS ReclaimPower(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (g_flaw == Flaw::PowerIrpReclaimed && stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        PoStartNextPowerIrp(irp);
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ReclaimPower, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    }
    if (g_flaw == Flaw::SkipWithoutStartNext) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    if (g_flaw == Flaw::NoStartNextPower) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PowerDone, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(ext->lower, irp);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    if (g_flaw == Flaw::PowerAtDispatch) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NTSTATUS status = PoCallDriver(ext->lower, irp);
        KeLowerIrql(old);
        return status;
    }
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS WmiRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path,
                    PUNICODE_STRING mof, PDEVICE_OBJECT* pdo) {
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *path = &g_registryPath;
    static WCHAR mofName[] = u"TestMof";
    RtlInitUnicodeString(mof, mofName);
    *pdo = Ext(device)->pdo;
    return STATUS_SUCCESS;
}

NTSTATUS WmiQuery(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PULONG lengths, ULONG avail,
                  PUCHAR buffer) {
    if (avail < sizeof(ULONG))
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG),
                                  IO_NO_INCREMENT);
    *reinterpret_cast<ULONG*>(buffer) = Ext(device)->wmiValue;
    *lengths = sizeof(ULONG);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

NTSTATUS WmiSet(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR buffer) {
    NTSTATUS status = STATUS_INFO_LENGTH_MISMATCH;
    if (size == sizeof(ULONG)) {
        Ext(device)->wmiValue = *reinterpret_cast<ULONG*>(buffer);
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS SystemControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&ext->wmi, device, irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        return status;
    case IrpNotCompleted:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

VOID NeverCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    ULONG_PTR pipe = 0;
    if (file->FileName.Length) {
        WCHAR last = file->FileName.Buffer[file->FileName.Length / sizeof(WCHAR) - 1];
        if (last < u'0' || last > u'1')
            return Complete(irp, STATUS_INVALID_PARAMETER);
        pipe = static_cast<ULONG_PTR>(last - u'0') + 1;
    }
    file->FsContext = reinterpret_cast<PVOID>(pipe);
    switch (g_flaw) {
    case Flaw::CompleteTwice:
        Complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Flaw::MarkedNotPending:
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
    case Flaw::PassedDownAfterCompletion:
        Complete(irp, STATUS_SUCCESS);
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(Ext(device)->lower, irp);
        return STATUS_SUCCESS;
    case Flaw::CancelRoutineAtCompletion:
        IoSetCancelRoutine(irp, NeverCancel);
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

NTSTATUS Cleanup(PDEVICE_OBJECT device, PIRP irp) {
    if (g_flaw == Flaw::ReturnWithoutCompleting) {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        struct Later {
            PIO_WORKITEM item;
            PIRP irp;
        };
        auto* later = static_cast<Later*>(Allocate(sizeof(Later)));
        later->item = item;
        later->irp = irp;
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID context) {
                auto* job = static_cast<Later*>(context);
                PIO_WORKITEM done = job->item;
                PIRP request = job->irp;
                ExFreePool(job);
                Complete(request, STATUS_SUCCESS);
                IoFreeWorkItem(done);
            },
            DelayedWorkQueue, later);
        return STATUS_SUCCESS;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Close(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS);
}

volatile ULONG g_scratch = 0;

NTSTATUS TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* urb = static_cast<PURB>(context);
    if (NT_SUCCESS(irp->IoStatus.Status) && g_flaw == Flaw::SharedCompletionScratch) {
        // Fine only while completions never overlap.
        g_scratch = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        KIRQL irql;
        KeAcquireSpinLock(&Ext(device)->lockA, &irql);
        KeReleaseSpinLock(&Ext(device)->lockA, irql);
        irp->IoStatus.Information = g_scratch;
    } else if (NT_SUCCESS(irp->IoStatus.Status)) {
        irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    if (urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != irp->MdlAddress)
        IoFreeMdl(urb->UrbBulkOrInterruptTransfer.TransferBufferMDL);
    ExFreePool(urb);
    return STATUS_SUCCESS;
}

NTSTATUS ReadWrite(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR pipe = reinterpret_cast<ULONG_PTR>(stack->FileObject->FsContext);
    if (pipe == 0 || pipe > ext->pipeCount)
        return Complete(irp, STATUS_INVALID_HANDLE);
    ULONG length = stack->Parameters.Read.Length;
    if (length == 0 || !irp->MdlAddress)
        return Complete(irp, STATUS_SUCCESS, 0);
    auto* urb = static_cast<PURB>(Allocate(sizeof(URB)));
    if (!urb)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    PMDL mdl = irp->MdlAddress;
    if (g_flaw == Flaw::PartialMdlOutside) {
        mdl = IoAllocateMdl(MmGetMdlVirtualAddress(irp->MdlAddress), length, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(irp->MdlAddress, mdl,
                          static_cast<PUCHAR>(MmGetMdlVirtualAddress(irp->MdlAddress)) + 1, length);
    }
    ULONG flags = USBD_SHORT_TRANSFER_OK |
                  (stack->MajorFunction == IRP_MJ_READ ? USBD_TRANSFER_DIRECTION_IN : 0);
    ULONG urbLength = g_flaw == Flaw::UrbLongerThanBuffer ? length + 16 : length;
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           ext->pipes[pipe - 1], nullptr, mdl, urbLength, flags,
                                           nullptr);
    InterlockedIncrement(&ext->reads);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, TransferDone, urb, TRUE, TRUE, TRUE);
    if (g_flaw == Flaw::CompletionLostPending)
        return IoCallDriver(ext->lower, irp);
    if (g_flaw != Flaw::PendingNotMarked)
        IoMarkIrpPending(irp);
    IoCallDriver(ext->lower, irp);
    return STATUS_PENDING;
}

NTSTATUS OwnIrpDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return g_flaw == Flaw::OwnIrpReachesTop ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
}

VOID TimerTick(PKDPC, PVOID, PVOID, PVOID) {
    InterlockedIncrement(&g_ticks);
}

struct WorkJob {
    PIO_WORKITEM item;
    PKEVENT gate;
};

VOID GatedWork(PDEVICE_OBJECT, PVOID context) {
    auto* job = static_cast<WorkJob*>(context);
    KeWaitForSingleObject(job->gate, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(job->item);
    ExFreePool(job);
}

NTSTATUS Control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TEST_COUNT:
        if (outLength < sizeof(ULONG) && g_flaw != Flaw::OutputOverrun)
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        *static_cast<ULONG*>(buffer) = static_cast<ULONG>(ext->reads);
        return Complete(irp, STATUS_SUCCESS, g_flaw == Flaw::OutputOverrun ? 24 : sizeof(ULONG));
    case IOCTL_TEST_LOCKS: {
        KIRQL a;
        KIRQL b;
        KeAcquireSpinLock(&ext->lockA, &a);
        if (g_flaw == Flaw::NestedLocks || g_flaw == Flaw::LocksOutOfOrder) {
            KeAcquireSpinLock(&ext->lockB, &b);
            if (g_flaw == Flaw::LocksOutOfOrder) {
                KeReleaseSpinLock(&ext->lockA, b);
                KeReleaseSpinLock(&ext->lockB, a);
            } else {
                KeReleaseSpinLock(&ext->lockB, b);
                KeReleaseSpinLock(&ext->lockA, a);
            }
        } else if (g_flaw == Flaw::PageableCodeAtDispatch) {
            PAGED_CODE();
            KeReleaseSpinLock(&ext->lockA, a);
        } else if (g_flaw == Flaw::PassiveAtDispatch) {
            IoSetDeviceInterfaceState(&ext->link, TRUE);
            KeReleaseSpinLock(&ext->lockA, a);
        } else if (g_flaw == Flaw::CancelLockNested) {
            KIRQL cancel;
            IoAcquireCancelSpinLock(&cancel);
            IoReleaseCancelSpinLock(cancel);
            KeReleaseSpinLock(&ext->lockA, a);
        } else if (g_flaw == Flaw::WaitWithLock) {
            KEVENT ready;
            KeInitializeEvent(&ready, NotificationEvent, TRUE);
            KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
            KeReleaseSpinLock(&ext->lockA, a);
        } else {
            KeReleaseSpinLock(&ext->lockA, a);
        }
        if (g_flaw == Flaw::CancelLockTwice) {
            KIRQL first;
            KIRQL second;
            IoAcquireCancelSpinLock(&first);
            IoAcquireCancelSpinLock(&second);
            IoReleaseCancelSpinLock(second);
            IoReleaseCancelSpinLock(first);
        }
        if (g_flaw == Flaw::IrqlLeft) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_TEST_VENDOR: {
        auto* urb = static_cast<PURB>(Allocate(sizeof(URB)));
        if (!urb)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0x42, 0x1234,
                              0x0007, buffer, nullptr, outLength, nullptr);
        NTSTATUS status = SendInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        ExFreePool(urb);
        return Complete(irp, status, NT_SUCCESS(status) ? moved : 0);
    }
    case IOCTL_TEST_POOL: {
        if (g_flaw == Flaw::BadFree) {
            ULONG local = 0;
            ExFreePool(&local);
            return Complete(irp, STATUS_SUCCESS);
        }
        if (g_flaw == Flaw::PagedPoolAtDispatch) {
            KIRQL old;
            KeAcquireSpinLock(&ext->lockA, &old);
            PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTestTag);
            KeReleaseSpinLock(&ext->lockA, old);
            if (paged)
                ExFreePool(paged);
            return Complete(irp, STATUS_SUCCESS);
        }
        PVOID block =
            g_flaw == Flaw::Untagged         ? ExAllocatePool(NonPagedPoolNx, 16)
            : g_flaw == Flaw::WrongTag       ? ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x31313131)
            : g_flaw == Flaw::ExecutablePool ? ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag)
                                             : Allocate(16);
        if (block)
            ExFreePool(block);
        return Complete(irp, block ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
    }
    case IOCTL_TEST_WORKITEM: {
        auto* job = static_cast<WorkJob*>(Allocate(sizeof(WorkJob)));
        job->item = IoAllocateWorkItem(device);
        job->gate = &ext->workGate;
        KeClearEvent(&ext->workGate);
        // Queued under a lock: the item cannot start before the lock is released.
        KIRQL old;
        KeAcquireSpinLock(&ext->lockA, &old);
        IoQueueWorkItem(job->item, GatedWork, DelayedWorkQueue, job);
        if (g_flaw == Flaw::WorkItemTwice)
            IoQueueWorkItem(job->item, GatedWork, DelayedWorkQueue, job);
        KeReleaseSpinLock(&ext->lockA, old);
        KeSetEvent(&ext->workGate, IO_NO_INCREMENT, FALSE);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_TEST_OWN_IRP: {
        PIRP own = IoAllocateIrp(ext->lower->StackSize, FALSE);
        if (!own)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        ULONG port = 0;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &port;
        IoSetCompletionRoutine(own, OwnIrpDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, own) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = own->IoStatus.Status;
        if (g_flaw != Flaw::OwnIrpReachesTop && g_flaw != Flaw::OwnIrpForgotten)
            IoFreeIrp(own);
        if (outLength >= sizeof(ULONG))
            *static_cast<ULONG*>(buffer) = port;
        return Complete(irp, status, outLength >= sizeof(ULONG) ? sizeof(ULONG) : 0);
    }
    case IOCTL_TEST_OWN_READ: {
        // A read of the driver's own that only removal would end; the driver
        // forgets it, which the kernel reports at removal.
        PIRP own = IoAllocateIrp(ext->lower->StackSize, FALSE);
        auto* urb = static_cast<PURB>(Allocate(sizeof(URB)));
        static UCHAR sink[8];
        UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               ext->pipes[0], sink, nullptr, sizeof sink,
                                               USBD_TRANSFER_DIRECTION_IN, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(
            own,
            [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
                ExFreePool(context);
                IoFreeIrp(done);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            urb, TRUE, TRUE, TRUE);
        IoCallDriver(ext->lower, own);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_TEST_RESET_PIPE: {
        auto* urb = static_cast<PURB>(Allocate(sizeof(URB)));
        if (!urb)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
        urb->UrbPipeRequest.PipeHandle = ext->pipes[0];
        NTSTATUS status = SendInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        ExFreePool(urb);
        return Complete(irp, status);
    }
    case IOCTL_TEST_POWER_SELF: {
        POWER_STATE power;
        power.DeviceState = PowerDeviceD0;
        NTSTATUS status =
            PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, power, nullptr, nullptr, nullptr);
        return Complete(irp, NT_SUCCESS(status) ? STATUS_SUCCESS : status);
    }
    case IOCTL_TEST_TIMER: {
        LARGE_INTEGER due;
        due.QuadPart = -50000000; // 5 s
        KeSetTimerEx(&ext->timer, due, 5000, &ext->dpc);
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    Extension* ext = Ext(device);
    RtlZeroMemory(ext, sizeof *ext);
    ext->self = device;
    ext->pdo = pdo;
    KeInitializeSpinLock(&ext->lockA);
    KeInitializeSpinLock(&ext->lockB);
    KeInitializeTimerEx(&ext->timer, NotificationTimer);
    KeInitializeDpc(&ext->dpc, TimerTick, ext);
    KeInitializeEvent(&ext->workGate, NotificationEvent, FALSE);
    g_wmiGuids[0].Guid = &kTestWmiBlock;
    g_wmiGuids[0].InstanceCount = 1;
    g_wmiGuids[0].Flags = 0;
    ext->wmi.GuidCount = 1;
    ext->wmi.GuidList = g_wmiGuids;
    ext->wmi.QueryWmiRegInfo = WmiRegInfo;
    ext->wmi.QueryWmiDataBlock = WmiQuery;
    ext->wmi.SetWmiDataBlock = WmiSet;
    ext->wmiValue = 7;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    if (g_flaw != Flaw::StillInitializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {
    if (g_flaw != Flaw::LeakAtUnload && g_entryBlock)
        ExFreePool(g_entryBlock);
    g_entryBlock = nullptr;
    if (g_registryPath.Buffer)
        ExFreePool(g_registryPath.Buffer);
    g_registryPath.Buffer = nullptr;
}

} // namespace

void SetFlaw(Flaw flaw) {
    g_flaw = flaw;
    g_ticks = 0;
}

LONG TimerTicks() {
    return g_ticks;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_entryBlock = Allocate(32);
    if (!g_entryBlock)
        return STATUS_INSUFFICIENT_RESOURCES;
    g_registryPath.Buffer = static_cast<PWSTR>(Allocate(registryPath->Length + sizeof(WCHAR)));
    if (!g_registryPath.Buffer) {
        ExFreePool(g_entryBlock);
        g_entryBlock = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_registryPath.MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));
    RtlCopyUnicodeString(&g_registryPath, registryPath);
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLOSE] = Close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    driver->MajorFunction[IRP_MJ_READ] = ReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = ReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

} // namespace kshimtest
