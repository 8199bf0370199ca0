// Device objects and stacks, work items, device interfaces, the platform
// version, and the registry routines.
#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

using namespace kshim;

namespace kshim {

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceRecord*>(device->KshimNode);
}

std::string Narrow(PCUNICODE_STRING text) {
    if (!text || !text->Buffer)
        return {};
    return kshim::Narrow(text->Buffer, text->Length / sizeof(WCHAR));
}

namespace {
NTSTATUS InvalidRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
} // namespace

PDRIVER_OBJECT NewDriverObject(const std::string& name) {
    State& s = Current();
    auto storage = std::make_unique<DriverStorage>();
    storage->name = Widen(name);
    PDRIVER_OBJECT driver = &storage->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &storage->extension;
    storage->extension.DriverObject = driver;
    driver->DriverName.Buffer = storage->name.data();
    driver->DriverName.Length = static_cast<USHORT>(storage->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& entry : driver->MajorFunction)
        entry = InvalidRequest;
    std::lock_guard<std::mutex> guard(s.mu);
    s.drivers.push_back(std::move(storage));
    return driver;
}

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, ULONG type) {
    State& s = Current();
    auto record = std::make_unique<DeviceRecord>();
    size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    record->memory.assign(objectSize + extensionSize, 0);
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.data());
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->ReferenceCount = 1;
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->DeviceExtension = extensionSize ? record->memory.data() + objectSize : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->KshimNode = record.get();
    record->device = device;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    std::lock_guard<std::mutex> guard(s.mu);
    s.devices.push_back(std::move(record));
    return device;
}

} // namespace kshim

namespace {

struct WorkItem {
    PDEVICE_OBJECT device = nullptr;
    bool queued = false;
};

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string GuidText(const GUID& g) {
    char text[64];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

void DeliverNotes(State& s) {
    for (;;) {
        State::InterfaceNote note;
        std::vector<std::function<void(const State::InterfaceNote&)>> calls;
        {
            std::lock_guard<std::mutex> guard(s.mu);
            if (s.notes.empty()) {
                s.notifying = false;
                return;
            }
            note = s.notes.front();
            s.notes.pop_front();
            for (auto& [id, watcher] : s.watchers)
                calls.push_back(watcher);
        }
        for (auto& call : calls)
            call(note);
    }
}

} // namespace

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
    (void)DeviceName;
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
    if (s.CountAllocation())
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = CreateDeviceObject(DriverObject, DeviceExtensionSize, DeviceType);
    device->Characteristics = DeviceCharacteristics;
    if (Exclusive)
        device->Flags |= DO_EXCLUSIVE;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    DeviceRecord* record = RecordOf(DeviceObject);
    if (record->deleted) {
        s.Violate(Check::BadFree, "IoDeleteDevice of a device already deleted");
        return;
    }
    record->deleted = true;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    if (record->wmiRegistered)
        s.Violate(Check::ObjectStillRegistered, "device deleted while registered with WMI");
    if (record->attachedTo)
        s.Violate(Check::DeviceDeletedAttached, "device deleted while attached to a stack");
    size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    if (record->memory.size() > objectSize) {
        uint8_t* extension = record->memory.data() + objectSize;
        const size_t size = record->memory.size() - objectSize;
        CheckFreedRange(extension, size, "device extension");
        // Poisoned, never reused: whatever touches it later is found.
        std::memset(extension, kPoisonByte, size);
        auto* range = new State::DeletedRange{extension, extension + size, nullptr};
        range->next = s.deleted.load(std::memory_order_relaxed);
        while (!s.deleted.compare_exchange_weak(range->next, range, std::memory_order_release,
                                                std::memory_order_relaxed)) {
        }
    }
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    Current().RequireIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    if (RecordOf(TargetDevice)->refuseAttach || RecordOf(top)->deleted)
        return nullptr;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    top->AttachedDevice = SourceDevice;
    RecordOf(SourceDevice)->attachedTo = top;
    RecordOf(top)->upperDetached = false;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    Current().RequireIrql(PASSIVE_LEVEL, "IoDetachDevice");
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        Current().Violate(Check::BadFree, "IoDetachDevice of a device with nothing attached");
        return;
    }
    RecordOf(above)->attachedTo = nullptr;
    RecordOf(above)->detached = true;
    RecordOf(TargetDevice)->upperDetached = true;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    return TopOfStack(DeviceObject);
}

// Objects stay allocated until the kernel itself ends, so references need no count.
VOID ObfReferenceObject(PVOID Object) {
    (void)Object;
}

