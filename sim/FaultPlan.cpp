#include "sim/FaultPlan.h"

#include <algorithm>

namespace sim {
namespace {

bool Fits(TransportFaultKind kind, Direction direction) {
    switch (kind) {
    case TransportFaultKind::ReadTimeout:
    case TransportFaultKind::ShortRead:
    case TransportFaultKind::ReadFails:
        return direction == Direction::Read;
    case TransportFaultKind::WriteTimeout:
    case TransportFaultKind::WriteFails:
        return direction == Direction::Write;
    case TransportFaultKind::Unplug:
        return true;
    }
    return false;
}

} // namespace

void FaultPlan::AddTransportFault(const TransportFault& fault) {
    transport_.push_back({fault, 0});
}

void FaultPlan::SetRandomTransportFaults(uint32_t seed, uint32_t perMille,
                                         std::vector<TransportFaultKind> kinds) {
    transportRandom_.seed(seed);
    transportPerMille_ = std::min<uint32_t>(perMille, 1000);
    randomKinds_ = std::move(kinds);
}

void FaultPlan::FailSocket(int socket, Operation op, uint32_t times) {
    sockets_.push_back({socket, op, times, 0});
}

void FaultPlan::SetRandomSocketFailures(uint32_t seed, uint32_t perMille) {
    socketRandom_.seed(seed);
    socketPerMille_ = std::min<uint32_t>(perMille, 1000);
}

void FaultPlan::Clear() {
    transport_.clear();
    sockets_.clear();
    transportPerMille_ = 0;
    randomKinds_.clear();
    socketPerMille_ = 0;
}

std::optional<TransportFault> FaultPlan::ForTransfer(uint64_t number, Direction direction) {
    for (auto& planned : transport_) {
        const TransportFault& f = planned.fault;
        if (f.times != 0 && planned.hits >= f.times)
            continue;
        if (number < f.atTransfer)
            continue;
        if (f.direction != Direction::Any && f.direction != direction)
            continue;
        if (!Fits(f.kind, direction))
            continue;
        ++planned.hits;
        return f;
    }
    if (transportPerMille_ == 0 || randomKinds_.empty())
        return std::nullopt;
    // Draw for every transfer, fitting or not, so the sequence of draws
    // depends only on the number of transfers.
    const uint32_t roll = transportRandom_() % 1000;
    const uint32_t pick = transportRandom_();
    if (roll >= transportPerMille_)
        return std::nullopt;
    std::vector<TransportFaultKind> fitting;
    for (auto kind : randomKinds_)
        if (Fits(kind, direction))
            fitting.push_back(kind);
    if (fitting.empty())
        return std::nullopt;
    TransportFault fault;
    fault.kind = fitting[pick % fitting.size()];
    return fault;
}

bool FaultPlan::SocketFails(int socket, Operation op) {
    for (auto& f : sockets_) {
        if (f.socket != socket || f.op != op)
            continue;
        if (f.times != 0 && f.hits >= f.times)
            continue;
        ++f.hits;
        return true;
    }
    if (socketPerMille_ == 0)
        return false;
    return socketRandom_() % 1000 < socketPerMille_;
}

} // namespace sim

namespace sim {

const char* OperationName(Operation op) {
    static const char* const names[kOperationCount] = {
        "blank check", "program",       "verify",       "IHRC trim",
        "LVD trim",    "read OTP",      "erase buffer", "blank check buffer",
        "load buffer", "verify buffer",
    };
    const auto index = size_t(op);
    return index < kOperationCount ? names[index] : "unknown";
}

} // namespace sim
