// Chip-image and word-image builds for the largest file each layout family
// accepts, against memcpy of the file's bytes in the same run. The counter
// "x_memcpy" is the build time divided by the memcpy time.
#include "image/BodyTable.h"
#include "image/ChipBinFiles.h"
#include "image/Layouts.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace {

namespace layout = image::layout;
// Processor time of this process: the machine's other load counts less.
struct Clock {
    using time_point = std::clock_t;
    static std::clock_t now() { return std::clock(); }
};
double Seconds(std::clock_t from, std::clock_t to) {
    return static_cast<double>(to - from) / CLOCKS_PER_SEC;
}

std::vector<uint8_t> Content(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// Mean time of one memcpy of `size` bytes between warm buffers.
double MemcpySeconds(size_t size) {
    std::vector<uint8_t> from = Content(size), to(size);
    std::memcpy(to.data(), from.data(), size);
    int rounds = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
        std::memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
        ++rounds;
        now = Clock::now();
    } while (Seconds(start, now) < 0.2);
    return Seconds(start, now) / rounds;
}

using Build = std::function<void(layout::Bytes, layout::Out)>;

// The layout function alone, into a warm chip image.
void LayoutOnly(benchmark::State& state, int body, size_t fileSize, Build build) {
    const image::BodyLayout& row = *image::FindBodyLayout(body);
    const std::vector<uint8_t> file = Content(fileSize);
    // Bodies without a fixed chip size take three chip bytes per four file bytes.
    const size_t chipSize = row.units ? row.units : fileSize / 4 * 3;
    std::vector<uint8_t> chip(chipSize);
    build(file, chip);
    const double baseline = MemcpySeconds(fileSize);
    const auto start = Clock::now();
    for (auto _ : state) {
        build(file, chip);
        benchmark::DoNotOptimize(chip.data());
        benchmark::ClobberMemory();
    }
    const double each = Seconds(start, Clock::now()) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = each / baseline;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize));
}

// The image object: fresh buffers, chip image and word image, as after an open.
void ThroughObject(benchmark::State& state, int body, size_t fileSize) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("burnwright-bench-" + std::to_string(body)))
            .string();
    {
        const std::vector<uint8_t> file = Content(fileSize);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(fileSize));
    }
    auto image = image::CreateBodyImage(body);
    image->SetFileName(path);
    image->GetContents();
    const double baseline = MemcpySeconds(fileSize);
    const auto start = Clock::now();
    for (auto _ : state) {
        image->FreeImages();
        benchmark::DoNotOptimize(image->GetChipImage());
        benchmark::DoNotOptimize(image->GetWordImage());
    }
    const double each = Seconds(start, Clock::now()) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = each / baseline;
    image.reset();
    std::filesystem::remove(path);
}

struct Case {
    const char* family;
    int body;
    size_t fileSize;
    Build build;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"SixBit", 3, 0x7C000, layout::SixBit},
        {"SixBitSwapped", 1, 0x2A000, layout::SixBitSwapped},
        {"SevenBit", 4, 0x80000, layout::SevenBit},
        {"NibbleMerge", 7, 0xB0000, layout::NibbleMerge},
        {"InterleavedHalves", 9, 0x100000, layout::InterleavedHalves},
        {"PlainCopy", 30, 0x300000, layout::PlainCopy},
        {"TenBitWordPairs", 13, 0x34000, layout::TenBitWordPairs},
        {"TenBitConsecutivePlanes", 11, 0x180000,
         [](auto f, auto o) { layout::TenBitConsecutivePlanes(f, 0xC0000, o); }},
        {"TenBitInterleavedHalves", 8, 0xC0000,
         [](auto f, auto o) { layout::TenBitInterleavedHalves(f, 0x60000, o); }},
        {"TenBitInterleavedQuarters", 10, 0x600000,
         [](auto f, auto o) { layout::TenBitInterleavedQuarters(f, 0x300000, 18, o); }},
        {"TwelveBitSplitPlanes", 19, 0x400000,
         [](auto f, auto o) { layout::TwelveBitSplitPlanes(f, 0x200000, o); }},
        {"TwelveBitInterleavedHalves", 14, 0x154000,
         [](auto f, auto o) { layout::TwelveBitInterleavedHalves(f, 0x55000, o); }},
        {"TwelveBitPairedRegions", 15, 0x400000,
         [](auto f, auto o) { layout::TwelveBitPairedRegions(f, 0x80000, o); }},
        {"TenPlusTwoBit", 16, 0x2A000,
         [](auto f, auto o) { layout::TenPlusTwoBit(f, 0x15000, o); }},
    };
    return cases;
}

// Word images of the largest chip images, per group size.
void WordImage(benchmark::State& state, size_t chipSize, size_t group) {
    const std::vector<uint8_t> chip = Content(chipSize);
    std::vector<uint8_t> word(layout::WordImageSize(chipSize, group, false));
    const double baseline = MemcpySeconds(chipSize);
    const auto start = Clock::now();
    for (auto _ : state) {
        layout::WordImage(chip, group, false, word);
        benchmark::DoNotOptimize(word.data());
        benchmark::ClobberMemory();
    }
    const double each = Seconds(start, Clock::now()) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = each / baseline;
}

const bool registered = [] {
    for (const Case& c : Cases()) {
        benchmark::RegisterBenchmark((std::string("Layout/") + c.family).c_str(), LayoutOnly,
                                     c.body, c.fileSize, c.build)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("Object/") + c.family).c_str(), ThroughObject,
                                     c.body, c.fileSize)
            ->Unit(benchmark::kMicrosecond);
    }
    // The four-byte families without 256-bit vectors, as on older processors.
    for (const Case& c : Cases()) {
        if (c.body > 7)
            continue;
        benchmark::RegisterBenchmark((std::string("Narrow/") + c.family).c_str(),
                                     [c](benchmark::State& state) {
                                         layout::AllowWideVectors(false);
                                         LayoutOnly(state, c.body, c.fileSize, c.build);
                                         layout::AllowWideVectors(true);
                                     })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("WordImage/group2", WordImage, 0x400000, 2)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("WordImage/group3", WordImage, 0x300000, 3)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("WordImage/group4", WordImage, 0x300000, 4)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("WordImage/group8", WordImage, 0x300000, 8)
        ->Unit(benchmark::kMicrosecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
