#include "usb/TransferLock.h"

#include <algorithm>
#include <chrono>

namespace usb {
namespace {
// A waiter looks at the clock at least this often (real time), so that a
// clock moved by someone else ends the wait promptly.
constexpr uint64_t kPollSliceMs = 5;
} // namespace

bool TransferLock::Take(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex_);
    const uint64_t deadline = clock_->NowMs() + timeoutMs;
    ++waiters_;
    while (!isSignalled_) {
        const uint64_t now = clock_->NowMs();
        if (now >= deadline)
            break;
        const uint64_t slice = std::min<uint64_t>(deadline - now, kPollSliceMs);
        signalled_.wait_for(guard, std::chrono::milliseconds(slice));
    }
    --waiters_;
    if (!isSignalled_)
        return false;
    isSignalled_ = false;
    return true;
}

void TransferLock::Give() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        isSignalled_ = true;
    }
    signalled_.notify_one();
}

void TransferLock::SetClock(port::Clock& clock) {
    std::lock_guard<std::mutex> guard(mutex_);
    clock_ = &clock;
}

int TransferLock::Waiters() {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiters_;
}

} // namespace usb
