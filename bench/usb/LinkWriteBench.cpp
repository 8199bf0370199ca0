// Host cost of one 64-byte packet write to the simulated writer with the USB
// trace off: through the whole link (lock, pipe open, transfer, close, log
// check) against the backend alone (pipe open, transfer, close) as baseline.
#include "usb/USBInfo.h"

#include "bench/ScratchFolder.h"

#include "port/ProgramPath.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"

#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

std::filesystem::path MakeFolder() {
    return bench::ScratchFolder("burnwright-usb-bench-" + std::to_string(::getpid()));
}

// A program folder of its own, with no settings file: the trace stays off.
class Fixture {
public:
    Fixture() : folder_(MakeFolder()), program_((folder_ / "Burnwright.exe").string()) {
        bus_->AddWriter();
        packet_[0] = 0x30; // the status query: harmless to repeat
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    sim::SimDeviceIo& Io() { return io_; }
    std::string Path() { return bus_->Writers().front()->InterfacePath(); }
    const std::array<uint8_t, 64>& Packet() const { return packet_; }
    port::Clock& Clock() { return clock_; }

private:
    std::filesystem::path folder_;
    port::ScopedModuleFileName program_;
    port::ManualClock clock_;
    std::shared_ptr<sim::Bus> bus_ = std::make_shared<sim::Bus>(clock_);
    sim::SimDeviceIo io_{bus_};
    std::array<uint8_t, 64> packet_{};
};

void BackendWrite64(benchmark::State& state) {
    Fixture fixture;
    const std::string pipe = fixture.Path() + "\\PIPE01";
    for (auto _ : state) {
        auto handle = fixture.Io().Open(pipe);
        size_t moved = 0;
        handle->Write(fixture.Packet().data(), 64, 3000, moved);
        benchmark::DoNotOptimize(moved);
    }
}
BENCHMARK(BackendWrite64);

void LinkWrite64(benchmark::State& state) {
    Fixture fixture;
    core::C_Result result;
    usb::C_USBInfo link(&fixture.Io(), fixture.Clock(), result);
    link.SetBodyType(usb::kIceBodyWriter);
    if (!link.Open()) {
        state.SkipWithError(link.GetMessage().c_str());
        return;
    }
    for (auto _ : state) {
        if (!link.Write(fixture.Packet().data(), 64)) {
            state.SkipWithError(link.GetMessage().c_str());
            break;
        }
    }
}
BENCHMARK(LinkWrite64);

} // namespace
