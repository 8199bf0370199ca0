// The process-wide link: one object behind one pointer, a clear message when
// the selected backend cannot start, and backends installed by tools.
#include "tests/usb/LinkFixture.h"

#include "usb/ProcessLink.h"

#include <gtest/gtest.h>

namespace usbtest {
namespace {

class ProcessLinkTest : public LinkTest {};

TEST_F(ProcessLinkTest, OneLinkReportsAMissingBackendUntilOneIsInstalled) {
    usb::C_USBInfo* link = usb::USBInfo();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(usb::USBInfo(), link);
    link->SetBodyType(8);
    // Whatever BURNWRIGHT_WRITER chose at first use, selections made here decide.
    usb::SelectLinkBackend("missing");
    EXPECT_EQ(usb::LinkBackend(), nullptr);
    EXPECT_EQ(link->Open(), 0);
    EXPECT_EQ(link->GetMessage(), "Unknown writer backend \"missing\"");
    usb::SelectLinkBackend("nonesuch");
    EXPECT_EQ(usb::USBInfo(), link);
    EXPECT_EQ(link->Open(), 0);
    EXPECT_EQ(link->GetMessage(), "Unknown writer backend \"nonesuch\"");

    auto fake = std::make_unique<FakeDeviceIo>();
    FakeDeviceIo* installed = fake.get();
    auto& w = installed->AddWriter(2, Unique("P"));
    ScriptDetection(w, 0, 0x51);
    usb::InstallLinkBackend(std::move(fake), clock);
    EXPECT_EQ(usb::LinkBackend(), installed);
    EXPECT_EQ(usb::USBInfo(), link) << "installing keeps the same link";
    EXPECT_TRUE(link->IsRefindDue());
    const auto packet = Reply(64, {0x55});
    w.ExpectWrite(packet);
    EXPECT_EQ(link->Write(packet.data(), packet.size()), 1);
    EXPECT_EQ(link->GetDevicePath(), w.Path());

    // Leave the process link without a claim for whoever runs next.
    usb::InstallLinkBackend(std::make_unique<FakeDeviceIo>(), port::SystemClock());
    EXPECT_FALSE(link->HoldsDeviceLock());
}

} // namespace
} // namespace usbtest
