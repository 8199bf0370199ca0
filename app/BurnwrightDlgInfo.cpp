// Read-back, the information commands of developer mode, the lamp test, and
// the dispatch of the action buttons.
#include "app/BurnwrightDlg.h"

#include "core/MessageHost.h"

#include <strings.h>

namespace app {
namespace {

constexpr const char* kReadBackFile = "ReadOTPData.OTP.bin";
constexpr const char* kKlKsOnlyText = "This button just for KL500 | KS300!";
constexpr const char* kKlKsKtOnlyText = "This button just for KL500 | KS300 | KT330 | KT320 !";

// Bodies whose "GetInfo" reads the OTP-information variant.
constexpr const char* kGetOtpInfoBodies[] = {
    " KT240 ", " KT330 ", " KT260 ", " KT250 ", " KT250S ", " KT230 ",
    " KT220 ", " KT210 ", " KT320 ", " KM110 ", " KM140 ",  " KM120 ",
    " KM130 ", " KW140 ", " KW130 ", " KW120 ", " KW110 ",  " KT700 ",
};
// Bodies whose "SetInfo" writes it; KL500 only here.
constexpr const char* kSetOtpInfoBodies[] = {
    " KL500 ", " KT330 ", " KT320 ", " KT240 ", " KT260 ", " KT250 ", " KT250S ",
    " KT230 ", " KT220 ", " KT210 ", " KM110 ", " KM140 ", " KM120 ", " KM130 ",
    " KW140 ", " KW130 ", " KW120 ", " KW110 ", " KT700 ",
};

template <size_t N> bool InList(CBurnwrightDlg& dlg, const char* const (&names)[N]) {
    for (const char* name : names)
        if (dlg.IsSelectedBody(name))
            return true;
    return false;
}

void ShowPlain(const std::string& text) {
    core::ShowMessageBox(text, kAppCaption, core::kMbOk);
}

} // namespace

void CBurnwrightDlg::OnActionCommand(int controlId) {
    switch (controlId) {
    case ids::kOpen:
        OnOpen();
        break;
    case ids::kLoadToWriterBuffer:
        OnLoadToWriterBuffer();
        break;
    case ids::kEraseFlash:
    case ids::kBufferBlankCheck:
    case ids::kProgramFlash:
    case ids::kVerifyBuffer:
        OnBufferOperation(controlId);
        break;
    case ids::kProgram:
        OnProgram();
        break;
    case ids::kBlankCheck:
        SingleOperation(0);
        break;
    case ids::kSingleProgram:
        SingleOperation(1);
        break;
    case ids::kSingleVerify:
        SingleOperation(2);
        break;
    case ids::kResetCounter:
        OnResetCounter();
        break;
    case ids::kStress:
        OnStress();
        break;
    case ids::kReadData:
        OnReadData();
        break;
    case ids::kGetInfo:
        OnGetInfo();
        break;
    case ids::kSetInfo:
        OnSetInfo();
        break;
    case ids::kGetOtpInfo:
        OnGetOtpInfo();
        break;
    case ids::kSetOtpInfo:
        OnSetOtpInfo();
        break;
    case ids::kLampTest:
        OnLampTest();
        break;
    default:
        break;
    }
}

void CBurnwrightDlg::OnReadData() {
    // A failed read keeps the old file, so pointing the operator at it would
    // report a failure as success: the failure's own message instead.
    if (otp_->ReadOTP(kReadBackFile))
        ShowPlain(core::Format("You can check file %s.", kReadBackFile));
    else
        ShowPlain(otp_->GetMessage());
}

void CBurnwrightDlg::OnGetInfo() {
    SynchroniseCheckBoxes();
    if (InList(*this, kGetOtpInfoBodies))
        otp_->GetOTPInfo(state_.developerMode);
    else
        otp_->GetInfo(state_.developerMode);
}

void CBurnwrightDlg::OnSetInfo() {
    SynchroniseCheckBoxes();
    if (InList(*this, kSetOtpInfoBodies))
        otp_->SetOTPInfo(state_.developerMode, informationRecord_);
    else
        otp_->SetInfo(state_.developerMode);
}

void CBurnwrightDlg::OnGetOtpInfo() {
    if (IsSelectedBody(" KL500 ") || IsSelectedBody(" KS300 "))
        otp_->GetOTPInfo(state_.developerMode);
    else
        ShowPlain(kKlKsOnlyText);
}

void CBurnwrightDlg::OnSetOtpInfo() {
    SynchroniseCheckBoxes();
    const bool kl500 = IsSelectedBody(" KL500 ");
    if (!kl500 && !IsSelectedBody(" KS300 ")) {
        ShowPlain(kKlKsKtOnlyText);
        return;
    }
    UpdateData(false);
    UpdateData(true);
    informationRecord_ = BuildInformationRecord();
    if (kl500)
        otp_->SetOTPInfo(state_.developerMode, informationRecord_);
    else
        otp_->SetOTPInfo2(state_.developerMode, informationRecord_);
}

void CBurnwrightDlg::OnLampTest() {
    // The lamps cycle on a timer, so the window stays responsive; a second
    // press stops the test and every lamp shows its socket's state again.
    if (lampTestRunning_) {
        host_.KillTimer(ids::kTimerLampTest);
        lampTestRunning_ = false;
        const auto& states = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i)
            OnUserMessage(ids::kMsgLamp, static_cast<uintptr_t>(i), LampForState(states[i]));
        return;
    }
    lampTestRunning_ = true;
    host_.SetTimer(ids::kTimerLampTest, 10);
}

void CBurnwrightDlg::OnLampTestTick() {
    host_.RepaintControl(lampControls_[lampTestSocket_]);
    host_.DrawBitmap(lampControls_[lampTestSocket_], lampTestBitmap_);
    if (++lampTestSocket_ == ids::kSocketCount) {
        lampTestSocket_ = 0;
        lampTestBitmap_ =
            lampTestBitmap_ == ids::kBitmapGrey ? ids::kBitmapRed : lampTestBitmap_ + 1;
    }
}

} // namespace app
