// Wire time of the engine's work on the simulated writer with the full-speed
// timing model on (virtual time on the bus clock), next to the host time it
// cost: the load of body 10's largest image one packet per transfer and as a
// block load, against the bus's limit (bytes / (19 x 64 bytes per ms)), and a
// full pass over 16 sockets, per step. Argument 0 runs the in-process route,
// 1 the route through LINKPOD in the user-mode kernel, 2 the route through
// libusb to the writer presented as a USB device by umockdev (the per-packet
// load leaves it out: its hundred thousand transfers would take minutes).
// Transfer64 gives the host cost of one 64-byte transfer on each route, as a
// ratio to the in-process route, and how much of the libusb route is
// umockdev's own round trips.
//
// The libusb route needs umockdev's preload: the program starts itself again
// under it when it is not there (set BURNWRIGHT_BENCH_NO_PRELOAD to run
// without, and the libusb route reports an error).
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
#ifdef BURNWRIGHT_BENCH_LIBUSB
#include "port/usb/UsbDeviceIo.h"
#include "sim/umockdev/Testbed.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

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

enum Route { kInProcess = 0, kKernel = 1, kLibUsb = 2 };

// The backend of `route` over `bus`; null when the libusb route cannot run.
std::unique_ptr<port::DeviceIo> MakeRoute(int route, const std::shared_ptr<sim::Bus>& bus,
                                          std::shared_ptr<void>& testbed) {
    switch (route) {
    case kKernel:
        return std::make_unique<driver::simstack::KernelStack>(bus);
    case kLibUsb:
#ifdef BURNWRIGHT_BENCH_LIBUSB
        if (!sim::umock::InMockEnvironment())
            return nullptr;
        testbed = std::make_shared<sim::umock::Testbed>(bus);
        return std::make_unique<port::UsbDeviceIo>(
            port::UsbIdSelection{{port::kSimulatedWriterUsbId}, port::UsbIdSource::Default});
#else
        (void)testbed;
        return nullptr;
#endif
    default:
        return std::make_unique<sim::SimDeviceIo>(bus);
    }
}

struct Rig {
    Rig(int route, int blockBytes, uint32_t programNsPerByte = 0)
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
        io = MakeRoute(route, bus, testbed);
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
    std::shared_ptr<void> testbed; // the USB devices of the libusb route
    std::unique_ptr<port::DeviceIo> io;
    std::unique_ptr<usb::C_USBInfo> link;
    std::unique_ptr<engine::C_OTP> otp;
};

