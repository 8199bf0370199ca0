// A working day on virtual time: a thousand passes and fifty stress runs on
// the headless host; memory, open handles and threads at the end are those
// after the first pass, and the counters hold every chip. A shorter day
// through the driver in the user-mode kernel checks the kernel's pool, IRPs,
// MDLs and work items the same way.
#include "tests/faults/FaultRig.h"

#include "app/ControlIds.h"
#include "core/Profiler.h"
#include "driver/simstack/KernelStack.h"
#include "usb/ProcessLink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <string>

namespace faults {
namespace {

struct Usage {
    size_t heap = 0;
    size_t handles = 0;
    int threads = 0;
    kshim::LiveObjects kernel; // through the driver only
};

Usage Measure(Rig& rig) {
    Usage usage;
    if (auto* stack = dynamic_cast<driver::simstack::KernelStack*>(usb::LinkBackend())) {
        rig.Settle();
        usage.kernel = stack->Live();
    }
    usage.heap = mallinfo2().uordblks;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++usage.handles;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            usage.threads = std::stoi(line.substr(8));
    return usage;
}

int Count(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text ? std::atoi(text) : fallback;
}

void Soak(Route route, int passes, int stressRuns) {
    Rig rig(route);
    rig.Start();
    rig.OpenImage();
    rig.Load();
    rig.Pass();
    // The host's record of what was shown grows by design: it is emptied.
    rig.host->ClearRecord();
    const Usage first = Measure(rig);
    Usage middle = first;
    for (int i = 1; i < passes; ++i) {
        rig.FreshChips();
        rig.Pass();
        rig.host->ClearRecord();
        if (i == passes / 2)
            middle = Measure(rig);
    }
    for (int i = 0; i < stressRuns; ++i) {
        rig.FreshChips();
        rig.Stress(2);
        rig.host->ClearRecord();
    }
    rig.host->WaitIdle();
    const Usage last = Measure(rig);
    // Every pass of the day: what the window reported is on the chips and counters.
    EXPECT_TRUE(rig.breaches.empty())
        << rig.breaches.size() << " breaches, the first: " << rig.breaches.front();
    std::printf("soak%s: %d passes, %d stress runs; heap %zu -> %zu bytes, handles %zu -> %zu, "
                "threads %d -> %d, kernel pool %zu -> %zu, IRPs %zu -> %zu, all driver "
                "objects %zu -> %zu\n",
                route == Route::Driver ? " through the driver" : "", passes, stressRuns, first.heap,
                last.heap, first.handles, last.handles, first.threads, last.threads,
                first.kernel.pool, last.kernel.pool, first.kernel.irps, last.kernel.irps,
                first.kernel.Total(), last.kernel.Total());
    // Each pass programs 16 chips; a stress run's second pass finds them programmed.
    const int good = 40 + 16 * (passes + stressRuns);
    EXPECT_EQ(rig.Setting(core::settings::kGeneral, core::settings::kOtpCounterOk),
              std::to_string(good % 10000));
    EXPECT_EQ(last.handles, first.handles);
    EXPECT_EQ(last.threads, first.threads);
    EXPECT_EQ(last.kernel.pool, first.kernel.pool);
    EXPECT_EQ(last.kernel.Total(), first.kernel.Total());
    // The heap may differ by what the allocator keeps in its caches, not by
    // anything that grows with the passes. Through the driver the kernel keeps
    // the last 4096 freed requests to catch a late use of one; they fill over
    // the first few dozen passes, so the second half of the day is held to
    // the same bound.
    EXPECT_LT(last.heap, middle.heap + 64 * 1024);
    if (route == Route::Direct) {
        EXPECT_LT(last.heap, first.heap + 64 * 1024);
    }
}

TEST(Soak, ThousandPassesAndFiftyStressRunsKeepMemoryHandlesAndThreads) {
    Soak(Route::Direct, Count("BURNWRIGHT_SOAK_PASSES", 1000), Count("BURNWRIGHT_SOAK_STRESS", 50));
}

TEST(Soak, PassesThroughTheDriverGiveBackEveryKernelObject) {
    Soak(Route::Driver, Count("BURNWRIGHT_SOAK_DRIVER_PASSES", 100),
         Count("BURNWRIGHT_SOAK_DRIVER_STRESS", 5));
}

} // namespace
} // namespace faults
