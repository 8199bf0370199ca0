// Processor levels, spin locks, events, waits, timers and DPCs on virtual time.
#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace kshim;

namespace kshim {

std::vector<PKSPIN_LOCK>& HeldLocks() {
    thread_local std::vector<PKSPIN_LOCK> held;
    return held;
}

namespace {
std::vector<std::function<void()>>& DeferredStarts() {
    thread_local std::vector<std::function<void()>> starts;
    return starts;
}
// Whether this thread has deferred starts: a plain flag, read at every lowering.
thread_local bool t_deferred = false;
} // namespace

void StartWhenLowered(std::function<void()> start) {
    if (ThreadIrql() >= DISPATCH_LEVEL) {
        DeferredStarts().push_back(std::move(start));
        t_deferred = true;
    } else {
        start();
    }
}

void LowerIrql(KIRQL irql) {
    ThreadIrql() = irql;
    if (irql >= DISPATCH_LEVEL || !t_deferred)
        return;
    t_deferred = false;
    std::vector<std::function<void()>> starts;
    starts.swap(DeferredStarts());
    for (auto& start : starts)
        start();
}

void State::NoteArmedLocked() {
    uintptr_t lowest = UINTPTR_MAX;
    uintptr_t highest = 0;
    if (!timers.empty()) {
        lowest = reinterpret_cast<uintptr_t>(*timers.begin());
        highest = reinterpret_cast<uintptr_t>(*timers.rbegin());
    }
    if (!queuedDpcs.empty()) {
        lowest = std::min(lowest, reinterpret_cast<uintptr_t>(*queuedDpcs.begin()));
        highest = std::max(highest, reinterpret_cast<uintptr_t>(*queuedDpcs.rbegin()));
    }
    armedLow.store(lowest, std::memory_order_release);
    armedHigh.store(highest, std::memory_order_release);
}

bool State::MayHoldArmed(const void* start, size_t size) const {
    const auto low = reinterpret_cast<uintptr_t>(start);
    const auto high = low + size;
    return high > armedLow.load(std::memory_order_acquire) &&
           low <= armedHigh.load(std::memory_order_acquire);
}

void CheckFreedRange(const void* start, size_t size, const char* what) {
    State& s = Current();
    const char* begin = static_cast<const char*>(start);
    const char* end = begin + size;
    auto inside = [&](const void* p) {
        const char* c = static_cast<const char*>(p);
        return c >= begin && c < end;
    };
    if (!s.MayHoldArmed(start, size))
        return;
    std::vector<std::string> found;
    {
        std::lock_guard<std::mutex> guard(s.dmu);
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            if (inside(*it)) {
                (*it)->Inserted = FALSE;
                found.push_back(std::string("a timer still set in freed ") + what);
                it = s.timers.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = s.queuedDpcs.begin(); it != s.queuedDpcs.end();) {
            if (inside(*it)) {
                found.push_back(std::string("a DPC still queued in freed ") + what);
                it = s.queuedDpcs.erase(it);
            } else {
                ++it;
            }
        }
        s.NoteArmedLocked();
    }
    for (const std::string& detail : found)
        s.Violate(Check::TimerInFreedMemory, detail);
}

namespace {

void RunDpc(State& s, PKDPC dpc) {
    KIRQL old = ThreadIrql();
    ThreadIrql() = DISPATCH_LEVEL;
    sched::Point();
    if (s.InDeletedDevice(dpc) || s.InDeletedDevice(dpc->DeferredContext))
        s.Violate(Check::UseAfterRemoval, "a DPC of a deleted device about to run (not run)");
    else
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    if (ThreadIrql() != DISPATCH_LEVEL || !HeldLocks().empty())
        s.Violate(Check::IrqlNotRestored, "a DPC returned at another IRQL or holding a lock");
    HeldLocks().clear();
    {
        std::lock_guard<std::mutex> guard(s.dmu);
        --s.dpcRunning;
        s.dcv.notify_all();
    }
    LowerIrql(old);
}

int64_t DueFrom(State& s, LARGE_INTEGER due) {
    return due.QuadPart < 0 ? s.now - due.QuadPart : due.QuadPart;
}

bool Consumes(const DISPATCHER_HEADER* header) {
    return header->Type == SynchronizationEvent || header->Type == 9;
}

// Signals a dispatcher object (dmu held). A synchronization object releases
// the one thread that waited longest and stays clear; with no one waiting it
// stays set for the next. A notification object releases every thread already
// waiting, even if it is cleared again before they run.
void SignalLocked(State& s, DISPATCHER_HEADER* header) {
    // Most sets find no one waiting anywhere: no look-up then.
    auto found = s.waitQueues.empty() ? s.waitQueues.end() : s.waitQueues.find(header);
    if (Consumes(header)) {
        if (found != s.waitQueues.end() && !found->second.empty()) {
            found->second.front()->granted = true;
            found->second.pop_front();
            if (found->second.empty())
                s.waitQueues.erase(found);
        } else {
            header->SignalState = 1;
        }
    } else {
        header->SignalState = 1;
        if (found != s.waitQueues.end()) {
            for (State::WaitBlock* block : found->second)
                block->granted = true;
            s.waitQueues.erase(found);
        }
    }
    s.dcv.notify_all();
}

// Objects inside a deleted device's extension hold the poison pattern.
bool Poisoned(State& s, const DISPATCHER_HEADER* header, const char* routine) {
    if (header->Type != kPoisonByte)
        return false;
    s.Violate(Check::UseAfterRemoval,
              std::string(routine) + " on an object in a deleted device's extension");
    return true;
}

} // namespace

void Kernel::AdvanceMs(uint64_t ms) {
    State& s = *state_;
    sched::Point();
    int64_t target;
    {
        // One thread advances time at a time; under a schedule the others
        // wait for turns, not on a lock.
        std::unique_lock<std::mutex> guard(s.dmu);
        sched::Wait(guard, s.dcv, [&s] { return !s.advancing; });
        s.advancing = true;
        target = s.now + static_cast<int64_t>(ms) * 10000;
    }
    for (;;) {
        PKDPC dpc = nullptr;
        {
            std::lock_guard<std::mutex> guard(s.dmu);
            PKTIMER next = nullptr;
            for (PKTIMER t : s.timers)
                if (static_cast<int64_t>(t->DueTime.QuadPart) <= target &&
                    (!next || t->DueTime.QuadPart < next->DueTime.QuadPart))
                    next = t;
            if (!next) {
                s.now = target;
                s.advancing = false;
                s.dcv.notify_all();
                return;
            }
            if (static_cast<int64_t>(next->DueTime.QuadPart) > s.now)
                s.now = static_cast<int64_t>(next->DueTime.QuadPart);
            SignalLocked(s, &next->Header);
            if (next->Period > 0) {
                next->DueTime.QuadPart += static_cast<ULONGLONG>(next->Period) * 10000;
            } else {
                next->Inserted = FALSE;
                s.timers.erase(next);
                s.NoteArmedLocked();
            }
            dpc = next->Dpc;
            if (dpc) {
                dpc->SystemArgument1 = reinterpret_cast<PVOID>(s.now);
                ++s.dpcRunning;
            }
            s.dcv.notify_all();
        }
        if (dpc)
            RunDpc(s, dpc);
    }
}

} // namespace kshim

