// Time for waits. Code that waits seconds (settle delays, lock waits, polls,
// time limits) takes a Clock, so tests run those waits on virtual time.
#pragma once

#include <cstdint>
#include <mutex>

namespace port {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds from an arbitrary start; never goes back. Never blocks.
    virtual uint64_t NowMs() = 0;
    // Blocks the calling thread for `ms` milliseconds of this clock's time.
    virtual void SleepMs(uint32_t ms) = 0;
};

// The clock of the process: the machine's steady clock, on which SleepMs
// really sleeps; or, when BURNWRIGHT_SIM_TIME=virtual and BURNWRIGHT_WRITER
// names a simulated writer, virtual time that moves only by sleeps, so every
// wait of the program and of the writer model passes at once. Chosen once, at
// the first call; a simulated writer's model then runs on the same time.
Clock& SystemClock();

// Virtual time for tests. SleepMs does not block: it moves the time forward by
// the requested amount and returns, so a wait of seconds costs nothing.
// Safe to use from several threads.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t startMs = 0) : now_(startMs) {}
    uint64_t NowMs() override;
    void SleepMs(uint32_t ms) override;
    void Advance(uint64_t ms);
    // Total of all SleepMs requests, to check that a wait happened.
    uint64_t SleptMs();

private:
    std::mutex lock_;
    uint64_t now_;
    uint64_t slept_ = 0;
};

} // namespace port
