// The transfer lock: an auto-reset event that starts signalled. Taking it
// waits, on the link's clock, for at most a given time; releasing it signals
// it again, whoever holds it. Waiting on the link's clock lets tests expire a
// wait of seconds by moving virtual time instead of sleeping.
#pragma once

#include "port/Clock.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace usb {

class TransferLock {
public:
    explicit TransferLock(port::Clock& clock) : clock_(&clock) {}

    // Blocks until the lock is signalled (then takes it, resetting it, and
    // returns true) or until `timeoutMs` of clock time have passed (false).
    bool Take(uint32_t timeoutMs);
    // Signals the lock; never blocks. Signalling a signalled lock changes nothing.
    void Give();

    void SetClock(port::Clock& clock);
    // How many callers are waiting in Take now, so a test can move time only
    // once a waiter is in place.
    int Waiters();

private:
    port::Clock* clock_;
    std::mutex mutex_;
    std::condition_variable signalled_;
    bool isSignalled_ = true;
    int waiters_ = 0;
};

} // namespace usb
