// The seeded schedule: while it is on, the threads it knows (the kernel's own
// and those a test starts through Kernel::RunThreads) take turns, one at a
// time, and at every scheduling point (a kernel call a driver makes: waits,
// sets, spin locks, IoCallDriver, completion, ...) a generator seeded by the
// test picks which of them runs next. A thread that must wait gives its turn
// away and looks again when it gets one back. So what happens depends on the
// seed alone, not on the machine's speed, and a seed replays its run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace kshim::sched {

extern std::atomic<bool> g_on;

struct Turn;

void PointSlow();
// A scheduling point; nothing at all while no schedule is on.
inline void Point() {
    if (g_on.load(std::memory_order_relaxed))
        PointSlow();
}

// True when the calling thread takes turns.
bool Scheduled();
// Gives the turn away as a thread that waits for something; returns once it
// has the turn again, to look once more.
void Blocked();

// Blocks until `ready()` holds (evaluated with `lock` held): a scheduled
// thread by giving its turn away, any other by waiting on `cv`.
template <class Ready>
void Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready ready) {
    if (!Scheduled()) {
        cv.wait(lock, ready);
        return;
    }
    while (!ready()) {
        lock.unlock();
        Blocked();
        lock.lock();
    }
}

// A thread joins the schedule in two steps: its creator enrols it (so that
// the order of enrolment follows the schedule), then the thread itself
// begins, waiting for its first turn, and ends as its last act.
Turn* Enrol(const char* name);
void Begin(Turn* turn);
void End();

// Starts and stops the schedule (no scheduled thread may be alive at Stop).
void Start(uint32_t seed);
void Stop();
uint32_t Seed();
// Starts the seed's sequence again: threads that ran before, while an
// unscheduled thread set things up, drew from it at moments of the machine's
// choosing.
void Restart();
// For an unscheduled caller: waits until no thread is in the schedule.
void WaitUntilEmpty();
// Scheduling points passed so far.
uint64_t Steps();

} // namespace kshim::sched