extern "C" {

KIRQL KeGetCurrentIrql(VOID) {
    return ThreadIrql();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    *OldIrql = ThreadIrql();
    if (NewIrql < ThreadIrql())
        Current().Violate(Check::IrqlNotRestored, "KeRaiseIrql to a lower level");
    ThreadIrql() = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > ThreadIrql())
        Current().Violate(Check::IrqlNotRestored, "KeLowerIrql to a higher level");
    LowerIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

namespace {

// The kernel's state is looked up only for a finding: spin locks are taken often.
void TakeLock(PKSPIN_LOCK lock) {
    auto& held = HeldLocks();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == kPoisonedLock) {
        // Taken for the record only: the lock itself is gone.
        Current().Violate(Check::UseAfterRemoval,
                          "spin lock in a deleted device's extension taken");
        held.push_back(lock);
        return;
    }
    for (PKSPIN_LOCK h : held) {
        if (h == lock) {
            // On a machine this thread would spin for ever; here it is a
            // finding, and the second release undoes only this one.
            Current().Violate(Check::SpinLockTakenTwice,
                              "spin lock " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                                  " taken again by the thread that holds it");
            held.push_back(lock);
            return;
        }
    }
    if (!held.empty())
        Current().Violate(Check::SpinLockNested,
                          "spin lock " + Hex(reinterpret_cast<uintptr_t>(lock)) + " taken while " +
                              Hex(reinterpret_cast<uintptr_t>(held.back())) + " is held");
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        expected = 0;
        if (sched::Scheduled())
            sched::Blocked();
        else
            std::this_thread::yield();
    }
    held.push_back(lock);
}

