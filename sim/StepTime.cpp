#include "sim/StepTime.h"

namespace sim {

StepTime::StepTime(const Bus* bus)
    : bus_(bus), start_(std::chrono::steady_clock::now()),
      wireStart_(bus ? bus->Wire().NowMs() : 0) {}

bool StepTime::WireOn() const {
    return bus_ && bus_->Wire().On();
}

double StepTime::HostMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
        .count();
}

uint64_t StepTime::WireMs() const {
    return WireOn() ? bus_->Wire().NowMs() - wireStart_ : 0;
}

} // namespace sim
