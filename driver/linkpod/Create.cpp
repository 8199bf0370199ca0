// Opening the device or one of its pipes by name, closing and cleaning up.
#include "driver/linkpod/Device.h"
#include "driver/linkpod/PipeName.h"

namespace driver::linkpod {
namespace {

ULONG PipeCount(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    ULONG count = ext->Interface != nullptr ? ext->Interface->NumberOfPipes : 0;
    KeReleaseSpinLock(&ext->StateLock, irql);
    return count;
}

BOOLEAN RunningAndConfigured(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    BOOLEAN ready = ext->State == DeviceState::Running && ext->Interface != nullptr;
    KeReleaseSpinLock(&ext->StateLock, irql);
    return ready;
}

PipeNameResult Resolve(DeviceExtension* ext, PFILE_OBJECT file) {
    return ResolvePipeName(reinterpret_cast<const uint16_t*>(file->FileName.Buffer),
                           file->FileName.Length / sizeof(WCHAR), PipeCount(ext));
}

VOID CountOpenHandle(DeviceExtension* ext) {
    InterlockedIncrement(&ext->OpenHandles);
    if (IdleSuspendOn(ext)) {
        CancelIdleRequestIfBusy(ext);
    }
}

} // namespace

// A handle's driver context holds its pipe number plus one; zero is the device itself.
ULONG HandlePipe(PFILE_OBJECT file, BOOLEAN* isPipe) {
    const ULONG_PTR stored = file != nullptr ? reinterpret_cast<ULONG_PTR>(file->FsContext) : 0;
    *isPipe = stored != 0;
    return stored != 0 ? static_cast<ULONG>(stored - 1) : 0;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!RunningAndConfigured(ext)) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
    }
    if (file == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    file->FsContext = nullptr;
    const PipeNameResult name = Resolve(ext, file);
    if (name.kind == PipeNameKind::Invalid) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    if (name.kind == PipeNameKind::Pipe) {
        if (!MarkPipeOpen(ext, name.pipe, TRUE)) {
            return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
        }
        file->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(name.pipe) + 1);
    }
    CountOpenHandle(ext);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    BOOLEAN isPipe = FALSE;
    const ULONG pipe = HandlePipe(file, &isPipe);
    if (isPipe) {
        // Only while the pipe still exists in the current table.
        MarkPipeOpen(ext, pipe, FALSE);
    }
    InterlockedDecrement(&ext->OpenHandles);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT /*device*/, PIRP irp) {
    return CompleteRequest(irp, STATUS_SUCCESS);
}

} // namespace driver::linkpod
