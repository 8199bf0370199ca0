// Wire time of the engine's work on the simulated writer with the full-speed
// timing model on (virtual time on the bus clock), next to the host time it
// cost: the load of body 10's largest image one packet per transfer and as a
// block load, against the bus's limit (bytes / (19 x 64 bytes per ms)), and a
// full pass over 16 sockets, per step. Argument 0 runs the in-process route,
// 1 the route through LINKPOD in the user-mode kernel.
#include "bench/ScratchFolder.h"
#include "core/Profiler.h"
#include "driver/simstack/KernelStack.h"
#include "engine/OTP.h"
#include "image/BodyTable.h"
#include "port/ProgramPath.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"
#include "sim/StepTime.h"
#include "usb/USBInfo.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kBody = 10;

std::string Folder() {
    static const std::string folder = bench::ScratchFolder("burnwright-wire-bench");
    return folder;
}

// Body 10's largest accepted file and a profile whose OTP holds its chip image.
std::string PrepareImage() {
    const image::SizeRule* rule = image::FindSizeRule(kBody);
    uint32_t length = rule->upTo;
    for (uint32_t l : rule->lengths)
        length = std::max(length, l);
    std::vector<char> bytes(length);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + (i >> 9));
    const std::string image = Folder() + "body10.bin";
    std::ofstream(image, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(Folder() + "OTPBodyProfile.xml")
        << "<Profile>\n<Body BodyID=\"10\" OTPSize=\"4096\" OTPBinSize=\"1\" FwBody=\"10\" "
           "ComboName=\" B \" BodySeries=\"1\" BodyType=\"1\"/>\n</Profile>\n";
    return image;
}

struct Rig {
    Rig(bool throughKernel, int blockBytes, uint32_t programNsPerByte = 0)
        : program(Folder() + "Burnwright.exe") {
        static const std::string image = PrepareImage();
        core::C_Profiler().WriteInt(core::settings::kGeneral, core::settings::kLoadBlockBytes,
                                    blockBytes);
        bus = std::make_shared<sim::Bus>(clock);
        sim::WriterConfig config;
        config.instance = "7&wire&" + std::to_string(std::random_device{}()) + "&0";
        writer = bus->AddWriterWithChips(config);
        sim::WireSettings wire;
        wire.on = true;
        wire.programNsPerByte = programNsPerByte;
        bus->SetWireSettings(wire);
        if (throughKernel)
            io = std::make_unique<driver::simstack::KernelStack>(bus);
        else
            io = std::make_unique<sim::SimDeviceIo>(bus);
        link = std::make_unique<usb::C_USBInfo>(io.get(), clock, result);
        otp = std::make_unique<engine::C_OTP>(*link, clock, result);
        link->SetBodyType(usb::kIceBodyWriter);
        otp->SelectBody(kBody);
        otp->GetImage()->SetFileName(image);
        otp->GetImage()->GetWordImage();
        otp->ScanSockets();
        otp->ReadStatus();
        otp->ResetSocketStates();
    }

    // Runs `step`; its wire and host milliseconds.
    template <class Step> std::pair<double, double> Time(Step step) {
        const sim::StepTime time(bus.get());
        step();
        return {double(time.WireMs()), time.HostMs()};
    }

    port::ScopedModuleFileName program;
    port::ManualClock clock;
    core::C_Result result;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<port::DeviceIo> io;
    std::unique_ptr<usb::C_USBInfo> link;
    std::unique_ptr<engine::C_OTP> otp;
};

// Loads the whole image; wire time against the bus's limit for its bytes.
void Load(benchmark::State& state, int blockBytes) {
    Rig rig(state.range(0) != 0, blockBytes);
    const double bytes = double((rig.otp->GetImage()->GetWordImageSize() + 255) / 256 * 256);
    const double limitMs = bytes / (19.0 * 64.0);
    double wire = 0, host = 0;
    for (auto _ : state) {
        const auto t = rig.Time([&] {
            if (!rig.otp->LoadBuffer())
                state.SkipWithError("the load failed");
        });
        wire += t.first;
        host += t.second;
    }
    const double n = double(state.iterations());
    state.counters["wire_ms"] = wire / n;
    state.counters["limit_ms"] = limitMs;
    state.counters["wire_over_limit"] = wire / n / limitMs;
    state.counters["host_ms"] = host / n;
}

void LoadPerPacket(benchmark::State& state) {
    Load(state, 0);
}
BENCHMARK(LoadPerPacket)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void LoadBlock4K(benchmark::State& state) {
    Load(state, 4096);
}
BENCHMARK(LoadBlock4K)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond);

void LoadBlock64K(benchmark::State& state) {
    Load(state, 65536);
}
BENCHMARK(LoadBlock64K)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond);

// Load (block of 64 KiB), verify buffer, blank check, program and verify of
// 16 blank chips: each step's wire and host time. The second argument is the
// chips' programming time in ns per byte (0: the wire alone).
void FullPass16(benchmark::State& state) {
    Rig rig(state.range(0) != 0, 65536, static_cast<uint32_t>(state.range(1)));
    struct Step {
        const char* name;
        std::function<int()> run;
    };
    const std::vector<Step> steps = {
        {"load", [&] { return rig.otp->LoadBuffer(); }},
        {"verifybuf", [&] { return rig.otp->VerifyBuffer(0); }},
        {"blank", [&] { return rig.otp->BlankCheckOTP(); }},
        {"program", [&] { return rig.otp->ProgramOTP(); }},
        {"verify", [&] { return rig.otp->VerifyOTP(); }},
    };
    std::map<std::string, std::pair<double, double>> totals;
    for (auto _ : state) {
        for (int i = 0; i < 16; ++i)
            rig.writer->InsertChip(i);
        for (const Step& step : steps) {
            int passed = 0;
            const auto t = rig.Time([&] { passed = step.run(); });
            if (!passed)
                state.SkipWithError((std::string("the step failed: ") + step.name).c_str());
            totals[step.name].first += t.first;
            totals[step.name].second += t.second;
        }
    }
    const double n = double(state.iterations());
    for (const auto& [name, t] : totals) {
        state.counters[name + "_wire_ms"] = t.first / n;
        state.counters[name + "_host_ms"] = t.second / n;
    }
}
BENCHMARK(FullPass16)
    ->ArgsProduct({{0, 1}, {0, 50000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
