#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

#include <cstdio>
#include <cstdlib>

namespace kshim {

namespace {
Kernel* g_current = nullptr;
} // namespace

const char* CheckName(Check check) {
    switch (check) {
    case Check::IrpCompletedTwice:
        return "IRP completed twice";
    case Check::PendingNotMarked:
        return "STATUS_PENDING returned without IoMarkIrpPending";
    case Check::MarkedNotPending:
        return "IRP marked pending but another status returned";
    case Check::ReturnedWithoutCompleting:
        return "IRP neither completed nor passed down";
    case Check::CompletionLostPending:
        return "completion routine did not propagate pending";
    case Check::PassedDownAfterCompletion:
        return "IRP passed down after completion";
    case Check::CancelRoutineAtCompletion:
        return "cancel routine still set at completion";
    case Check::PowerIrpWrongLevel:
        return "power IRP of a power-pageable device passed above passive level";
    case Check::SpinLockNested:
        return "spin locks nested";
    case Check::SpinLockOrder:
        return "spin lock released out of order";
    case Check::WaitAtRaisedIrql:
        return "wait at raised IRQL";
    case Check::IrqlNotRestored:
        return "IRQL not restored";
    case Check::UntaggedAllocation:
        return "allocation without the driver's tag";
    case Check::LeakAtUnload:
        return "objects alive at unload";
    case Check::OutstandingIoAtRemoval:
        return "I/O outstanding at removal";
    case Check::DeviceStillInitializing:
        return "device left initializing";
    case Check::BadFree:
        return "bad free";
    case Check::OutputOverrun:
        return "more bytes reported than the output buffer holds";
    case Check::AllocatedIrpReachedTop:
        return "driver-allocated IRP completed past its owner";
    case Check::WorkItemRequeued:
        return "work item queued twice";
    case Check::TimerInFreedMemory:
        return "timer or DPC in freed memory";
    case Check::BadMdl:
        return "bad MDL";
    case Check::UrbBufferTooShort:
        return "URB buffer shorter than its length";
    case Check::ObjectStillRegistered:
        return "device deleted while registered with WMI";
    case Check::PowerIrpNotStarted:
        return "power IRP completed past a driver that did not call PoStartNextPowerIrp";
    case Check::PagedAtDispatch:
        return "paged pool or pageable code at dispatch level";
    case Check::PnpIrpWrongLevel:
        return "Plug and Play IRP passed above passive level";
    case Check::DeviceDeletedAttached:
        return "device deleted while attached";
    case Check::ExecutablePool:
        return "executable non-paged pool where the no-execute pool is offered";
    case Check::UseAfterRemoval:
        return "use after removal";
    case Check::IrqlTooHigh:
        return "kernel routine called above its IRQL";
    case Check::SpinLockTakenTwice:
        return "spin lock taken again by its holder";
    }
    return "unknown check";
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

State& Current() {
    if (!g_current) {
        std::fprintf(stderr, "kshim: a kernel routine was called with no Kernel alive\n");
        std::abort();
    }
    return g_current->Internal();
}

bool State::CountAllocation() {
    std::lock_guard<std::mutex> guard(mu);
    return CountAllocationLocked();
}

bool State::CountAllocationLocked() {
    ++allocations;
    if (failAt != 0 && allocations == failAt) {
        failAt = 0;
        return true;
    }
    return false;
}

void State::Violate(Check check, const std::string& detail) {
    Violation violation{check, std::string(CheckName(check)) + ": " + detail};
    // A finding under a schedule names the seed that replays it.
    if (const uint32_t seed = sched::Seed())
        violation.detail += " (schedule seed " + std::to_string(seed) + ")";
    std::function<void(const Violation&)> call;
    {
        std::lock_guard<std::mutex> guard(mu);
        violations.push_back(violation);
        call = handler;
    }
    if (call)
        call(violation);
}

void State::IrqlTooHigh(KIRQL highest, const char* routine) {
    Violate(Check::IrqlTooHigh, std::string(routine) + " at IRQL " + std::to_string(ThreadIrql()) +
                                    ", above " + std::to_string(highest));
}

bool State::InDeletedDevice(const void* address) const {
    const auto* at = static_cast<const uint8_t*>(address);
    for (const DeletedRange* range = deleted.load(std::memory_order_acquire); range;
         range = range->next)
        if (at >= range->begin && at < range->end)
            return true;
    return false;
}

void State::Spawn(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(mu);
        ++active;
    }
    // Enrolled here, by the spawning thread, so that the schedule decides
    // the order in which threads join it.
    sched::Turn* turn = sched::Enrol("kernel thread");
    std::thread([this, turn, work = std::move(work)] {
        sched::Begin(turn);
        ThreadIrql() = PASSIVE_LEVEL;
        work();
        LowerIrql(PASSIVE_LEVEL);
        {
            std::lock_guard<std::mutex> guard(mu);
            --active;
            WakeWaiters();
        }
        sched::End();
    }).detach();
}

Kernel::Kernel() : state_(std::make_unique<State>()) {
    if (g_current) {
        std::fprintf(stderr, "kshim: only one Kernel may exist at a time\n");
        std::abort();
    }
    static std::atomic<uint64_t> serials{0};
    state_->serial = ++serials;
    state_->owner = this;
    g_current = this;
}

Kernel::~Kernel() {
    if (!Settle(std::chrono::seconds(30))) {
        std::fprintf(stderr, "kshim: kernel threads still busy at shutdown\n");
        std::abort();
    }
    // A kernel thread leaves the schedule just after it stops counting as busy.
    sched::WaitUntilEmpty();
    sched::Stop();
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->graveyard.ForEach(DeleteIrpRecord);
    for (IrpRecord* record : state_->stashed)
        DeleteIrpRecord(record);
    for (IrpRecord* record : state_->liveIrps)
        DeleteIrpRecord(record);
    for (auto& [block, info] : state_->pool)
        std::free(block);
    for (auto& [mdl, info] : state_->mdls)
        ::operator delete(mdl);
    for (PMDL mdl : state_->spareMdls)
        ::operator delete(mdl);
    for (auto& [size, block] : state_->sparePool)
        std::free(block);
    for (void* key : state_->keys)
        delete static_cast<std::string*>(key);
    for (State::DeletedRange* range = state_->deleted.load(); range;) {
        State::DeletedRange* next = range->next;
        delete range;
        range = next;
    }
    g_current = nullptr;
}

Kernel* Kernel::Current() {
    return g_current;
}

int64_t Kernel::Now() const {
    std::lock_guard<std::mutex> guard(state_->dmu);
    return state_->now;
}

void Kernel::SetDriverTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->driverTag = tag;
}