VOID ObfDereferenceObject(PVOID Object) {
    (void)Object;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    return MajorVersion < s.wdmMajor || (MajorVersion == s.wdmMajor && MinorVersion <= s.wdmMinor);
}

VOID KshimCheckPagedCode_(VOID) {
    if (ThreadIrql() > APC_LEVEL)
        Current().Violate(Check::PagedAtDispatch, "pageable code run at dispatch level");
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (RecordOf(DeviceObject)->deleted)
        s.Violate(Check::UseAfterRemoval, "IoAllocateWorkItem for a deleted device");
    if (s.CountAllocation())
        return nullptr;
    auto* item = new WorkItem;
    item->device = DeviceObject;
    std::lock_guard<std::mutex> guard(s.mu);
    s.workItems.insert(item);
    return reinterpret_cast<PIO_WORKITEM>(item);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoFreeWorkItem");
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    bool known;
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        known = s.workItems.erase(item) != 0;
        if (known)
            queued = item->queued;
    }
    if (!known) {
        s.Violate(Check::BadFree, "IoFreeWorkItem of an unknown work item");
        return;
    }
    if (queued) {
        s.Violate(Check::BadFree, "IoFreeWorkItem of a queued work item");
        std::lock_guard<std::mutex> guard(s.mu);
        s.workItems.insert(item);
        return;
    }
    delete item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    sched::Point();
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    if (RecordOf(item->device)->deleted) {
        s.Violate(Check::UseAfterRemoval, "IoQueueWorkItem for a deleted device (not queued)");
        return;
    }
    bool requeued;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        requeued = item->queued;
        item->queued = true;
    }
    if (requeued) {
        s.Violate(Check::WorkItemRequeued, "IoQueueWorkItem of a queued work item");
        return;
    }
    PDEVICE_OBJECT device = item->device;
    StartWhenLowered([&s, item, device, WorkerRoutine, Context] {
        s.Spawn([&s, item, device, WorkerRoutine, Context] {
            {
                std::lock_guard<std::mutex> guard(s.mu);
                item->queued = false;
            }
            // The routine would run on a poisoned extension.
            if (RecordOf(device)->deleted) {
                s.Violate(Check::UseAfterRemoval,
                          "work item of a device deleted since it was queued (not run)");
                return;
            }
            WorkerRoutine(device, Context);
            if (ThreadIrql() != PASSIVE_LEVEL || !HeldLocks().empty())
                s.Violate(Check::IrqlNotRestored, "work item returned at raised IRQL");
            HeldLocks().clear();
        });
    });
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    DeviceRecord* record = RecordOf(PhysicalDeviceObject);
    if (!record->isPdo || !record->usb)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string link = UsbInterfaceBase(record->usb) + "#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length)
        link += "\\" + Narrow(ReferenceString);
    std::u16string wide = Widen(link);
    size_t bytes = (wide.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(KernelPoolForDriver(bytes));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, wide.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    std::lock_guard<std::mutex> guard(s.mu);
    for (InterfaceRecord& existing : s.interfaces)
        if (Lower(kshim::Narrow(existing.link.data(), existing.link.size())) == Lower(link))
            return STATUS_SUCCESS;
    InterfaceRecord entry;
    entry.link = wide;
    if (std::all_of(wide.begin(), wide.end(), [](char16_t c) { return c < 0x80; }))
        entry.lowerLink = Lower(link);
    entry.guid = *InterfaceClassGuid;
    entry.pdo = PhysicalDeviceObject;
    s.interfaces.push_back(entry);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    std::string link = Lower(Narrow(SymbolicLinkName));
    bool found = false;
    bool startNotifier = false;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        for (InterfaceRecord& entry : s.interfaces) {
            std::string name = kshim::Narrow(entry.link.data(), entry.link.size());
            if (Lower(name) != link)
                continue;
            found = true;
            bool enable = Enable != FALSE;
            if (entry.enabled == enable)
                break;
            entry.enabled = enable;
            s.notes.push_back(State::InterfaceNote{enable, name, entry.guid});
            if (!s.notifying) {
                s.notifying = true;
                startNotifier = true;
            }
            break;
        }
    }
    if (!found)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // Notifications are delivered in order on a kernel thread.
    if (startNotifier)
        s.Spawn([&s] { DeliverNotes(s); });
    return STATUS_SUCCESS;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
    (void)Environment;
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    if (s.registry.QueriesFail())
        return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING pathText;
    RtlInitUnicodeString(&pathText, Path);
    std::string path = Narrow(&pathText);
    switch (RelativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
        break;
    case RTL_REGISTRY_SERVICES:
        path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + path;
        break;
    case RTL_REGISTRY_CONTROL:
        path = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + path;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (!s.registry.KeyExists(path))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name;
         ++entry) {
        UNICODE_STRING nameText;
        RtlInitUnicodeString(&nameText, entry->Name);
        std::string name = Narrow(&nameText);
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            path += "\\" + name;
            if (!s.registry.KeyExists(path))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            continue;
        }
        std::optional<RegistryValue> value = s.registry.Get(path, name);
        ULONG defaultType = entry->DefaultType & 0x00FFFFFF;
        if (!value) {
            if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (defaultType == REG_NONE)
                continue;
            RegistryValue fallback;
            fallback.type = defaultType;
            ULONG length = entry->DefaultLength;
            if (length == 0 && defaultType == REG_DWORD)
                length = 4;
            auto* data = static_cast<const uint8_t*>(entry->DefaultData);
            if (data)
                fallback.data.assign(data, data + length);
            value = fallback;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
            value->type != ((entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) & 0xFF))
            return static_cast<NTSTATUS>(0xC0000024L); // STATUS_OBJECT_TYPE_MISMATCH
        if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
            if (value->type == REG_DWORD) {
                ULONG dword = 0;
                std::memcpy(&dword, value->data.data(),
                            value->data.size() < 4 ? value->data.size() : 4);
                std::memcpy(entry->EntryContext, &dword, sizeof dword);
            } else if (value->type == REG_SZ || value->type == REG_EXPAND_SZ) {
                auto* target = static_cast<PUNICODE_STRING>(entry->EntryContext);
                size_t bytes = value->data.size();
                if (!target->Buffer) {
                    target->Buffer = static_cast<PWSTR>(KernelPoolForDriver(bytes));
                    if (!target->Buffer)
                        return STATUS_INSUFFICIENT_RESOURCES;
                    target->MaximumLength = static_cast<USHORT>(bytes);
                } else if (bytes > target->MaximumLength) {
                    return STATUS_BUFFER_TOO_SMALL;
                }
                std::memcpy(target->Buffer, value->data.data(), bytes);
                target->Length = static_cast<USHORT>(bytes >= 2 ? bytes - 2 : 0);
            } else {
                LONG size;
                std::memcpy(&size, entry->EntryContext, sizeof size);
                if (size >= 0 || static_cast<size_t>(-size) < value->data.size())
                    return STATUS_BUFFER_TOO_SMALL;
                std::memcpy(entry->EntryContext, value->data.data(), value->data.size());
            }
        } else if (entry->QueryRoutine) {
            NTSTATUS status = entry->QueryRoutine(entry->Name, value->type, value->data.data(),
                                                  static_cast<ULONG>(value->data.size()), Context,
                                                  entry->EntryContext);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    (void)DesiredAccess;
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    DeviceRecord* record = RecordOf(DeviceObject);
    if (!record->isPdo || !record->usb)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string key = UsbInstanceKey(record->usb);
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE)
        key += "\\Device Parameters";
    else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER)
        key += "\\Driver";
    else
        return STATUS_INVALID_PARAMETER;
    if (s.CountAllocation())
        return STATUS_INSUFFICIENT_RESOURCES;
    s.registry.CreateKey(key);
    auto* handle = new std::string(key);
    std::lock_guard<std::mutex> guard(s.mu);
    s.keys.insert(handle);
    *DevInstRegKey = handle;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
    {
        std::lock_guard<std::mutex> guard(s.mu);
        if (!s.keys.count(KeyHandle))
            return STATUS_INVALID_HANDLE;
    }
    if (KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    if (s.registry.QueriesFail())
        return STATUS_INSUFFICIENT_RESOURCES;
    std::optional<RegistryValue> value =
        s.registry.Get(*static_cast<std::string*>(KeyHandle), Narrow(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = header + static_cast<ULONG>(value->data.size());
    *ResultLength = needed;
    if (Length < header)
        return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = static_cast<ULONG>(value->data.size());
    if (Length < needed)
        return STATUS_BUFFER_OVERFLOW;
    std::memcpy(info->Data, value->data.data(), value->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "ZwClose");
    bool known;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        known = s.keys.erase(Handle) != 0;
    }
    if (!known) {
        s.Violate(Check::BadFree, "ZwClose of an unknown handle");
        return STATUS_INVALID_HANDLE;
    }
    delete static_cast<std::string*>(Handle);
    return STATUS_SUCCESS;
}

} // extern "C"
