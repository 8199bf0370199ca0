// Read-back, the information commands of developer mode, the lamp test, and
// the dispatch of the action buttons.
#include "app/BurnwrightDlg.h"

#include "core/MessageHost.h"

#include <functional>
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
        return;
    case ids::kLoadToWriterBuffer:
        OnLoadToWriterBuffer();
        return;
    case ids::kProgram:
        OnProgram();
        return;
    case ids::kStress:
        OnStress();
        return;
    case ids::kLampTest:
        OnLampTest();
        return;
    default:
        break;
    }
    // The buttons that use the writer on this thread hold it until they return.
    std::function<void()> action;
    switch (controlId) {
    case ids::kEraseFlash:
    case ids::kBufferBlankCheck:
    case ids::kProgramFlash:
    case ids::kVerifyBuffer:
        action = [this, controlId] { OnBufferOperation(controlId); };
        break;
    case ids::kBlankCheck:
        action = [this] { SingleOperation(0); };
        break;
    case ids::kSingleProgram:
        action = [this] { SingleOperation(1); };
        break;
    case ids::kSingleVerify:
        action = [this] { SingleOperation(2); };
        break;
    case ids::kResetCounter:
        // Detached, the counters stay as stored: the writer holds them too.
        if (detached_)
            return;
        action = [this] { OnResetCounter(); };
        break;
    case ids::kReadData:
        action = [this] { OnReadData(); };
        break;
    case ids::kGetInfo:
        action = [this] { OnGetInfo(); };
        break;
    case ids::kSetInfo:
        action = [this] { OnSetInfo(); };
        break;
    case ids::kGetOtpInfo:
        action = [this] { OnGetOtpInfo(); };
        break;
    case ids::kSetOtpInfo:
        action = [this] { OnSetOtpInfo(); };
        break;
    default:
        return;
    }
    if (!TryBeginAction(false))
        return;
    ActionEnd end(*this);
    action();
}

void CBurnwrightDlg::OnReadData() {
    // The read-back file is what the operator is pointed at: whenever it was
    // written, it holds the chip and the success text says so (a socket that
    // failed the closing status check is shown by its lamp). A read that wrote
    // nothing keeps the old file, so its failure's own message instead.
    otp_->ReadOTP(kReadBackFile);
    if (otp_->ReadBackSaved()) {
        ShowPlain(core::Format("You can check file %s.", kReadBackFile));
        return;
    }
    const std::string message = otp_->GetMessage();
    ShowPlain(message.empty() ? core::Format("The file %s was not written.", kReadBackFile)
                              : message);
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
        // Every lamp shows again what the window last set for it.
        host_.KillTimer(ids::kTimerLampTest);
        lampTestRunning_ = false;
        for (int i = 0; i < ids::kSocketCount; ++i) {
            host_.DrawBitmap(lampControls_[i], lamps_[i]);
            host_.RepaintControl(lampControls_[i]);
        }
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
