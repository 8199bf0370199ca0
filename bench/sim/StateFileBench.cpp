// The simulated writer's state file on the state a body-10 pass leaves (a
// 6 MiB image in the shared buffer and programmed into 16 chips): the time
// and peak memory of the commands that read it (`burnwright-cli counters`,
// `burnwright-sim show`), of the pass that writes it, of a command that makes
// one change (a load and one save), and in process the time of one save of
// a small change on that state.
//
// Each command runs as its own process, as its user runs it; its peak memory
// is its maximum resident set. The budget is twice the model's bytes (16
// chips of 4 MiB and one 6 MiB buffer) plus the image. The programs are the
// ones built with this benchmark, or those in the folder that
// BURNWRIGHT_BENCH_PROGRAMS names (to measure another build the same way).
#include "bench/ScratchFolder.h"
#include "port/Clock.h"
#include "sim/SimDeviceIo.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kModelBytes = 16 * 4 * kMiB + 6 * kMiB;
constexpr double kImageBytes = 6 * kMiB;

struct Run {
    double seconds = 0;
    double peakBytes = 0;
};

std::string Folder() {
    static const std::string folder = bench::ScratchFolder("burnwright-state-file-bench");
    return folder;
}

std::string Program(const char* name, const char* built) {
    if (const char* other = std::getenv("BURNWRIGHT_BENCH_PROGRAMS"); other && *other)
        return (fs::path(other) / name).string();
    return built;
}

std::string StateFile() {
    return Folder() + "bus.state";
}

// Runs a program with the state file as the writer's; throws unless it exits 0.
Run Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> argv = args;
    std::vector<char*> raw;
    for (auto& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    const std::string writer = "sim:" + StateFile();
    const std::string programPath = Folder() + "burnwright";
    const std::string claims = Folder() + "claims";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("BURNWRIGHT_WRITER", writer.c_str(), 1);
        ::setenv("BURNWRIGHT_PROGRAM_PATH", programPath.c_str(), 1);
        ::setenv("BURNWRIGHT_LOCK_DIR", claims.c_str(), 1);
        ::setenv("BURNWRIGHT_SIM_TIME", "virtual", 1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakBytes = double(usage.ru_maxrss) * 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("\"" + args[0] + " " + args[1] + "\" failed");
    return run;
}

std::string Cli() {
    return Program("burnwright-cli", BURNWRIGHT_CLI);
}

std::string Sim() {
    return Program("burnwright-sim", BURNWRIGHT_SIM);
}

std::string Image() {
    return Folder() + "body10.bin";
}

std::vector<std::string> Pass() {
    return {Cli(), "--yes", "program", "--load", "--body", "10", Image()};
}

// The state after one body-10 pass, made once by the programs measured.
const std::string& Pristine() {
    static const std::string pristine = [] {
        fs::create_directories(Folder() + "claims");
        fs::copy_file(BURNWRIGHT_PROFILE, Folder() + "OTPBodyProfile.xml",
                      fs::copy_options::overwrite_existing);
        fs::remove(StateFile());
        Spawn({Cli(), "image", "make", "--body", "10", "--seed", "7", Image()});
        Spawn(Pass());
        const std::string kept = Folder() + "pristine.state";
        fs::copy_file(StateFile(), kept, fs::copy_options::overwrite_existing);
        return kept;
    }();
    return pristine;
}

void Restore() {
    fs::copy_file(Pristine(), StateFile(), fs::copy_options::overwrite_existing);
}

void Report(benchmark::State& state, double peak, bool withImage) {
    const double budget = 2 * (kModelBytes + (withImage ? kImageBytes : 0));
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["peak_of_budget"] = peak / budget;
    state.counters["state_file_MB"] = double(fs::file_size(StateFile())) / 1e6;
}

void Measure(benchmark::State& state, const std::vector<std::string>& args, bool withImage,
             bool freshChips = false) {
    double peak = 0;
    try {
        for (auto _ : state) {
            Restore();
            if (freshChips)
                Spawn({Sim(), StateFile(), "fresh-chips", "0"});
            const Run run = Spawn(args);
            state.SetIterationTime(run.seconds);
            peak = std::max(peak, run.peakBytes);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    Report(state, peak, withImage);
}

void BM_Counters(benchmark::State& state) {
    Measure(state, {Cli(), "counters"}, false);
}
BENCHMARK(BM_Counters)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Show(benchmark::State& state) {
    Measure(state, {Sim(), StateFile(), "show"}, false);
}
BENCHMARK(BM_Show)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// A load of the file, one change (a chip taken out) and its save.
void BM_OneChange(benchmark::State& state) {
    Measure(state, {Sim(), StateFile(), "remove-chip", "0", "15"}, false);
}
BENCHMARK(BM_OneChange)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The pass again on fresh chips: load, blank check, program, verify, and
// every save they make.
void BM_Pass(benchmark::State& state) {
    Measure(state, Pass(), true, true);
}
BENCHMARK(BM_Pass)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// In process: one save of a small change (the information block) on the
// state after the pass, as every command of a pass saves.
void BM_SaveOfASmallChange(benchmark::State& state) {
    Restore();
    port::ManualClock clock;
    auto bus = sim::MakeBus(StateFile(), clock);
    auto writer = bus->WriterAt(0);
    std::array<uint8_t, sim::kInfoBlockSize> block{};
    for (auto _ : state) {
        ++block[0];
        writer->SetInformation(block);
    }
    if (!bus->LastSaveError().empty())
        state.SkipWithError(bus->LastSaveError().c_str());
    state.counters["state_file_MB"] = double(fs::file_size(StateFile())) / 1e6;
}
BENCHMARK(BM_SaveOfASmallChange)->Iterations(20)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
