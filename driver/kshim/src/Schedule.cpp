#include "driver/kshim/src/Schedule.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace kshim::sched {

std::atomic<bool> g_on{false};

struct Turn {
    std::string name;
    std::condition_variable cv;
    bool waiting = false; // gave its turn away to wait
};

namespace {

struct Schedule {
    std::mutex mu;
    // In order of enrolment, which the schedule itself decides.
    std::vector<Turn*> threads;
    Turn* running = nullptr;
    std::mt19937_64 random;
    uint32_t seed = 0;
    // Chance that a point hands the turn on: drawn from the seed, so seeds
    // also differ in how often threads change.
    double handOn = 0.5;
    uint64_t steps = 0;
    // Turns given away in a row by waiting threads, and since when every
    // scheduled thread has been waiting (for an unscheduled one, or for ever).
    uint64_t idleTurns = 0;
    std::chrono::steady_clock::time_point stuckSince{};
    bool stuck = false;
    std::condition_variable outside;
    std::condition_variable emptied;
};

std::atomic<Schedule*> g_schedule{nullptr};
thread_local Turn* t_turn = nullptr;

Turn* Draw(Schedule& s) {
    return s.threads[static_cast<size_t>(s.random() % s.threads.size())];
}

void HandTo(Schedule& s, std::unique_lock<std::mutex>& lock, Turn* next, Turn* self) {
    static const bool trace = std::getenv("KSHIM_SCHEDULE_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "kshim: step %llu: %s hands the turn to %s\n",
                     static_cast<unsigned long long>(s.steps),
                     self ? self->name.c_str() : "(leaving)", next->name.c_str());
    s.running = next;
    next->cv.notify_one();
    if (self)
        self->cv.wait(lock, [&s, self] { return s.running == self; });
}

bool AllWaiting(const Schedule& s) {
    for (const Turn* turn : s.threads)
        if (!turn->waiting)
            return false;
    return true;
}

} // namespace

void PointSlow() {
    Turn* self = t_turn;
    if (!self)
        return;
    Schedule* s = g_schedule;
    if (!s)
        return;
    std::unique_lock<std::mutex> lock(s->mu);
    self->waiting = false;
    s->idleTurns = 0;
    s->stuck = false;
    ++s->steps;
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    if (draw(s->random) < s->handOn) {
        Turn* next = Draw(*s);
        if (next != self)
            HandTo(*s, lock, next, self);
    }
}

bool Scheduled() {
    return t_turn != nullptr && g_on.load(std::memory_order_relaxed);
}

void Blocked() {
    Turn* self = t_turn;
    if (!self)
        return;
    Schedule* s = g_schedule;
    if (!s)
        return;
    std::unique_lock<std::mutex> lock(s->mu);
    self->waiting = true;
    ++s->idleTurns;
    if (AllWaiting(*s) && s->idleTurns > 4 * s->threads.size()) {
        // Every scheduled thread has looked several times in vain: only an
        // unscheduled thread can help now, so give it real time.
        const auto now = std::chrono::steady_clock::now();
        if (!s->stuck) {
            s->stuck = true;
            s->stuckSince = now;
        } else if (now - s->stuckSince > std::chrono::seconds(10)) {
            std::fprintf(stderr,
                         "kshim: schedule seed %u: every scheduled thread waits and nothing "
                         "else moves (deadlock)\n",
                         s->seed);
            for (const Turn* turn : s->threads)
                std::fprintf(stderr, "kshim:   waiting: %s\n", turn->name.c_str());
            std::abort();
        }
        s->outside.wait_for(lock, std::chrono::milliseconds(1));
        s->idleTurns = 0;
    }
    Turn* next = Draw(*s);
    if (next != self)
        HandTo(*s, lock, next, self);
}

Turn* Enrol(const char* name) {
    Schedule* s = g_schedule;
    if (!s)
        return nullptr;
    auto* turn = new Turn;
    turn->name = name;
    std::lock_guard<std::mutex> lock(s->mu);
    s->threads.push_back(turn);
    if (!s->running)
        s->running = turn;
    return turn;
}

void Begin(Turn* turn) {
    Schedule* s = g_schedule;
    if (!turn || !s)
        return;
    t_turn = turn;
    std::unique_lock<std::mutex> lock(s->mu);
    turn->cv.wait(lock, [s, turn] { return s->running == turn; });
}

void End() {
    Turn* self = t_turn;
    if (!self)
        return;
    Schedule* s = g_schedule;
    if (!s)
        return;
    {
        std::unique_lock<std::mutex> lock(s->mu);
        s->threads.erase(std::find(s->threads.begin(), s->threads.end(), self));
        s->idleTurns = 0;
        if (s->running == self) {
            if (s->threads.empty())
                s->running = nullptr;
            else
                HandTo(*s, lock, Draw(*s), nullptr);
        }
        if (s->threads.empty())
            s->emptied.notify_all();
    }
    t_turn = nullptr;
    delete self;
}

void Start(uint32_t seed) {
    auto* s = new Schedule;
    s->seed = seed;
    g_schedule = s;
    Restart();
    g_on.store(true);
}

void Stop() {
    Schedule* s = g_schedule.load();
    if (!s)
        return;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (!s->threads.empty()) {
            std::fprintf(stderr, "kshim: the schedule stopped with scheduled threads alive\n");
            std::abort();
        }
    }
    g_on.store(false);
    g_schedule = nullptr;
    delete s;
}

void Restart() {
    Schedule* s = g_schedule;
    if (!s)
        return;
    std::lock_guard<std::mutex> lock(s->mu);
    s->random.seed(s->seed);
    std::uniform_real_distribution<double> draw(0.2, 0.8);
    s->handOn = draw(s->random);
    s->steps = 0;
}

void WaitUntilEmpty() {
    Schedule* s = g_schedule;
    if (!s)
        return;
    std::unique_lock<std::mutex> lock(s->mu);
    s->emptied.wait(lock, [s] { return s->threads.empty(); });
}

uint32_t Seed() {
    Schedule* s = g_schedule;
    return s ? s->seed : 0;
}

uint64_t Steps() {
    Schedule* s = g_schedule;
    if (!s)
        return 0;
    std::lock_guard<std::mutex> lock(s->mu);
    return s->steps;
}

} // namespace kshim::sched
