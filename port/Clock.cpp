#include "port/Clock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// Virtual time for a whole process: a sleep moves the time and yields, so
// threads that poll each other still take turns.
class VirtualClock : public ManualClock {
public:
    VirtualClock() : ManualClock(1000) {}
    void SleepMs(uint32_t ms) override {
        ManualClock::SleepMs(ms);
        std::this_thread::yield();
    }
};

Clock& ChooseClock() {
    static SteadyClock steady;
    const char* time = std::getenv("BURNWRIGHT_SIM_TIME");
    if (!time || !*time || std::strcmp(time, "real") == 0)
        return steady;
    const char* writer = std::getenv("BURNWRIGHT_WRITER");
    if (std::strcmp(time, "virtual") != 0 || !writer || std::strncmp(writer, "sim", 3) != 0) {
        std::fprintf(stderr,
                     "BURNWRIGHT_SIM_TIME=%s ignored: virtual time is for a simulated writer "
                     "(BURNWRIGHT_WRITER=sim...) only\n",
                     time);
        return steady;
    }
    static VirtualClock virtualTime;
    return virtualTime;
}

} // namespace

Clock& SystemClock() {
    static Clock& clock = ChooseClock();
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