void DropLock(PKSPIN_LOCK lock) {
    auto& held = HeldLocks();
    // Mostly the lock taken last, held once.
    if (!held.empty() && held.back() == lock) {
        held.pop_back();
        if (held.empty() || std::find(held.begin(), held.end(), lock) == held.end()) {
            if (__atomic_load_n(lock, __ATOMIC_RELAXED) != kPoisonedLock)
                __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        }
        return;
    }
    auto last = std::find(held.rbegin(), held.rend(), lock);
    if (last == held.rend()) {
        Current().Violate(Check::SpinLockOrder,
                          "spin lock released that this thread does not hold");
        return;
    }
    if (last != held.rbegin())
        Current().Violate(Check::SpinLockOrder, "spin lock released before the one taken after it");
    held.erase(std::next(last).base());
    // A second hold of the same lock (a finding when taken) and a lock in a
    // deleted extension end without touching the lock.
    const bool stillHeld = std::find(held.begin(), held.end(), lock) != held.end();
    if (!stillHeld && __atomic_load_n(lock, __ATOMIC_RELAXED) != kPoisonedLock)
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

} // namespace

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    sched::Point();
    KIRQL old = ThreadIrql();
    if (old > DISPATCH_LEVEL)
        Current().Violate(Check::IrqlNotRestored, "spin lock taken above dispatch level");
    ThreadIrql() = DISPATCH_LEVEL;
    TakeLock(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    DropLock(SpinLock);
    LowerIrql(NewIrql);
    sched::Point();
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (ThreadIrql() < DISPATCH_LEVEL)
        Current().Violate(Check::IrqlNotRestored, "KeAcquireSpinLockAtDpcLevel below dispatch");
    TakeLock(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    DropLock(SpinLock);
    sched::Point();
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::memset(Event, 0, sizeof *Event);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
    if (Poisoned(s, &Event->Header, "KeSetEvent"))
        return 0;
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(s.dmu);
        previous = Event->Header.SignalState;
        SignalLocked(s, &Event->Header);
    }
    sched::Point();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "KeClearEvent");
    if (Poisoned(s, &Event->Header, "KeClearEvent"))
        return;
    std::lock_guard<std::mutex> guard(s.dmu);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "KeResetEvent");
    if (Poisoned(s, &Event->Header, "KeResetEvent"))
        return 0;
    std::lock_guard<std::mutex> guard(s.dmu);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    State& s = Current();
    sched::Point();
    std::lock_guard<std::mutex> guard(s.dmu);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    State& s = Current();
    bool polling = Timeout && Timeout->QuadPart == 0;
    if (!polling && (ThreadIrql() >= DISPATCH_LEVEL || !HeldLocks().empty()))
        s.Violate(Check::WaitAtRaisedIrql, ThreadIrql() >= DISPATCH_LEVEL
                                               ? "KeWaitForSingleObject at dispatch level"
                                               : "KeWaitForSingleObject holding a spin lock");
    DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (Poisoned(s, header, "KeWaitForSingleObject"))
        return STATUS_SUCCESS;
    sched::Point();
    std::unique_lock<std::mutex> guard(s.dmu);
    int64_t deadline = Timeout ? DueFrom(s, *Timeout) : INT64_MAX;
    if (header->SignalState) {
        if (Consumes(header))
            header->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (polling || s.now >= deadline)
        return STATUS_TIMEOUT;
    // Queued in arrival order: a set releases those already waiting.
    State::WaitBlock block;
    s.waitQueues[header].push_back(&block);
    auto stalledSince = std::chrono::steady_clock::now();
    int64_t seenNow = s.now;
    for (;;) {
        if (block.granted)
            return STATUS_SUCCESS;
        if (s.now >= deadline) {
            auto& queue = s.waitQueues[header];
            queue.erase(std::find(queue.begin(), queue.end(), &block));
            if (queue.empty())
                s.waitQueues.erase(header);
            return STATUS_TIMEOUT;
        }
        if (sched::Scheduled()) {
            guard.unlock();
            sched::Blocked();
            guard.lock();
            continue;
        }
        s.dcv.wait_for(guard, std::chrono::milliseconds(200));
        if (s.now != seenNow) {
            seenNow = s.now;
            stalledSince = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() - stalledSince > std::chrono::seconds(60)) {
            std::fprintf(stderr, "kshim: a wait was never satisfied (deadlock)\n");
            std::abort();
        }
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, WaitMode, Alertable, Interval);
    return STATUS_SUCCESS;
}

