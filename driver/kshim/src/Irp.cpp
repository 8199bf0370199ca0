// Requests: allocation, dispatch, completion with its routines, cancel, MDLs,
// and the verifier's checks on how drivers handle them.
#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

using namespace kshim;

namespace {

PIO_STACK_LOCATION Location(PIRP irp, int level) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}

// The dispatches this thread is running, innermost last: which request, at
// which location, in which of its epochs, and what the dispatch did. Only
// the thread running a dispatch marks it, so the list needs no lock.
struct ActiveDispatch {
    IrpRecord* record;
    int level;
    uint32_t epoch;
    uint8_t flags;
};

std::vector<ActiveDispatch>& Dispatches() {
    thread_local std::vector<ActiveDispatch> active;
    return active;
}

// Marks what the dispatch at the request's current location did, when this
// thread is running that dispatch; what other threads do meanwhile is no part
// of what the dispatch itself did before returning.
void MarkLevel(IrpRecord* record, int level, uint8_t flag) {
    auto& active = Dispatches();
    const uint32_t epoch = record->frameEpoch.load(std::memory_order_acquire);
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
        if (it->record == record && it->level == level && it->epoch == epoch) {
            it->flags |= flag;
            return;
        }
    }
}

// Marks the dispatch this thread is running for the request (its innermost
// one): the caller of IoCallDriver, whichever location it passes down from.
void MarkCaller(IrpRecord* record, uint8_t flag) {
    auto& active = Dispatches();
    const uint32_t epoch = record->frameEpoch.load(std::memory_order_acquire);
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
        if (it->record == record && it->epoch == epoch) {
            it->flags |= flag;
            return;
        }
    }
}

// A request starting afresh moves to its next epoch (with the kernel's lock
// held, so only readers run alongside).
void NextEpoch(IrpRecord* record) {
    record->frameEpoch.store(record->frameEpoch.load(std::memory_order_relaxed) + 1,
                             std::memory_order_release);
}

// Ends this thread's innermost dispatch of the request at `level`; returns
// what it did (nothing, when the request started afresh meanwhile).
uint8_t EndDispatch(IrpRecord* record, int level) {
    auto& active = Dispatches();
    const uint32_t epoch = record->frameEpoch.load(std::memory_order_acquire);
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
        if (it->record == record && it->level == level) {
            const uint8_t flags = it->epoch == epoch ? it->flags : 0;
            active.erase(std::next(it).base());
            return flags;
        }
    }
    return 0;
}

void WaitForOtherRoutine(State& s, IrpRecord* record, std::unique_lock<std::mutex>& guard) {
    if (record->routineDepth == 0)
        return;
    CvWaiter waiter(s);
    sched::Wait(guard, s.cv, [record] {
        return record->routineDepth == 0 || record->routineThread == std::this_thread::get_id();
    });
}

std::string Describe(PIRP irp) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    int level = irp->CurrentLocation;
    std::string text = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
    if (level >= 1 && level <= irp->StackCount)
        text +=
            " (major " + Hex(stack->MajorFunction) + ", minor " + Hex(stack->MinorFunction) + ")";
    return text;
}

} // namespace

