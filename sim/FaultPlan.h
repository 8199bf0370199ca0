// Planned and random faults of one writer: on its transport (per transfer)
// and on its sockets (per socket and operation). Random faults come from a
// seeded generator, so a run with the same seed and the same transfers
// fails in the same places.
#pragma once

#include "sim/Types.h"

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace sim {

class FaultPlan {
public:
    void AddTransportFault(const TransportFault& fault);
    // Each transfer fails with probability perMille/1000, with one of `kinds`
    // that fits its direction (Unplug fits both).
    void SetRandomTransportFaults(uint32_t seed, uint32_t perMille,
                                  std::vector<TransportFaultKind> kinds);
    // Socket `socket` fails `op` the next `times` times (0 = always).
    void FailSocket(int socket, Operation op, uint32_t times = 0);
    // Every socket operation fails with probability perMille/1000.
    void SetRandomSocketFailures(uint32_t seed, uint32_t perMille);
    void Clear();

    // The fault that hits transfer `number` (1-based) going in `direction`.
    std::optional<TransportFault> ForTransfer(uint64_t number, Direction direction);
    bool SocketFails(int socket, Operation op);

private:
    struct Planned {
        TransportFault fault;
        uint32_t hits = 0;
    };
    struct SocketFault {
        int socket;
        Operation op;
        uint32_t times;
        uint32_t hits = 0;
    };

    std::vector<Planned> transport_;
    std::vector<SocketFault> sockets_;
    std::mt19937 transportRandom_;
    uint32_t transportPerMille_ = 0;
    std::vector<TransportFaultKind> randomKinds_;
    std::mt19937 socketRandom_;
    uint32_t socketPerMille_ = 0;
};

} // namespace sim
