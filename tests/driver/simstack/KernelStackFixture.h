// Shared setup: a bus on virtual time with one writer at member 0, reached
// through the kernel stack. Every verifier finding fails the test.
#pragma once

#include "driver/simstack/KernelStack.h"
#include "port/Clock.h"
#include "sim/Bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace simstacktest {

using Bytes = std::vector<uint8_t>;
using Outcome = port::DeviceHandle::Outcome;

// The detection query: a 64-byte packet 0x0A 0x40.
Bytes DetectionQuery();

class KernelStackTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the writer's path followed by `pipe`; fails the test when it does not open.
    std::unique_ptr<port::DeviceHandle> OpenPipe(const std::string& pipe,
                                                 const std::shared_ptr<sim::Writer>& w = nullptr);
    // Writes the detection query and reads its one-byte answer through fresh
    // pipe handles, as the program does; true when 0x51 came back.
    bool Detect(const std::shared_ptr<sim::Writer>& w = nullptr);
    void ExpectNoFindings();

    port::ManualClock clock;
    std::shared_ptr<sim::Bus> bus = std::make_shared<sim::Bus>(clock);
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<driver::simstack::KernelStack> stack;
};

} // namespace simstacktest
