// How long one step of work takes: on the host, by its steady clock, and on
// the wire, by the bus's full-speed timing when that is on. Programs, tools
// and benchmarks report both side by side.
#pragma once

#include "sim/Bus.h"

#include <chrono>
#include <cstdint>

namespace sim {

class StepTime {
public:
    // Starts now. Without a bus (a real writer) there is no wire time.
    explicit StepTime(const Bus* bus);

    // The bus's wire timing is on.
    bool WireOn() const;
    // Host milliseconds since the start.
    double HostMs() const;
    // Wire milliseconds since the start; 0 when the wire timing is off.
    uint64_t WireMs() const;

private:
    const Bus* bus_;
    std::chrono::steady_clock::time_point start_;
    uint64_t wireStart_;
};

} // namespace sim
