// The window over the usb backend: unplugging the writer reaches it as a
// removal and plugging it again into the same port as an arrival of the same
// path, through libusb's hot-plug.
#include "tests/app/WindowFixture.h"
#include "tests/libusb/UsbFixture.h"

#include "image/BodyTable.h"
#include "usb/ProcessLink.h"

#include <gtest/gtest.h>

namespace libusbtest {
namespace {

class UsbWindow : public apptest::WindowTest {
protected:
    void SetUp() override {
        noIds_.emplace("BURNWRIGHT_USB_IDS", nullptr);
        WindowTest::SetUp();
        testbed = std::make_unique<sim::umock::Testbed>(bus);
    }
    void TearDown() override {
        WindowTest::TearDown();
        testbed.reset();
    }
    std::unique_ptr<port::DeviceIo> Backend() const override {
        std::string error;
        auto io = port::CreateDeviceIo("usb", error);
        EXPECT_NE(io, nullptr) << error;
        return io;
    }
    // Runs the window's events until `done` holds.
    bool Until(const std::function<bool()>& done) {
        return WaitFor([&] {
            host->WaitIdle();
            return done();
        });
    }

    std::unique_ptr<sim::umock::Testbed> testbed;

private:
    std::optional<testsupport::ScopedEnvironment> noIds_;
};

TEST_F(UsbWindow, UnplugDetachesAndReplugInTheSamePortReattaches) {
    Setting(core::settings::kFile, core::settings::kDeviceBodyIndex, "12");
    StartWindow();
    const std::string path = usb::USBInfo()->GetDevicePath();
    EXPECT_EQ(path.find("\\\\?\\usb#vid_f055&pid_0b0d#bus1-port1&sn_"), 0u) << path;
    const std::string image = WriteImage("unplug.bin", image::FindSizeRule(12)->lengths[0]);
    host->AnswerFileDialog(image);
    host->Click(app::ids::kOpen);
    ASSERT_EQ(host->Text(app::ids::kFileName), image);
    ASSERT_TRUE(host->Enabled(app::ids::kLoadToWriterBuffer));

    bus->Unplug(writer->Member());
    testbed->Settle();
    ASSERT_TRUE(Until([&] { return host->Text(app::ids::kFileName).empty(); }));
    EXPECT_FALSE(host->Enabled(app::ids::kLoadToWriterBuffer));
    EXPECT_FALSE(host->Enabled(app::ids::kResetCounter));

    writer->RemoveChip(7);
    bus->Plug(writer->Member());
    testbed->Settle();
    ASSERT_TRUE(Until([&] { return SocketBoxes() == "1111111011111111"; }));
    EXPECT_EQ(usb::USBInfo()->GetDevicePath(), path) << "the same port, the same path";
    EXPECT_EQ(host->WindowTitle(), "MERiL Burnwright V4.00");
}

} // namespace
} // namespace libusbtest
