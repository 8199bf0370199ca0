#include "tests/libusb/UsbFixture.h"

#include "port/usb/UsbDeviceIo.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace libusbtest {

void UsbTest::SetUp() {
    noIds_.emplace("BURNWRIGHT_USB_IDS", nullptr);
    std::filesystem::copy_file(BURNWRIGHT_PROFILE, folder.File("OTPBodyProfile.xml"));
}

void UsbTest::TearDown() {
    io.reset(); // libusb goes before the devices it watches
    testbed.reset();
    noIds_.reset();
}

std::shared_ptr<sim::Writer> UsbTest::AddWriter(uint32_t member, uint32_t serial) {
    sim::WriterConfig config;
    config.member = member;
    config.serial = serial;
    return bus->AddWriterWithChips(config);
}

void UsbTest::Start() {
    testbed = std::make_unique<sim::umock::Testbed>(bus);
    std::string error;
    io = port::CreateDeviceIo("usb", error);
    ASSERT_NE(io, nullptr) << error;
}

std::string UsbPathOf(uint32_t member, uint32_t serial) {
    char instance[64];
    std::snprintf(instance, sizeof instance, "bus1-port%u&sn_%08x", member + 1, serial);
    return std::string("\\\\?\\usb#vid_f055&pid_0b0d#") + instance +
           "#{5795843b-6684-43a4-81ee-d2dd1b5594b6}";
}

bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string WriteBody12Image(const testsupport::ProgramFolder& folder, const std::string& name) {
    std::string bytes(0x4000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 5 + 3);
    // No development-environment information word before the end.
    bytes[bytes.size() - 6] = 0;
    bytes[bytes.size() - 5] = 0;
    const std::string path = folder.File(name);
    testsupport::ProgramFolder::Write(path, bytes);
    return path;
}

std::vector<uint8_t> Body12Chip(image::C_OTPBinFile& image) {
    std::vector<uint8_t> chip(16 * 1024, 0xFF);
    const uint8_t* bytes = image.GetChipImage();
    const size_t size = std::min(chip.size(), size_t(image.GetChipImageSize()));
    std::copy(bytes, bytes + size, chip.begin());
    return chip;
}

} // namespace libusbtest
