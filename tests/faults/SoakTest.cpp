// A working day on virtual time: a thousand passes and fifty stress runs on
// the headless host; memory, open handles and threads at the end are those
// after the first pass, and the counters hold every chip.
#include "tests/faults/FaultRig.h"

#include "app/ControlIds.h"
#include "core/Profiler.h"

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
};

Usage Measure() {
    Usage usage;
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

TEST(Soak, ThousandPassesAndFiftyStressRunsKeepMemoryHandlesAndThreads) {
    const int passes = Count("BURNWRIGHT_SOAK_PASSES", 1000);
    const int stressRuns = Count("BURNWRIGHT_SOAK_STRESS", 50);
    Rig rig;
    rig.Start();
    rig.OpenImage();
    rig.Load();
    rig.Pass();
    // The host's record of what was shown grows by design: it is emptied.
    rig.host->ClearRecord();
    const Usage first = Measure();
    for (int i = 1; i < passes; ++i) {
        rig.FreshChips();
        rig.Pass();
        rig.host->ClearRecord();
    }
    for (int i = 0; i < stressRuns; ++i) {
        rig.FreshChips();
        rig.Stress(2);
        rig.host->ClearRecord();
    }
    rig.host->WaitIdle();
    const Usage last = Measure();
    std::printf("soak: %d passes, %d stress runs; heap %zu -> %zu bytes, handles %zu -> %zu, "
                "threads %d -> %d\n",
                passes, stressRuns, first.heap, last.heap, first.handles, last.handles,
                first.threads, last.threads);
    // Each pass programs 16 chips; a stress run's second pass finds them programmed.
    const int good = 40 + 16 * (passes + stressRuns);
    EXPECT_EQ(rig.Setting(core::settings::kGeneral, core::settings::kOtpCounterOk),
              std::to_string(good % 10000));
    EXPECT_EQ(last.handles, first.handles);
    EXPECT_EQ(last.threads, first.threads);
    // The heap may differ by what the allocator keeps in its caches, not by
    // anything that grows with the passes.
    EXPECT_LT(last.heap, first.heap + 64 * 1024);
}

} // namespace
} // namespace faults
