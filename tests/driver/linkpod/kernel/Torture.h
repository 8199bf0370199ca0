// Plug and Play, power and I/O at once under the kernel's seeded schedule:
// query-stop, stop, restart, query-remove, surprise removal and removal on
// one thread, system sleep and wake on another, two threads opening, reading,
// writing, sending vendor requests, cancelling and closing, and one moving
// virtual time so that idle suspend comes and goes, with remote wake armed.
// Everything, the device's start included, runs on the schedule's threads, so
// a seed replays its run exactly. Every failure and verifier finding names the
// seed.
#pragma once

#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <cstdint>

namespace linkpodtest {

// An event the actors signal each other with; waits on it take turns.
struct Signal {
    Signal() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    void Set() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
    void Wait() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
    bool IsSet() { return KeReadStateEvent(&event) != 0; }
    KEVENT event;
};

// A lock the way the system keeps Plug and Play and system power apart.
struct SystemLock {
    SystemLock() { KeInitializeEvent(&event, SynchronizationEvent, TRUE); }
    void Take() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
    void Give() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
    KEVENT event;
};

class Torture : public LinkPodTest {
public:
    explicit Torture(uint32_t seed) : seed_(seed) {}
    // The whole run; failures are reported to the running test.
    void Run();
    // Removes what is left, unloads and checks that nothing is left alive.
    void Finish() { TearDown(); }
    void TestBody() override {}

private:
    void Io(int id, Signal& stop, Signal& closed);
    void Pnp(Signal& ioStop, Signal* ioClosed, Signal& stopAll, Signal* othersDone);
    void Power(Signal& stopAll, Signal& done);
    void Time(Signal& powerDone, Signal& done);

    uint32_t seed_;
    SystemLock system_;
};

} // namespace linkpodtest
