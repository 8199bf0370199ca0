// Host time of one programming pass (blank check, program, verify over 16
// sockets) started by the window's Program button on the headless host,
// against the same engine calls made directly, over the simulated writer
// in-process. The image is the largest one any body accepts that the
// simulated writer buffer holds. Each iteration gets 16 fresh blank chips
// and runs both; the counters give the window's overhead over the engine.
#include "app/BurnwrightDlg.h"
#include "app/headless/HeadlessHost.h"
#include "bench/ScratchFolder.h"
#include "core/Profiler.h"
#include "image/BodyTable.h"
#include "image/ChipBinFiles.h"
#include "image/OTPBodyProfiler.h"
#include "port/ProgramPath.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"
#include "usb/ProcessLink.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Setup {
    int body = 0;
    uint32_t length = 0;
    std::string folder;
};

// The largest accepted image whose word image fits the writer buffer.
Setup Choose() {
    Setup s;
    s.folder = bench::ScratchFolder("burnwright-window-bench");
    fs::copy_file(BURNWRIGHT_PROFILE, s.folder + "OTPBodyProfile.xml",
                  fs::copy_options::overwrite_existing);
    port::SetModuleFileNameOverride(s.folder + "Burnwright.exe");
    int best = 0;
    for (const image::SizeRule& rule : image::SizeRules()) {
        const uint32_t length = rule.lengths.empty() ? rule.upTo : rule.lengths[0];
        const std::string path = s.folder + "candidate.bin";
        std::vector<char> bytes(length);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 7 + (i >> 9));
        if (length >= 6)
            bytes[length - 6] = bytes[length - 5] = 0;
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        auto img = image::CreateBodyImage(rule.index);
        if (!img || !img->SetFileName(path))
            continue;
        const int words = img->GetWordImageSize();
        if (words > best && static_cast<size_t>(words) <= sim::kBufferCapacity) {
            best = words;
            s.body = rule.index;
            s.length = length;
            fs::copy_file(path, s.folder + "image.bin", fs::copy_options::overwrite_existing);
        }
    }
    return s;
}

void FreshChips(sim::Writer& writer) {
    for (int i = 0; i < 16; ++i) {
        writer.RemoveChip(i);
        writer.InsertChip(i);
    }
}

// Both passes on one window; the host and the window end before the backend.
void Measure(benchmark::State& state, const Setup& setup, port::ManualClock& clock,
             sim::Writer& writer) {
    app::headless::HeadlessHost host(clock, usb::LinkBackend());
    app::WindowServices services;
    services.clock = &clock;
    services.progressClock = &clock;
    app::CBurnwrightDlg dlg(host, services);
    host.Start(dlg);
    host.AnswerFileDialog(setup.folder + "image.bin");
    // The image carries no information record (a warning to confirm); the
    // load asks before it starts.
    host.AnswerBoxes({core::kIdOk, core::kIdOk});
    host.Click(app::ids::kOpen);
    host.Click(app::ids::kLoadToWriterBuffer);
    host.WaitIdle();
    if (!dlg.State().bufferLoaded) {
        // Say why: the boxes the window showed and socket 1's status text.
        for (const std::string& text : host.BoxTexts())
            std::fprintf(stderr, "box: %s\n", text.c_str());
        std::fprintf(stderr, "body %d, %u bytes, socket 1: %s\n", setup.body, setup.length,
                     host.Text(app::ids::kStatusTextBase).c_str());
        state.SkipWithError("the image did not load into the simulated writer");
        return;
    }
    engine::C_OTP& otp = dlg.Engine();

    double windowSeconds = 0;
    double engineSeconds = 0;
    for (auto _ : state) {
        FreshChips(writer);
        auto start = Clock::now();
        otp.SelectPassed(0);
        otp.BlankCheckOTP();
        otp.SelectPassed(1);
        otp.ProgramOTP();
        otp.SelectPassed(1);
        otp.VerifyOTP();
        const double engine = std::chrono::duration<double>(Clock::now() - start).count();
        host.Click(app::ids::kSelectAllSockets); // untick and tick: every socket takes part
        host.Click(app::ids::kSelectAllSockets);

        FreshChips(writer);
        start = Clock::now();
        host.Click(app::ids::kProgram);
        host.WaitIdle();
        const double window = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(window);
        windowSeconds += window;
        engineSeconds += engine;
        host.Click(app::ids::kSelectAllSockets);
        host.Click(app::ids::kSelectAllSockets);
    }
    state.counters["body"] = setup.body;
    state.counters["image_bytes"] = setup.length;
    state.counters["engine_ms"] = benchmark::Counter(engineSeconds * 1000 / state.iterations());
    state.counters["window_ms"] = benchmark::Counter(windowSeconds * 1000 / state.iterations());
    state.counters["overhead_pct"] = (windowSeconds / engineSeconds - 1) * 100;
    host.WaitIdle();
}

void BM_PassThroughWindowVersusEngine(benchmark::State& state) {
    const Setup setup = Choose();
    fs::remove(setup.folder + "Burnwright.ini");
    core::C_Profiler(setup.folder + "Burnwright.ini")
        .WriteInt("File", "DeviceBodyIndex", setup.body);

    port::ManualClock clock;
    auto bus = std::make_shared<sim::Bus>(clock);
    auto writer = bus->AddWriterWithChips();
    usb::InstallLinkBackend(std::make_unique<sim::SimDeviceIo>(bus), clock);
    Measure(state, setup, clock, *writer);
    usb::InstallLinkBackend(nullptr);
}
BENCHMARK(BM_PassThroughWindowVersusEngine)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace

BENCHMARK_MAIN();
