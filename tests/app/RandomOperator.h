// A seeded random operator: the window logic on the headless host over a
// simulated writer (in process, or through LINKPOD in the user-mode kernel),
// and an operator who does anything an operator can, in any order: picks a
// body, opens images (good, short, changed on disk, deleted), ticks sockets
// and operations, loads, programs, runs and stops stress runs, reads back,
// sends the information commands, resets the counters, swaps chips, injects
// the writer's faults, unplugs and replugs, makes the settings file
// unwritable and writable again, and clicks whatever is enabled while a
// worker runs. Every transfer passes a gate the operator opens a few
// transfers at a time, so any moment of any action can be interrupted; time
// moves only when the operator moves the clock.
//
// After every step: while a worker holds the writer no action control is
// enabled and no other thread waits for the writer; whenever the window is
// idle after an action, the invariant (tests/support/Invariant.h) holds over
// what the window reported since the last idle moment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace apptest {

struct OperatorRun {
    uint32_t seed = 0;
    int steps = 0;
    bool throughDriver = false;
};

struct OperatorOutcome {
    int stepsDone = 0;
    int checks = 0;                 // idle moments the invariant was checked at
    int heldChecks = 0;             // moments a worker held the writer, controls checked
    int chipsOk = 0;                // chips reported OK after programming, held to the image
    int chipsFailed = 0;            // chips reported failed
    std::string failure;            // empty when every check held
    std::vector<std::string> trace; // the last steps before the failure
};

OperatorOutcome RunRandomOperator(const OperatorRun& run);

} // namespace apptest
