#include "port/Clock.h"

#include <chrono>
#include <thread>

namespace port {

namespace {
class SteadyClock : public Clock {
public:
    uint64_t NowMs() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};
} // namespace

Clock& SystemClock() {
    static SteadyClock clock;
    return clock;
}

uint64_t ManualClock::NowMs() {
    std::lock_guard<std::mutex> guard(lock_);
    return now_;
}

void ManualClock::SleepMs(uint32_t ms) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ += ms;
    slept_ += ms;
}

void ManualClock::Advance(uint64_t ms) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ += ms;
}

uint64_t ManualClock::SleptMs() {
    std::lock_guard<std::mutex> guard(lock_);
    return slept_;
}

} // namespace port
