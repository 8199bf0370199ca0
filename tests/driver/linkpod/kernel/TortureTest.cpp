// The torture run (Torture.h) over a fixed number of seeds in every test run.
// BURNWRIGHT_TORTURE_SEEDS=N runs seeds 1..N (default 32; the thread-sanitized
// run takes more); BURNWRIGHT_TORTURE_SEED=S replays seed S alone.
#include "tests/driver/linkpod/kernel/Torture.h"

#include <cstdlib>
#include <string>

namespace linkpodtest {
namespace {

std::vector<uint32_t> TortureSeeds() {
    if (const char* one = std::getenv("BURNWRIGHT_TORTURE_SEED"))
        return {static_cast<uint32_t>(std::strtoul(one, nullptr, 10))};
    uint32_t count = 32;
    if (const char* many = std::getenv("BURNWRIGHT_TORTURE_SEEDS"))
        count = static_cast<uint32_t>(std::strtoul(many, nullptr, 10));
    std::vector<uint32_t> seeds;
    for (uint32_t seed = 1; seed <= count; ++seed)
        seeds.push_back(seed);
    return seeds;
}

class LinkPodTorture : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LinkPodTorture, PnpPowerAndIoAtOnceLeaveNoFinding) {
    SCOPED_TRACE("schedule seed " + std::to_string(GetParam()));
    Torture torture(GetParam());
    torture.Run();
    torture.Finish();
}

INSTANTIATE_TEST_SUITE_P(Seeds, LinkPodTorture, ::testing::ValuesIn(TortureSeeds()));

} // namespace
} // namespace linkpodtest
