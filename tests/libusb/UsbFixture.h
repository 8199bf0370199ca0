// Shared setup of the usb backend's tests: a program folder with the shipped
// body profile, simulated writers on a bus presented as USB devices through
// umockdev, and the usb backend over them (the test's claim folder comes from
// the test programs' main).
// The test program runs under umockdev's preload (under-umockdev.sh).
#pragma once

#include "image/OTPBinFile.h"

#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"

#include "core/Result.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "sim/Bus.h"
#include "sim/umockdev/Testbed.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace libusbtest {

class UsbTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A writer with blank chips in all 16 sockets at `member` (USB port
    // member + 1) with the serial number given.
    std::shared_ptr<sim::Writer> AddWriter(uint32_t member, uint32_t serial);
    // Presents the bus's writers through umockdev and starts the usb backend
    // with the ids the environment and the settings file give.
    void Start();

    port::ManualClock clock;
    core::C_Result result;
    std::shared_ptr<sim::Bus> bus = std::make_shared<sim::Bus>(clock, 0x5eb);
    std::unique_ptr<sim::umock::Testbed> testbed;
    std::unique_ptr<port::DeviceIo> io;

private:
    std::optional<testsupport::ScopedEnvironment> noIds_;
};

// The path the usb backend gives the writer with `serial` at `member`.
std::string UsbPathOf(uint32_t member, uint32_t serial);

// Polls `done` (it may drive the event loop of a host) until it holds or 30 s
// pass: for what another thread or process delivers when it delivers it.
bool WaitFor(const std::function<bool()>& done);

// A 16 KB image that body 12 takes, in the program folder; returns its path.
std::string WriteBody12Image(const testsupport::ProgramFolder& folder, const std::string& name);

// What a chip holds after body 12 programmed `image`: its chip image (the word
// image without its check bytes), blank to the end of its 16 KB.
std::vector<uint8_t> Body12Chip(image::C_OTPBinFile& image);

} // namespace libusbtest