// Loads the whole image; wire time against the bus's limit for its bytes.
void Load(benchmark::State& state, int blockBytes) {
    Rig rig(static_cast<int>(state.range(0)), blockBytes);
    if (!rig.io) {
        state.SkipWithError("the libusb route needs libusb and umockdev's preload");
        return;
    }
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
BENCHMARK(LoadBlock4K)->Arg(0)->Arg(1)->Arg(2)->Iterations(2)->Unit(benchmark::kMillisecond);

void LoadBlock64K(benchmark::State& state) {
    Load(state, 65536);
}
BENCHMARK(LoadBlock64K)->Arg(0)->Arg(1)->Arg(2)->Iterations(2)->Unit(benchmark::kMillisecond);

// Load (block of 64 KiB), verify buffer, blank check, program and verify of
// 16 blank chips: each step's wire and host time. The second argument is the
// chips' programming time in ns per byte (0: the wire alone).
void FullPass16(benchmark::State& state) {
    Rig rig(static_cast<int>(state.range(0)), 65536, static_cast<uint32_t>(state.range(1)));
    if (!rig.io) {
        state.SkipWithError("the libusb route needs libusb and umockdev's preload");
        return;
    }
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
    ->ArgsProduct({{0, 1, 2}, {0, 50000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Host cost of 64-byte writes through the link's transfer object (lock, pipe
// open, transfer, close) on one route: the least microseconds per write over
// `batches` batches of `perBatch`, so that other work on the machine counts as
// little as it can. On the libusb route each batch is followed by a batch of
// umockdev's own round trips (a request the device answers at once, from a
// file of this process on the writer's node), measured the same way, and the
// requests each write made are counted.
struct RouteCost {
    double us = 0;
    double ioctlUs = 0;
    double ioctlsPerTransfer = 0;
};

double Micros(std::chrono::steady_clock::time_point since, int count) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since)
               .count() /
           count;
}

RouteCost CostOf(int route, int batches, int perBatch) {
    RouteCost cost;
    Rig rig(route, 0);
    if (!rig.io)
        return cost;
    std::vector<uint8_t> packet(64, 0);
    packet[0] = 0x27; // set counters: no reply, a small state change
    const std::string path = rig.link->GetDevicePath();
    auto& wire = rig.link->Transfer();
    wire.SetTimeout(3000);
#ifdef BURNWRIGHT_BENCH_LIBUSB
    const auto device = route == kLibUsb
                            ? std::static_pointer_cast<sim::umock::Testbed>(rig.testbed)->Device(0)
                            : nullptr;
    const int fd = device ? ::open(device->DeviceNode().c_str(), O_RDWR) : -1;
    uint64_t ioctls = 0;
#endif
    cost.us = cost.ioctlUs = 1e12;
    for (int b = 0; b < batches; ++b) {
#ifdef BURNWRIGHT_BENCH_LIBUSB
        const uint64_t before = device ? device->Counters().ioctls : 0;
#endif
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < perBatch; ++i)
            if (!wire.USB_Write(path, packet.data(), packet.size()))
                return {};
        cost.us = std::min(cost.us, Micros(start, perBatch));
#ifdef BURNWRIGHT_BENCH_LIBUSB
        if (device) {
            ioctls += device->Counters().ioctls - before;
            uint32_t capabilities = 0;
            start = std::chrono::steady_clock::now();
            for (int i = 0; i < perBatch; ++i)
                ::ioctl(fd, USBDEVFS_GET_CAPABILITIES, &capabilities);
            cost.ioctlUs = std::min(cost.ioctlUs, Micros(start, perBatch));
        }
#endif
    }
#ifdef BURNWRIGHT_BENCH_LIBUSB
    if (fd >= 0)
        ::close(fd);
    cost.ioctlsPerTransfer = double(ioctls) / (double(batches) * perBatch);
#endif
    return cost;
}

void Transfer64(benchmark::State& state) {
    for (auto _ : state) {
        const RouteCost inProcess = CostOf(kInProcess, 20, 2000);
        const RouteCost kernel = CostOf(kKernel, 20, 500);
        const RouteCost usb = CostOf(kLibUsb, 20, 100);
        state.counters["in_process_us"] = inProcess.us;
        state.counters["linkpod_us"] = kernel.us;
        state.counters["linkpod_ratio"] = kernel.us / inProcess.us;
        if (usb.us <= 0) {
            state.SkipWithError("the libusb route needs libusb and umockdev's preload");
            continue;
        }
        state.counters["libusb_us"] = usb.us;
        state.counters["libusb_ratio"] = usb.us / inProcess.us;
        state.counters["umockdev_ioctl_us"] = usb.ioctlUs;
        state.counters["ioctls_per_transfer"] = usb.ioctlsPerTransfer;
        // Of one transfer's cost, the part that is umockdev's round trips: the
        // two each transfer needs (submit, reap). The empty reaps libusb adds
        // while it waits overlap them.
        state.counters["umockdev_share"] = 2 * usb.ioctlUs / usb.us;
    }
}
BENCHMARK(Transfer64)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
#ifdef BURNWRIGHT_BENCH_LIBUSB
    // The libusb route's devices exist only under umockdev's preload.
    if (!sim::umock::InMockEnvironment() && !std::getenv("BURNWRIGHT_BENCH_NO_PRELOAD")) {
        const char* before = std::getenv("LD_PRELOAD");
        const std::string preload = std::string("libumockdev-preload.so.0") +
                                    (before && *before ? ":" : "") + (before ? before : "");
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("BURNWRIGHT_BENCH_NO_PRELOAD", "1", 1); // start again once only
        ::execv("/proc/self/exe", argv);
    }
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