namespace kshim {

IrpRecord* RecordOf(PIRP irp) {
    return static_cast<IrpRecord*>(irp->KshimRecord);
}

namespace {
// Where the room for the request starts in its record's block.
constexpr size_t kRoomOffset =
    (sizeof(IrpRecord) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
// Room every block has: requests of up to four stack locations fit any
// record, so a record from the graveyard is taken again whatever the size of
// the request it held.
constexpr size_t kUsualRoom = sizeof(IRP) + 4 * sizeof(IO_STACK_LOCATION);

// The request ends where its room ends, so that a driver writing past its
// last stack location leaves the block.
void PlaceIrp(IrpRecord* record, size_t irpBytes) {
    auto* room = reinterpret_cast<unsigned char*>(record) + kRoomOffset;
    record->irp = reinterpret_cast<PIRP>(room + record->room - irpBytes);
}
} // namespace

IrpRecord* NewIrpRecord(size_t irpBytes) {
    const size_t room = irpBytes > kUsualRoom ? irpBytes : kUsualRoom;
    auto* record = new (::operator new(kRoomOffset + room)) IrpRecord;
    record->room = room;
    PlaceIrp(record, irpBytes);
    return record;
}

void DeleteIrpRecord(IrpRecord* record) {
    if (!record)
        return;
    record->~IrpRecord();
    ::operator delete(static_cast<void*>(record));
}

// Freed requests stay readable for this many later ones, so that late misuse
// is reported, not turned into a crash.
constexpr size_t kGraveyardSize = 4096;

namespace {

// A record this thread took out of the graveyard when it retired a request,
// for its next kernel request: that one is made without the kernel's lock
// and listed as live when it is first passed down. A record of an earlier
// kernel is told by its serial number and left alone (that kernel freed it).
struct Stash {
    uint64_t serial = 0;
    IrpRecord* record = nullptr;
};
thread_local Stash t_stash;
// Whether this thread makes requests (only such a thread stashes a record).
thread_local bool t_sender = false;

// Makes `record` (a new one when null) ready for a new request of `bytes`.
PIRP Prepare(IrpRecord*& record, size_t bytes, CCHAR stackSize, IrpOrigin origin) {
    if (record) {
        const uint64_t generation = record->generation;
        NextEpoch(record);
        record->state = IrpState::Idle;
        record->generation = generation + 1;
        record->routineDepth = 0;
        record->routineThread = {};
        record->onFinal = nullptr;
        record->keep.reset();
        record->retireAtFinal = false;
        record->systemBuffer.clear();
        record->outputBuffer = nullptr;
        record->outputLength = 0;
        PlaceIrp(record, bytes);
    } else {
        record = NewIrpRecord(bytes);
    }
    PIRP irp = record->irp;
    std::memset(irp, 0, bytes);
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Location(irp, stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    record->origin = origin;
    // A reused record keeps its lists' room: a steady stream of requests
    // allocates nothing here. Only power requests fill them.
    for (auto& devices : record->visited)
        devices.clear();
    record->startedBy.clear();
    record->kernelMdl = nullptr;
    irp->KshimRecord = record;
    return irp;
}

// Takes a record out of State::liveIrps or State::stashed, with `mu` held.
void Unlist(std::vector<IrpRecord*>& list, IrpRecord* record) {
    if (record->liveIndex < list.size() && list[record->liveIndex] == record) {
        IrpRecord* last = list.back();
        list[record->liveIndex] = last;
        last->liveIndex = record->liveIndex;
        list.pop_back();
    }
}

// Lists a stashed record's request as live when it is first passed down,
// with `mu` held.
void ListStashed(State& s, IrpRecord* record) {
    Unlist(s.stashed, record);
    record->stashed = false;
    record->liveIndex = s.liveIrps.size();
    s.liveIrps.push_back(record);
}

} // namespace

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin, PVOID mdlAddress, ULONG mdlLength) {
    State& s = Current();
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    t_sender = true;
    if (origin == IrpOrigin::Kernel && mdlLength == 0 && t_stash.record &&
        t_stash.serial == s.serial && t_stash.record->room >= bytes) {
        // Only this thread knows the record until the request is passed down.
        IrpRecord* record = t_stash.record;
        t_stash.record = nullptr;
        return Prepare(record, bytes, stackSize, origin);
    }
    // The oldest freed request, once the graveyard is full, is taken again
    // with its record, so a steady stream of requests allocates nothing. A
    // record this thread stashed is such a one, and is taken first.
    std::unique_lock<std::mutex> guard(s.mu);
    IrpRecord* record = nullptr;
    IrpRecord* unfit = nullptr; // too small, deleted once the lock is released
    if (t_stash.record && t_stash.serial == s.serial) {
        Unlist(s.stashed, t_stash.record);
        (t_stash.record->room >= bytes ? record : unfit) = t_stash.record;
        t_stash.record = nullptr;
    }
    if (!record && s.graveyard.size() >= kGraveyardSize) {
        record = s.graveyard.front();
        s.graveyard.pop_front();
        if (record->room < bytes) {
            DeleteIrpRecord(record);
            record = nullptr;
        }
    }
    PIRP irp = Prepare(record, bytes, stackSize, origin);
    record->stashed = false;
    record->liveIndex = s.liveIrps.size();
    s.liveIrps.push_back(record);
    if (origin != IrpOrigin::Kernel)
        s.driverIrps.insert(irp);
    if (mdlLength) {
        record->kernelMdl = NewKernelMdlLocked(s, mdlAddress, mdlLength);
        irp->MdlAddress = record->kernelMdl;
    }
    guard.unlock();
    if (unfit)
        DeleteIrpRecord(unfit);
    return irp;
}

namespace {

// Retires a request with `mu` held. Returns the oldest record the graveyard
// let go of, to be deleted once the lock is released, or null.
IrpRecord* RetireLocked(State& s, IrpRecord* record) {
    record->state = IrpState::Freed;
    if (record->stashed) {
        Unlist(s.stashed, record); // retired without being passed down
        record->stashed = false;
    } else {
        Unlist(s.liveIrps, record);
    }
    if (record->origin != IrpOrigin::Kernel)
        s.driverIrps.erase(record->irp);
    s.graveyard.push_back(record);
    IrpRecord* oldest = nullptr;
    if (s.graveyard.size() >= kGraveyardSize && t_sender &&
        (!t_stash.record || t_stash.serial != s.serial)) {
        // A thread that makes requests keeps the oldest for its next one,
        // which NewIrp would have taken from a graveyard this full.
        IrpRecord* next = s.graveyard.front();
        s.graveyard.pop_front();
        t_stash = Stash{s.serial, next};
        next->stashed = true;
        next->liveIndex = s.stashed.size();
        s.stashed.push_back(next);
    } else if (s.graveyard.size() > kGraveyardSize) {
        oldest = s.graveyard.front();
        s.graveyard.pop_front();
    }
    s.WakeWaiters();
    return oldest;
}

// True when completing `irp` from its current location runs no completion
// routine and leaves no power location to check.
bool PlainWalk(PIRP irp) {
    for (int level = irp->CurrentLocation < 1 ? 1 : irp->CurrentLocation; level <= irp->StackCount;
         ++level) {
        PIO_STACK_LOCATION stack = Location(irp, level);
        if (stack->CompletionRoutine || stack->MajorFunction == IRP_MJ_POWER)
            return false;
    }
    return true;
}

// What ends a completion once the kernel's lock is released.
struct Final {
    std::function<void(PIRP)> hook;
    std::shared_ptr<void> keep;
    IrpOrigin origin = IrpOrigin::Kernel;
    IrpRecord* oldest = nullptr; // let go of by the graveyard, to be deleted
};

// Ends a completion with `mu` held: the request is done, and retired at once
// when its final step would begin so.
void FinishLocked(State& s, IrpRecord* record, Final& final) {
    record->state = IrpState::Done;
    final.origin = record->origin;
    final.hook = std::move(record->onFinal);
    record->onFinal = nullptr;
    final.keep = std::move(record->keep);
    // A kernel MDL a driver freed itself is not freed again.
    if (record->kernelMdl)
        FreeMdlLocked(s, record->kernelMdl);
    record->kernelMdl = nullptr;
    if (record->retireAtFinal && final.hook) {
        final.oldest = RetireLocked(s, record);
        return;
    }
    s.WakeWaiters();
}

} // namespace

// Freed requests stay readable for a while so that late misuse is reported,
// not turned into a crash.
void RetireIrp(PIRP irp) {
    State& s = Current();
    IrpRecord* oldest;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        oldest = RetireLocked(s, RecordOf(irp));
    }
    DeleteIrpRecord(oldest);
}

void DiscardIrp(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if (record->kernelMdl) {
        FreeKernelMdl(record->kernelMdl);
        record->kernelMdl = nullptr;
        irp->MdlAddress = nullptr;
    }
    RetireIrp(irp);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* status) {
    // Lives on this stack until the final completion has signalled it. Most
    // requests complete on this very thread before IofCallDriver returns:
    // they need no lock. Another thread signals under the lock, so it is done
    // with the record before the waiter can return.
    struct Finish {
        std::thread::id waiter = std::this_thread::get_id();
        std::mutex mu;
        std::condition_variable cv;
        bool doneHere = false; // touched by the waiter's thread only
        bool done = false;     // under mu
        IO_STATUS_BLOCK block{};
    } finish;
    IrpRecord* record = RecordOf(irp);
    record->retireAtFinal = true;
    record->onFinal = [&finish](PIRP finished) {
        const IO_STATUS_BLOCK block = finished->IoStatus;
        if (std::this_thread::get_id() == finish.waiter) {
            finish.block = block;
            finish.doneHere = true;
            return;
        }
        std::lock_guard<std::mutex> guard(finish.mu);
        finish.block = block;
        finish.done = true;
        finish.cv.notify_all();
    };
    IofCallDriver(device, irp);
    if (!finish.doneHere) {
        std::unique_lock<std::mutex> guard(finish.mu);
        sched::Wait(guard, finish.cv, [&finish] { return finish.done; });
    }
    if (status)
        *status = finish.block;
    return finish.block.Status;
}

} // namespace kshim

