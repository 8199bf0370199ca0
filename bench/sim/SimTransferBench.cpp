// Host cost of the simulated writer: one 64-byte command write and one
// status exchange through the "sim" backend, each opening its pipe as the
// program does, against copying the same 64 bytes as a baseline.
#include "port/Clock.h"
#include "sim/SimDeviceIo.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Rig {
    port::ManualClock clock;
    std::shared_ptr<sim::Bus> bus = std::make_shared<sim::Bus>(clock);
    std::shared_ptr<sim::Writer> writer = bus->AddWriterWithChips();
    sim::SimDeviceIo io{bus};
    std::string out = writer->InterfacePath() + "\\PIPE01";
    std::string in = writer->InterfacePath() + "\\PIPE00";
};

void BaselineCopy64(benchmark::State& state) {
    std::vector<uint8_t> a(64, 1), b(64);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), 64);
        benchmark::DoNotOptimize(b.data());
    }
}
BENCHMARK(BaselineCopy64);

void Write64(benchmark::State& state) {
    Rig rig;
    std::vector<uint8_t> packet(64, 0);
    packet[0] = 0x27; // set counters: no reply, small state change
    for (auto _ : state) {
        auto pipe = rig.io.Open(rig.out);
        size_t done = 0;
        pipe->Write(packet.data(), packet.size(), 3000, done);
        benchmark::DoNotOptimize(done);
    }
}
BENCHMARK(Write64);

void StatusExchange(benchmark::State& state) {
    Rig rig;
    std::vector<uint8_t> packet(64, 0), reply(64);
    packet[0] = 0x07;
    for (auto _ : state) {
        size_t done = 0;
        rig.io.Open(rig.out)->Write(packet.data(), packet.size(), 0, done);
        rig.io.Open(rig.in)->Read(reply.data(), reply.size(), 0, done);
        benchmark::DoNotOptimize(reply.data());
    }
}
BENCHMARK(StatusExchange);

} // namespace

BENCHMARK_MAIN();
