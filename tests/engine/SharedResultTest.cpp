// Components built without a result of their own all record into the one
// shared result, so the latest failure of any of them is what each reports.
#include "tests/engine/EngineFixture.h"

#include "usb/USBInfo.h"

#include <gtest/gtest.h>

namespace enginetest {
namespace {

using SharedResult = testsupport::ProgramFolderTest;

TEST_F(SharedResult, ComponentsDefaultToItAndTheLatestFailureReplacesTheEarlierOne) {
    WriteTestProfile(folder);
    core::SharedResult().GetCodes().Clear();
    port::ManualClock clock;
    usb::C_USBInfo link(nullptr, clock);
    engine::C_OTP otp(link);
    image::C_File file;

    EXPECT_EQ(file.SetFileName(""), 0);
    EXPECT_EQ(otp.GetMessage(), "Please input file name!");
    EXPECT_EQ(link.GetMessage(), "Please input file name!");

    link.SetBodyType(0);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(file.ResultObject().Message(), "Internal Error. Please first set device body!");
    EXPECT_EQ(otp.GetMessage(), "Internal Error. Please first set device body!");

    otp.SelectBody(33); // a body without an OTP size
    EXPECT_EQ(otp.BlankCheckOTP(), 0);
    EXPECT_EQ(file.ResultObject().Message(), engine::kNoBodySelected);
    EXPECT_EQ(core::SharedResult().Message(), engine::kNoBodySelected);
    core::SharedResult().GetCodes().Clear();
}

} // namespace
} // namespace enginetest