std::vector<Violation> Kernel::Violations() const {
    std::lock_guard<std::mutex> guard(state_->mu);
    return state_->violations;
}

size_t Kernel::Count(Check check) const {
    std::lock_guard<std::mutex> guard(state_->mu);
    size_t count = 0;
    for (const Violation& v : state_->violations)
        count += v.check == check ? 1 : 0;
    return count;
}

void Kernel::ClearViolations() {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->violations.clear();
}

void Kernel::OnViolation(std::function<void(const Violation&)> handler) {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->handler = std::move(handler);
}

void Kernel::Report(Check check, const std::string& detail) {
    state_->Violate(check, detail);
}

void Kernel::FailAllocationAt(uint64_t k) {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->failAt = k == 0 ? 0 : state_->allocations + k;
}

uint64_t Kernel::Allocations() const {
    std::lock_guard<std::mutex> guard(state_->mu);
    return state_->allocations;
}

LiveObjects Kernel::Live() const {
    std::lock_guard<std::mutex> guard(state_->mu);
    LiveObjects live;
    for (auto& [block, info] : state_->pool)
        live.pool += info.driver ? 1 : 0;
    for (auto& [mdl, info] : state_->mdls)
        live.mdls += info.driver ? 1 : 0;
    live.irps = state_->driverIrps.size();
    live.workItems = state_->workItems.size();
    live.keys = state_->keys.size();
    return live;
}

void Kernel::SetWdmVersion(UCHAR major, UCHAR minor) {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->wdmMajor = major;
    state_->wdmMinor = minor;
}

void Kernel::HoldPowerCallbacks(bool hold) {
    std::lock_guard<std::mutex> guard(state_->mu);
    state_->holdPowerCallbacks = hold;
}

size_t Kernel::HeldPowerCallbacks() const {
    std::lock_guard<std::mutex> guard(state_->mu);
    return state_->heldPowerCallbacks.size();
}

size_t Kernel::ReleasePowerCallbacks() {
    std::vector<std::function<void()>> held;
    {
        std::lock_guard<std::mutex> guard(state_->mu);
        held.swap(state_->heldPowerCallbacks);
    }
    for (auto& callback : held)
        state_->Spawn(std::move(callback));
    return held.size();
}

Registry& Kernel::GetRegistry() {
    return state_->registry;
}

bool Kernel::Settle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(state_->mu);
    CvWaiter waiter(*state_);
    if (sched::Scheduled()) {
        // Under the schedule the wait is for turns, not for time.
        sched::Wait(guard, state_->cv, [this] { return state_->active == 0; });
        return true;
    }
    return state_->cv.wait_for(guard, limit, [this] { return state_->active == 0; });
}

void Kernel::Perturb(uint32_t seed) {
    sched::Start(seed);
}

uint32_t Kernel::Seed() const {
    return sched::Seed();
}

void Kernel::RunThreads(const std::vector<std::pair<std::string, std::function<void()>>>& threads) {
    std::vector<sched::Turn*> turns;
    for (const auto& [name, body] : threads)
        turns.push_back(sched::Enrol(name.c_str()));
    std::vector<std::thread> running;
    for (size_t i = 0; i < threads.size(); ++i) {
        running.emplace_back([turn = turns[i], body = threads[i].second] {
            sched::Begin(turn);
            body();
            sched::End();
        });
    }
    for (std::thread& thread : running)
        thread.join();
}

size_t Kernel::Waiters(const void* object) const {
    std::lock_guard<std::mutex> guard(state_->dmu);
    auto found = state_->waitQueues.find(object);
    return found == state_->waitQueues.end() ? 0 : found->second.size();
}

std::vector<std::string> Kernel::DebugLog() const {
    std::lock_guard<std::mutex> guard(state_->mu);
    return state_->debugLog;
}

} // namespace kshim
