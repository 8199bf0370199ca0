#include "core/Result.h"
#include "core/Errors.h"
#include "core/MessageHost.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using core::C_Result;
using core::C_ResultCodes;

TEST(CodeTable, EveryEntryIsAscendingUniqueAndLookedUp) {
    size_t count = 0;
    const core::CodeTextEntry* table = core::CodeTable(count);
    ASSERT_EQ(count, 48u);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(table[i].code);
        if (i > 0) {
            EXPECT_LT(table[i - 1].code, table[i].code);
        }
        EXPECT_GT(std::string(table[i].text).size(), 0u);
        EXPECT_EQ(core::CodeText(table[i].code), table[i].text);
        const int group = table[i].code;
        EXPECT_TRUE((group >= 100 && group <= 101) || (group >= 200 && group <= 204) ||
                    (group >= 300 && group <= 303) || (group >= 2001 && group <= 2038) ||
                    group == 3001);
    }
}

TEST(CodeTable, TextsKeepTheirExactBlanks) {
    EXPECT_EQ(core::CodeText(2025), "Sector erase timeout! ");
    EXPECT_EQ(core::CodeText(2026), "The External Flash size is not big enough! ");
    EXPECT_EQ(core::CodeText(2027), "The SPI Flash is protect mode! ");
    EXPECT_EQ(core::CodeText(2033),
              "ICE check ready timeout when program external device!  Please reset ICE.");
    EXPECT_EQ(core::CodeText(2034),
              "ICE check ready timeout when verify external device!  Please reset ICE.");
}

TEST(CodeTable, CodesOutsideTheTableGetTheFallbackText) {
    EXPECT_EQ(core::CodeText(2007), "ICE DLL Error(2007)!");
    EXPECT_EQ(core::CodeText(2009), "ICE DLL Error(2009)!");
    EXPECT_EQ(core::CodeText(-1), "ICE DLL Error(-1)!");
}

TEST(ResultCodes, EmptyMessageOfACodeIsFilledFromTheTableAndKept) {
    C_ResultCodes codes;
    codes.SetCode(2012);
    EXPECT_EQ(codes.GetMessage(), "ICE check ready timeout! Please reset ICE.");
    codes.SetCode(2007);
    EXPECT_EQ(codes.GetMessage(), "ICE check ready timeout! Please reset ICE.");
    codes.Clear();
    EXPECT_EQ(codes.GetCode(), 0);
    EXPECT_EQ(codes.GetMessage(), "");
}

TEST(ResultCodes, ConstructorsTakeTableOrFreeText) {
    EXPECT_EQ(C_ResultCodes(200).GetMessage(), "USB write is failed!");
    EXPECT_EQ(C_ResultCodes(200, "own").GetMessage(), "own");
    C_ResultCodes free(std::string("anything"));
    EXPECT_EQ(free.GetCode(), core::kFreeTextCode);
    EXPECT_EQ(free.GetMessage(), "anything");
}

TEST(Result, SetResultWithCodeZeroChangesNothing) {
    C_Result result(3001);
    result.SetResult(0, "ignored");
    EXPECT_EQ(result.Code(), 3001);
    EXPECT_EQ(result.Message(), "OTP error!");
}

TEST(Result, FreeTextNeverTurnsIntoATableText) {
    C_Result result;
    result.SetMessage("Something odd");
    EXPECT_EQ(result.Code(), 65535);
    EXPECT_EQ(result.Message(), "Something odd");
    result.SetMessage(nullptr);
    EXPECT_EQ(result.Message(), "Something odd");
}

TEST(Result, DetachingKeepsTheRecordAliveForOthers) {
    C_Result a(100);
    C_Result b;
    b.SetCodes(a.SharedCodes());
    a.DetachCodes();
    EXPECT_EQ(b.Message(), "Can't open file");
    EXPECT_EQ(a.Code(), 0); // a fresh, empty record
}

TEST(BasicError, SharesTheComponentRecordBothWays) {
    C_Result component;
    component.SetMessage("Chip missing");
    core::C_OTPError error(component);
    EXPECT_EQ(error.GetMessageString(), "Chip missing");
    EXPECT_STREQ(error.what(), "Chip missing");
    error.SetMessageString("Changed by error");
    EXPECT_EQ(component.Message(), "Changed by error");
    component.SetResult(2003);
    EXPECT_EQ(error.GetMessageString(), "ICE verify device is failed !");
}

TEST(BasicError, ShowMessageUsesTheHostWithErrorCaptionAndIcon) {
    testsupport::RecordingMessageHost host;
    host.answers = {core::kIdOk};
    C_Result component(303);
    core::C_BasicError error(component);
    EXPECT_EQ(error.ShowMessage(), core::kIdOk);
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_EQ(host.shown[0].text, "MCU firmware check sum fail !");
    EXPECT_EQ(host.shown[0].caption, "Error");
    EXPECT_EQ(host.shown[0].flags, unsigned(core::kMbIconError));
}

TEST(RaiseError, RecordsFreeTextAndThrowsOnlyWhenTheSwitchIsOn) {
    C_Result component;
    EXPECT_FALSE(core::IsErrorRaisingOn());
    EXPECT_NO_THROW(core::RaiseError<core::C_FileError>(component, "first"));
    EXPECT_EQ(component.Code(), 65535);
    EXPECT_EQ(component.Message(), "first");

    core::SetErrorRaising(true);
    try {
        core::RaiseError<core::C_FileError>(component, "second");
        ADD_FAILURE() << "nothing thrown";
    } catch (core::C_BasicError* raw) {
        std::unique_ptr<core::C_BasicError> error(raw);
        EXPECT_NE(dynamic_cast<core::C_FileError*>(raw), nullptr);
        EXPECT_EQ(error->GetMessageString(), "second");
    }
    core::SetErrorRaising(false);
}

} // namespace
