// Host time of the engine's programming cycle on the simulated writer with no
// device delay and the trace logs off: load, verify buffer, blank check,
// program and verify over 16 sockets, and the cost of one 64-byte transfer.
// Each runs over both routes to the writer: argument 0 the in-process
// "sim-direct" backend (the writer model alone), 1 the "sim" backend through
// the writer's driver in the user-mode kernel.
//
// Images: the largest image of any body that the simulated writer buffer
// holds (the cycle then succeeds on every socket), and the largest image any
// body accepts (its load streams every byte; the writer refuses what does not
// fit its buffer, so the steps after it report Fail).
#include "bench/ScratchFolder.h"
#include "driver/simstack/KernelStack.h"
#include "engine/OTP.h"
#include "image/ChipBinFiles.h"
#include "port/ProgramPath.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"
#include "usb/USBInfo.h"

#include <benchmark/benchmark.h>

#include <random>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Candidate {
    int body = 0;
    uint32_t fileLength = 0;
    int wordImageSize = 0;
    int units = 0;
};

std::string Folder() {
    static const std::string folder = bench::ScratchFolder("burnwright-engine-bench");
    return folder;
}

std::string ImagePath(int body) {
    return Folder() + "body" + std::to_string(body) + ".bin";
}

void WriteImage(int body, uint32_t length) {
    std::vector<char> bytes(length);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + (i >> 9));
    std::ofstream(ImagePath(body), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every body with its largest accepted file, measured once.
const std::vector<Candidate>& Candidates() {
    static const std::vector<Candidate> all = [] {
        std::vector<Candidate> list;
        for (const image::SizeRule& rule : image::SizeRules()) {
            const uint32_t length = rule.lengths.empty() ? rule.upTo : rule.lengths[0];
            WriteImage(rule.index, length);
            auto img = image::CreateBodyImage(rule.index);
            img->SetFileName(ImagePath(rule.index));
            list.push_back({rule.index, length, img->GetWordImageSize(), img->GetUnits()});
        }
        // The profile: each body's OTP holds its whole image.
        std::string xml = "<Profile>\n";
        for (const Candidate& c : list)
            xml += "<Body BodyID=\"" + std::to_string(c.body) + "\" OTPSize=\"" +
                   std::to_string((c.units + 1023) / 1024) + "\" OTPBinSize=\"1\" FwBody=\"" +
                   std::to_string(c.body) +
                   "\" ComboName=\" B \" BodySeries=\"1\" BodyType=\"1\"/>\n";
        std::ofstream(Folder() + "OTPBodyProfile.xml") << xml << "</Profile>\n";
        return list;
    }();
    return all;
}

Candidate Pick(bool fitsBuffer) {
    Candidate best;
    for (const Candidate& c : Candidates())
        if ((!fitsBuffer || static_cast<size_t>(c.wordImageSize) <= sim::kBufferCapacity) &&
            c.wordImageSize > best.wordImageSize)
            best = c;
    return best;
}

// A writer with 16 blank chips behind the real link and the engine.
struct Rig {
    Rig(int body, bool throughKernel) {
        port::SetModuleFileNameOverride(Folder() + "Burnwright.exe");
        bus = std::make_shared<sim::Bus>();
        sim::WriterConfig config;
        config.instance = "7&bench&" + std::to_string(std::random_device{}()) + "&0";
        writer = bus->AddWriterWithChips(config);
        if (throughKernel)
            io = std::make_unique<driver::simstack::KernelStack>(bus);
        else
            io = std::make_unique<sim::SimDeviceIo>(bus);
        link = std::make_unique<usb::C_USBInfo>(io.get(), port::SystemClock(), result);
        otp = std::make_unique<engine::C_OTP>(*link);
        link->SetBodyType(usb::kIceBodyWriter);
        otp->SelectBody(body);
        otp->GetImage()->SetFileName(ImagePath(body));
        otp->GetImage()->GetWordImage(); // the image is built before timing
        otp->ScanSockets();
        otp->ReadStatus();
        otp->ResetSocketStates();
    }
    void FreshChips() {
        for (int i = 0; i < 16; ++i)
            writer->InsertChip(i);
    }

    core::C_Result result;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<port::DeviceIo> io;
    std::unique_ptr<usb::C_USBInfo> link;
    std::unique_ptr<engine::C_OTP> otp;
};

void RunCycle(benchmark::State& state, const Candidate& c, bool mustPass) {
    Rig rig(c.body, state.range(0) != 0);
    state.SetLabel(state.range(0) ? "through the kernel" : "direct");
    uint64_t transfers = 0;
    int passed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig.FreshChips();
        const uint64_t before = rig.writer->TransferCount();
        state.ResumeTiming();
        engine::C_OTP& otp = *rig.otp;
        int ok = otp.LoadBuffer();
        ok &= otp.VerifyBuffer(0);
        ok &= otp.BlankCheckOTP();
        ok &= otp.ProgramOTP();
        ok &= otp.VerifyOTP();
        state.PauseTiming();
        transfers = rig.writer->TransferCount() - before;
        passed = otp.CountSockets(engine::kSocketOK);
        if (mustPass && (!ok || passed != 16))
            state.SkipWithError("the cycle did not pass on all 16 sockets");
        otp.ResetSocketStates();
        state.ResumeTiming();
    }
    state.counters["body"] = c.body;
    state.counters["word_image_bytes"] = c.wordImageSize;
    state.counters["transfers"] = static_cast<double>(transfers);
    state.counters["sockets_ok"] = passed;
    // Seconds of the cycle per transfer it made (shown with its SI prefix).
    state.counters["time_per_transfer"] =
        benchmark::Counter(static_cast<double>(transfers) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_CycleLargestImageTheBufferHolds(benchmark::State& state) {
    RunCycle(state, Pick(true), true);
}
BENCHMARK(BM_CycleLargestImageTheBufferHolds)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CycleLargestAcceptedImage(benchmark::State& state) {
    RunCycle(state, Pick(false), false);
}
BENCHMARK(BM_CycleLargestAcceptedImage)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One 64-byte command through the link to the writer.
void BM_OnePacketTransfer(benchmark::State& state) {
    Rig rig(Pick(true).body, state.range(0) != 0);
    state.SetLabel(state.range(0) ? "through the kernel" : "direct");
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.otp->SetCounters(1, 2));
    state.counters["time_per_transfer"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OnePacketTransfer)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The images and the profile are tens of megabytes: leave nothing behind.
    std::error_code ignored;
    std::filesystem::remove_all(Folder(), ignored);
    return 0;
}
