// The random operator in the plain suite: a fixed set of seeds on each route
// to the writer. BURNWRIGHT_RANDOM_OPERATOR_SEEDS ("N": seeds 1 to N, "A-B":
// seeds A to B) and BURNWRIGHT_RANDOM_OPERATOR_STEPS (steps per seed) make a
// longer run, or replay the seed a failure names; with
// BURNWRIGHT_RANDOM_OPERATOR_TRACE set every step is printed, and the
// window's record with a failure.
#include "tests/app/RandomOperator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace apptest {
namespace {

constexpr uint32_t kSeeds = 3;
constexpr int kSteps = 1500;

struct Seeds {
    uint32_t first = 1;
    uint32_t last = kSeeds;
};

Seeds SeedsFromEnvironment() {
    Seeds seeds;
    if (const char* text = std::getenv("BURNWRIGHT_RANDOM_OPERATOR_SEEDS"); text && *text) {
        const std::string value = text;
        const size_t dash = value.find('-');
        if (dash == std::string::npos) {
            seeds.last = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            seeds.first = uint32_t(std::strtoul(value.substr(0, dash).c_str(), nullptr, 10));
            seeds.last = uint32_t(std::strtoul(value.substr(dash + 1).c_str(), nullptr, 10));
        }
    }
    return seeds;
}

int StepsFromEnvironment() {
    const char* text = std::getenv("BURNWRIGHT_RANDOM_OPERATOR_STEPS");
    return text && *text ? std::atoi(text) : kSteps;
}

void RunSeeds(bool throughDriver) {
    const Seeds seeds = SeedsFromEnvironment();
    const int steps = StepsFromEnvironment();
    int checks = 0, heldChecks = 0, stepsDone = 0, ok = 0, failed = 0;
    for (uint32_t seed = seeds.first; seed <= seeds.last; ++seed) {
        const OperatorOutcome outcome = RunRandomOperator({seed, steps, throughDriver});
        checks += outcome.checks;
        heldChecks += outcome.heldChecks;
        stepsDone += outcome.stepsDone;
        ok += outcome.chipsOk;
        failed += outcome.chipsFailed;
        if (std::getenv("BURNWRIGHT_RANDOM_OPERATOR_TRACE"))
            for (const std::string& step : outcome.trace)
                std::printf("%s\n", step.c_str());
        if (outcome.failure.empty())
            continue;
        std::string trace;
        for (const std::string& step : outcome.trace)
            trace += "\n    " + step;
        ADD_FAILURE() << "seed " << seed << (throughDriver ? " through LINKPOD" : " in process")
                      << ", step " << outcome.stepsDone << ": " << outcome.failure
                      << "\n  last steps:" << trace
                      << "\n  replay: BURNWRIGHT_RANDOM_OPERATOR_SEEDS=" << seed << "-" << seed
                      << " BURNWRIGHT_RANDOM_OPERATOR_STEPS=" << steps;
    }
    std::printf("random operator %s: seeds %u-%u, %d steps, %d idle checks, %d held checks, "
                "%d chips reported OK and %d failed\n",
                throughDriver ? "through LINKPOD" : "in process", seeds.first, seeds.last,
                stepsDone, checks, heldChecks, ok, failed);
}

TEST(RandomOperator, InProcessEveryStepKeepsTheInvariant) {
    RunSeeds(false);
}

#ifdef BURNWRIGHT_KERNEL_STACK
TEST(RandomOperator, ThroughLinkpodEveryStepKeepsTheInvariant) {
    RunSeeds(true);
}
#endif

} // namespace
} // namespace apptest