// A busy wait of microseconds; virtual time moves only when a test advances it.
VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    (void)MicroSeconds;
}

VOID KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    std::memset(Timer, 0, sizeof *Timer);
    Timer->Header.Type = Type == NotificationTimer ? 8 : 9;
    InitializeListHead(&Timer->Header.WaitListHead);
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Poisoned(s, &Timer->Header, "KeSetTimerEx") || (Dpc && s.InDeletedDevice(Dpc))) {
        if (Timer->Header.Type != kPoisonByte)
            s.Violate(Check::UseAfterRemoval, "KeSetTimerEx with a DPC in a deleted device");
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(s.dmu);
    BOOLEAN was = Timer->Inserted;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueFrom(s, DueTime));
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Header.SignalState = 0;
    Timer->Inserted = TRUE;
    s.timers.insert(Timer);
    s.NoteArmedLocked();
    return was;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "KeCancelTimer");
    if (Poisoned(s, &Timer->Header, "KeCancelTimer"))
        return FALSE;
    std::lock_guard<std::mutex> guard(s.dmu);
    BOOLEAN was = Timer->Inserted;
    Timer->Inserted = FALSE;
    s.timers.erase(Timer);
    s.NoteArmedLocked();
    return was;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.dmu);
    return Timer->Header.SignalState ? TRUE : FALSE;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    State& s = Current();
    if (s.InDeletedDevice(Dpc)) {
        s.Violate(Check::UseAfterRemoval, "KeInsertQueueDpc of a DPC in a deleted device");
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(s.dmu);
        if (s.queuedDpcs.count(Dpc))
            return FALSE;
        s.queuedDpcs.insert(Dpc);
        s.NoteArmedLocked();
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
    }
    s.Spawn([&s, Dpc] {
        {
            std::lock_guard<std::mutex> guard(s.dmu);
            if (!s.queuedDpcs.erase(Dpc))
                return;
            s.NoteArmedLocked();
            ++s.dpcRunning;
        }
        RunDpc(s, Dpc);
    });
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.dmu);
    const bool removed = s.queuedDpcs.erase(Dpc) != 0;
    s.NoteArmedLocked();
    return removed ? TRUE : FALSE;
}

VOID KeFlushQueuedDpcs(VOID) {
    State& s = Current();
    if (ThreadIrql() != PASSIVE_LEVEL)
        s.Violate(Check::WaitAtRaisedIrql, "KeFlushQueuedDpcs above passive level");
    std::unique_lock<std::mutex> guard(s.dmu);
    sched::Wait(guard, s.dcv, [&s] { return s.queuedDpcs.empty() && s.dpcRunning == 0; });
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.dmu);
    CurrentTime->QuadPart = s.now;
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.dmu);
    TickCount->QuadPart = s.now / 156250;
}

ULONG KeQueryTimeIncrement(VOID) {
    return 156250;
}

} // extern "C"