extern "C" {

USHORT IoSizeOfIrp_(CCHAR StackSize) {
    return static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    Current().RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (Current().CountAllocation())
        return nullptr;
    return NewIrp(StackSize, IrpOrigin::Driver);
}

VOID IoFreeIrp(PIRP Irp) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoFreeIrp");
    IrpRecord* record = RecordOf(Irp);
    std::string problem;
    {
        std::unique_lock<std::mutex> guard(s.mu);
        WaitForOtherRoutine(s, record, guard);
        bool ownRoutine = record->state == IrpState::Completing && record->routineDepth > 0 &&
                          record->routineThread == std::this_thread::get_id();
        if (record->state == IrpState::Freed)
            problem = "IoFreeIrp of a request already freed";
        else if (record->state == IrpState::InFlight ||
                 (record->state == IrpState::Completing && !ownRoutine))
            problem = "IoFreeIrp of a request still in use";
    }
    if (!problem.empty()) {
        s.Violate(Check::BadFree, problem + ": " + Describe(Irp));
        return;
    }
    RetireIrp(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    State& s = Current();
    IrpRecord* record = RecordOf(Irp);
    CCHAR stackSize = Irp->StackCount;
    USHORT size = Irp->Size;
    std::memset(Irp, 0, size);
    Irp->Type = 6;
    Irp->Size = size;
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = Location(Irp, stackSize + 1);
    Irp->IoStatus.Status = Status;
    Irp->KshimRecord = record;
    InitializeListHead(&Irp->ThreadListEntry);
    std::lock_guard<std::mutex> guard(s.mu);
    record->state = IrpState::Idle;
    NextEpoch(record);
}

VOID KshimMarkIrpPending_(PIRP Irp) {
    Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    MarkLevel(RecordOf(Irp), Irp->CurrentLocation, kMarked);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    State& s = Current();
    IrpRecord* record = RecordOf(Irp);
    sched::Point();
    DeviceRecord* target = RecordOf(DeviceObject);
    if (target->deleted || target->detached || target->upperDetached) {
        const char* what = target->deleted    ? "IoCallDriver to a deleted device: "
                           : target->detached ? "IoCallDriver to a detached device: "
                                              : "IoCallDriver to a device whose upper device "
                                                "detached from it: ";
        s.Violate(Check::UseAfterRemoval, what + Describe(Irp));
        if (target->deleted) {
            // Its dispatch would run on a poisoned extension: the request
            // fails instead, as no device answers.
            Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            Irp->IoStatus.Information = 0;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    int level;
    {
        std::unique_lock<std::mutex> guard(s.mu);
        WaitForOtherRoutine(s, record, guard);
        if (record->state == IrpState::Done || record->state == IrpState::Freed) {
            guard.unlock();
            s.Violate(Check::PassedDownAfterCompletion, Describe(Irp));
            return STATUS_UNSUCCESSFUL;
        }
        int caller = Irp->CurrentLocation;
        if (caller <= 1) {
            std::fprintf(stderr, "kshim: %s has no stack location left\n", Describe(Irp).c_str());
            std::abort();
        }
        if (record->stashed)
            ListStashed(s, record);
        MarkCaller(record, kPassedDown);
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        level = Irp->CurrentLocation;
        Dispatches().push_back(
            ActiveDispatch{record, level, record->frameEpoch.load(std::memory_order_acquire), 0});
        if (Irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER) {
            if (record->visited.size() <= static_cast<size_t>(level))
                record->visited.resize(static_cast<size_t>(Irp->StackCount) + 2);
            record->visited[level].push_back(DeviceObject);
        }
        record->state = IrpState::InFlight;
        record->generation++;
    }
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    KIRQL entry = ThreadIrql();
    // A device that pages in its power code takes power requests at passive level only.
    if (major == IRP_MJ_POWER && entry > PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE))
        s.Violate(Check::PowerIrpWrongLevel,
                  "power IRP passed at IRQL " + std::to_string(entry) + ": " + Describe(Irp));
    else if (major == IRP_MJ_PNP && entry > PASSIVE_LEVEL)
        s.Violate(Check::PnpIrpWrongLevel,
                  "Plug and Play IRP passed above passive level: " + Describe(Irp));
    else if (entry > DISPATCH_LEVEL)
        s.Violate(Check::IrqlNotRestored, "IoCallDriver above dispatch level");

    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);

    if (ThreadIrql() != entry) {
        s.Violate(Check::IrqlNotRestored, "dispatch of major " + Hex(major) + " returned at IRQL " +
                                              std::to_string(ThreadIrql()) + " instead of " +
                                              std::to_string(entry));
        LowerIrql(entry);
    }
    const uint8_t flags = EndDispatch(record, level);
    if (status == STATUS_PENDING)
        MarkCaller(record, kLowerPending);
    // The description is built only for a finding: this runs for every IRP.
    auto where = [&] {
        return "major " + Hex(major) + " of device " +
               Hex(reinterpret_cast<uintptr_t>(DeviceObject));
    };
    if (status == STATUS_PENDING && !(flags & kMarked) &&
        !((flags & kPassedDown) && (flags & kLowerPending)))
        s.Violate(Check::PendingNotMarked, where());
    if (status != STATUS_PENDING && (flags & kMarked))
        s.Violate(Check::MarkedNotPending,
                  where() + " returned " + Hex(static_cast<ULONG>(status)));
    if (status != STATUS_PENDING && !(flags & (kPassedDown | kCompleted)))
        s.Violate(Check::ReturnedWithoutCompleting,
                  where() + " returned " + Hex(static_cast<ULONG>(status)));
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    sched::Point();
    IrpRecord* record = RecordOf(Irp);
    // A walk that runs no routine ends the request in the same look at the
    // kernel's state that begins it: nothing can run in between.
    const bool plain = PlainWalk(Irp);
    Final final;
    bool finished = plain;
    {
        std::unique_lock<std::mutex> guard(s.mu);
        WaitForOtherRoutine(s, record, guard);
        if (record->state == IrpState::Done || record->state == IrpState::Freed) {
            guard.unlock();
            s.Violate(Check::IrpCompletedTwice, Describe(Irp));
            return;
        }
        record->state = IrpState::Completing;
        record->generation++;
        MarkLevel(record, Irp->CurrentLocation, kCompleted);
        if (plain)
            FinishLocked(s, record, final);
    }
    // IoCancelIrp may take the routine away on another thread meanwhile.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(Irp, nullptr))
        s.Violate(Check::CancelRoutineAtCompletion, Describe(Irp));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        s.Violate(Check::MarkedNotPending,
                  "request completed with STATUS_PENDING: " + Describe(Irp));

    for (;;) {
        if (Irp->CurrentLocation > Irp->StackCount)
            break;
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        // Every driver a power request passes must start the next one before
        // completion leaves its location (before passing down, in its
        // completion routine, or before completing), also a driver that
        // skipped its location and shares it with the one below.
        if (stack->MajorFunction == IRP_MJ_POWER) {
            std::vector<PDEVICE_OBJECT> missing;
            {
                std::lock_guard<std::mutex> guard(s.mu);
                const auto level = static_cast<size_t>(Irp->CurrentLocation);
                if (level < record->visited.size())
                    for (PDEVICE_OBJECT device : record->visited[level])
                        if (std::find(record->startedBy.begin(), record->startedBy.end(), device) ==
                            record->startedBy.end())
                            missing.push_back(device);
            }
            for (PDEVICE_OBJECT device : missing)
                s.Violate(Check::PowerIrpNotStarted,
                          "device " + Hex(reinterpret_cast<uintptr_t>(device)) + " at level " +
                              std::to_string(Irp->CurrentLocation) + " of " + Describe(Irp));
        }
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool top = Irp->CurrentLocation > Irp->StackCount;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine &&
            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        PDEVICE_OBJECT owner = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        if (invoke && ((owner && RecordOf(owner)->deleted) || s.InDeletedDevice(context))) {
            // The routine would run on a poisoned extension: reported, not run.
            s.Violate(Check::UseAfterRemoval,
                      "completion routine of a deleted device, not run: " + Describe(Irp));
            invoke = false;
        }
        if (invoke) {
            sched::Point();
            PDEVICE_OBJECT device = owner;
            bool pendingBefore = Irp->PendingReturned;
            uint64_t generation;
            {
                std::lock_guard<std::mutex> guard(s.mu);
                record->routineDepth++;
                record->routineThread = std::this_thread::get_id();
                generation = record->generation;
            }
            KIRQL entry = ThreadIrql();
            NTSTATUS result = routine(device, Irp, context);
            if (ThreadIrql() != entry) {
                s.Violate(Check::IrqlNotRestored, "completion routine changed the IRQL");
                ThreadIrql() = entry;
            }
            // When the rest of the walk runs no routine, the request ends in
            // this same look at the kernel's state.
            const bool restPlain = result != STATUS_MORE_PROCESSING_REQUIRED && PlainWalk(Irp);
            bool retaken;
            {
                std::lock_guard<std::mutex> guard(s.mu);
                record->routineDepth--;
                retaken = record->generation != generation;
                if (result == STATUS_MORE_PROCESSING_REQUIRED && !retaken &&
                    record->state != IrpState::Freed)
                    record->state = IrpState::Reclaimed;
                if (restPlain && !retaken && record->state == IrpState::Completing) {
                    FinishLocked(s, record, final);
                    finished = true;
                } else {
                    s.WakeWaiters();
                }
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (retaken) {
                s.Violate(Check::IrpCompletedTwice,
                          "a completion routine passed the request on or completed it, then "
                          "returned " +
                              Hex(static_cast<ULONG>(result)));
                return;
            }
            if (!top && pendingBefore &&
                !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED))
                s.Violate(Check::CompletionLostPending,
                          "routine " + Hex(reinterpret_cast<uintptr_t>(routine)) + " on " +
                              Describe(Irp));
        } else if (Irp->PendingReturned && !top) {
            Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
        }
    }

    if (!finished) {
        std::lock_guard<std::mutex> guard(s.mu);
        FinishLocked(s, record, final);
    }
    DeleteIrpRecord(final.oldest);
    const IrpOrigin origin = final.origin;
    if (origin == IrpOrigin::Driver) {
        s.Violate(Check::AllocatedIrpReachedTop,
                  Describe(Irp) + ": its owner's routine did not take it back");
        return;
    }
    if (origin == IrpOrigin::DriverIoctl) {
        if (!record->systemBuffer.empty() && record->outputBuffer) {
            size_t bytes = Irp->IoStatus.Information;
            if (bytes > record->outputLength)
                bytes = record->outputLength;
            std::memcpy(record->outputBuffer, record->systemBuffer.data(), bytes);
        }
        if (Irp->MdlAddress) {
            FreeKernelMdl(Irp->MdlAddress);
            Irp->MdlAddress = nullptr;
        }
        if (Irp->UserIosb)
            *Irp->UserIosb = Irp->IoStatus;
        if (Irp->UserEvent)
            KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
        RetireIrp(Irp);
        return;
    }
    if (final.hook)
        final.hook(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    State& s = Current();
    // The cancel spin lock is held like any other: nesting and a second
    // acquisition are findings.
    *Irql = KeAcquireSpinLockRaiseToDpc(&s.cancelLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&Current().cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Drivers look at the flag without the cancel lock once their cancel
    // routine is set, so it is published atomically.
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = nullptr;
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount)
        device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    routine(device, Irp);
    auto& held = HeldLocks();
    if (std::find(held.begin(), held.end(), &s.cancelLock) != held.end()) {
        s.Violate(Check::SpinLockOrder, "cancel routine returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (s.CountAllocation())
        return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpOrigin::DriverIoctl);
    IrpRecord* record = RecordOf(irp);
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        size_t size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            record->systemBuffer.assign(size, 0);
            if (InputBuffer && InputBufferLength)
                std::memcpy(record->systemBuffer.data(), InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
            record->outputBuffer = OutputBuffer;
            record->outputLength = OutputBufferLength;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength) {
            record->systemBuffer.assign(static_cast<const uint8_t*>(InputBuffer),
                                        static_cast<const uint8_t*>(InputBuffer) +
                                            InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
        }
        // The output buffer reaches the driver described by an MDL.
        if (OutputBuffer && OutputBufferLength)
            irp->MdlAddress = NewKernelMdl(OutputBuffer, OutputBufferLength);
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

} // extern "C"
