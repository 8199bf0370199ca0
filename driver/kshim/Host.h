// The user-mode kernel seen from the test or program that hosts a driver: the
// virtual clock, the verifier's findings, allocation-failure injection, the
// platform version and the worker threads. One Kernel exists at a time; the
// kernel routines the driver calls act on it.
#pragma once

#include "driver/kshim/Kernel.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kshim {

class Registry;

// The rules the verifier checks; each finding names one.
enum class Check {
    IrpCompletedTwice,         // IoCompleteRequest on a request already completed
    PendingNotMarked,          // STATUS_PENDING returned without IoMarkIrpPending
    MarkedNotPending,          // marked pending but returned another status
    ReturnedWithoutCompleting, // non-pending return, request neither completed nor passed down
    CompletionLostPending,     // completion routine did not propagate the pending mark
    PassedDownAfterCompletion, // IoCallDriver on a request already completed
    CancelRoutineAtCompletion, // a cancel routine still set when the request completes
    PowerIrpWrongLevel,        // power request of a power-pageable device passed above passive
    SpinLockNested,            // a spin lock taken while another is held
    SpinLockOrder,             // a spin lock released that is not the last one taken
    WaitAtRaisedIrql,          // a wait at dispatch level or with a spin lock held, or pool
                               // allocated above dispatch level
    IrqlNotRestored,           // a routine returned at another level than it entered
    UntaggedAllocation,        // pool without the driver's tag
    LeakAtUnload,              // pool, IRPs, MDLs or work items alive at unload
    OutstandingIoAtRemoval,    // requests still inside the device when removal finished
    DeviceStillInitializing,   // DO_DEVICE_INITIALIZING left set after add-device
    BadFree,                   // freeing what is not allocated, or still in use
    OutputOverrun,             // more bytes reported than the output buffer holds
    AllocatedIrpReachedTop,    // a driver-allocated request completed past its owner
    WorkItemRequeued,          // a work item queued while still queued
    TimerInFreedMemory,        // a set timer or queued DPC inside freed memory
    BadMdl,                    // a partial MDL outside its source or too small a target
    UrbBufferTooShort,         // a URB whose buffer is shorter than its length
    ObjectStillRegistered,     // a device deleted while still registered with WMI
    PowerIrpNotStarted,        // power completion passes a driver that never started the next
    PagedAtDispatch,           // paged pool allocated or pageable code run at dispatch level
    PnpIrpWrongLevel,          // Plug and Play request passed above passive level
    DeviceDeletedAttached,     // a device deleted while still attached to a stack
    ExecutablePool,            // executable non-paged pool where the no-execute pool exists
    UseAfterRemoval,           // a deleted device touched (dispatch, completion, timer, DPC,
                               // work item, its locks and events), or a request sent to a
                               // deleted or detached device
    IrqlTooHigh,               // a kernel routine called above the highest IRQL it allows
    SpinLockTakenTwice,        // a spin lock taken again by the thread that holds it
};
// Number of checks; the last one above is SpinLockTakenTwice.
constexpr int kCheckCount = static_cast<int>(Check::SpinLockTakenTwice) + 1;
const char* CheckName(Check check);

struct Violation {
    Check check;
    std::string detail;
};

// Objects the driver owns at this moment.
struct LiveObjects {
    size_t pool = 0;
    size_t irps = 0;
    size_t mdls = 0;
    size_t workItems = 0;
    size_t keys = 0;
    size_t Total() const { return pool + irps + mdls + workItems + keys; }
};

struct State;

class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel the routines act on; null when none exists.
    static Kernel* Current();

    // Virtual time in 100 ns units since the kernel started.
    int64_t Now() const;
    // Moves virtual time forward, firing due timers and running their DPCs on
    // the calling thread at dispatch level, in due order. Never blocks on real time.
    void AdvanceMs(uint64_t ms);

    // Verifier. Allocations whose tag differs from the driver's tag are findings
    // once a tag is set.
    void SetDriverTag(ULONG tag);
    std::vector<Violation> Violations() const;
    size_t Count(Check check) const;
    bool Has(Check check) const { return Count(check) != 0; }
    void ClearViolations();
    // Called on every finding, on the thread that made it (tests add a failure).
    void OnViolation(std::function<void(const Violation&)> handler);
    void Report(Check check, const std::string& detail);

    // Allocation failure: the k-th driver allocation from now fails (k = 1 is
    // the next). Counts pool, IRPs, MDLs, work items, device objects and power
    // requests. 0 switches it off.
    void FailAllocationAt(uint64_t k);
    uint64_t Allocations() const;
    LiveObjects Live() const;

    // Answer of IoIsWdmVersionAvailable: versions up to this one are available.
    void SetWdmVersion(UCHAR major, UCHAR minor);
    Registry& GetRegistry();

    // Completion callbacks of power IRPs requested with PoRequestPowerIrp:
    // while held, each waits (its IRP already gone) until ReleasePowerCallbacks()
    // runs them on kernel threads, as a late callback would run.
    void HoldPowerCallbacks(bool hold);
    size_t HeldPowerCallbacks() const;
    size_t ReleasePowerCallbacks();

    // Waits (on a condition, not by sleeping) until no kernel thread has work:
    // work items, power requests, DPCs, deferred bus completions and interface
    // notifications. False when that did not happen within the limit.
    bool Settle(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Seeded schedule perturbation: from this call on, the kernel's own
    // threads and those started by RunThreads take turns, and at every kernel
    // call a driver makes a generator seeded with `seed` picks which runs
    // next. The same seed gives the same run; findings name the seed. Call it
    // before anything runs; it lasts as long as the kernel.
    void Perturb(uint32_t seed);
    // The schedule's seed; 0 without one.
    uint32_t Seed() const;
    // Runs each function on a thread of its own, in the schedule when there
    // is one, once the kernel's threads are idle; returns when all have returned. Threads that wait
    // for each other must do so through the kernel (events, requests).
    void RunThreads(const std::vector<std::pair<std::string, std::function<void()>>>& threads);
    // Threads waiting on a dispatcher object (event or timer) at this moment.
    size_t Waiters(const void* object) const;

    // Lines the driver printed with DbgPrint.
    std::vector<std::string> DebugLog() const;

    State& Internal() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

} // namespace kshim
