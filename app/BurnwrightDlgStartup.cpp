// Start-up, attach, the detached state, the restore of the saved state and
// the writer being plugged and unplugged.
#include "app/BurnwrightDlg.h"

#include "app/WindowLayout.h"
#include "core/Errors.h"
#include "core/MessageHost.h"
#include "port/DeviceIo.h"
#include "port/ProgramPath.h"

#include <algorithm>
#include <cctype>

namespace app {
namespace {

// Shown in developer mode; 1118 and 1119 follow the body.
constexpr int kDeveloperControls[] = {
    ids::kAdvanceSettingGroup,
    ids::kEraseFlash,
    ids::kBufferBlankCheck,
    ids::kProgramFlash,
    ids::kVerifyBuffer,
    ids::kSetInfo,
    ids::kGetInfo,
    ids::kStress,
    ids::kReadData,
    ids::kBufferCheck,
    ids::kSecurityDigit,
    ids::kCodeNumber,
    ids::kStressCount,
    ids::kStressInterval,
    ids::kSecurityEnabled,
    ids::kCodeNumberEnabled,
};

constexpr int kOperationBoxes[] = {ids::kSelectAllOperations, ids::kOpProgram, ids::kOpVerify};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

void CBurnwrightDlg::DefaultTitle() {
    const std::string caption = core::Format("%s %s", kMainTitle, kProgramVersion);
    settings_->SetTitle(caption);
    host_.SetWindowText(caption);
}

void CBurnwrightDlg::FillBodyList() {
    host_.ResetComboItems(ids::kBodyCombo);
    for (const auto& [index, body] : otp_->GetBodyCatalogue()->Bodies())
        host_.AddComboItem(ids::kBodyCombo, body.comboName);
}

void CBurnwrightDlg::MapSocketControls() {
    for (int i = 0; i < ids::kSocketCount; ++i) {
        lampControls_[i] = ids::kLampBase + i;
        boxControls_[i] = ids::kSocketBoxBase + i;
    }
}

bool CBurnwrightDlg::OnInitDialog() {
    uiThread_ = std::this_thread::get_id();
    const std::string about = host_.LoadString(ids::kAboutString);
    if (!about.empty())
        host_.AddSystemMenuEntry(ids::kSysCommandAbout, about);
    host_.SetIcon(ids::kIconMain);
    notificationRegistered_ = host_.RegisterDeviceNotification(port::kWriterInterfaceClass);

    host_.CenterWindow();
    ApplyMoves(CompactionMoves(), false);

    const std::string title = settings_->GetTitle();
    if (!title.empty()) {
        const std::string version = settings_->GetVersion();
        if (!version.empty())
            host_.SetWindowText(title + " " + version);
    } else {
        DefaultTitle();
    }

    state_.developerMode = settings_->IsDevelopVersion() ? 1 : 0;
    const bool developer = state_.developerMode != 0;
    host_.EnableControl(ids::kIhrcTrim, developer);
    if (developer) {
        ApplyMoves(CompactionMoves(), true);
        for (int id : kDeveloperControls)
            host_.ShowControl(id, true);
        if (SelectedBody() == 7) {
            host_.ShowControl(ids::kGetOtpInfo, true);
            host_.ShowControl(ids::kSetOtpInfo, true);
        }
    }

    ApplySocketLayout(state_.multiDevice);

    // Until the writer's saved state is restored the counters are those stored
    // beside the program, so a window whose writer is missing at start-up
    // neither shows nor later writes counters that began again from zero.
    state_.okCount = settings_->GetInt(core::settings::kGeneral, core::settings::kOtpCounterOk);
    state_.failCount = settings_->GetInt(core::settings::kGeneral, core::settings::kOtpCounterFail);
    otp_->SetPassCounter(state_.okCount);
    otp_->SetFailCounter(state_.failCount);
    state_.passingSocketsOnly = 0;
    state_.bufferLoaded = 0;
    state_.timeLabel.Set("Elapsed Time");
    state_.stressRunning = 0;
    log_->SetEnabled(state_.developerMode);
    state_.showElapsed = 1;

    FillBodyList();
    MapSocketControls();

    if (!AttachWithFallback())
        return true;

    RunUpdateCheck();
    MapSocketControls();
    Attach();
    RestoreSavedState();
    ApplyBodyControls(SelectedBody());
    return true;
}

bool CBurnwrightDlg::AttachWithFallback() {
    link_->SetBodyType(usb::kIceBodyWriter);
    if (Attach())
        return true;
    // A writer that answers no device type sits in its boot loader: reach it
    // as an updatable device, bring its application back, then go on.
    if (link_->ReadDeviceType() == 0) {
        link_->SetBodyType(usb::kIceBodyFirmwareUpdate);
        const bool recovered = Attach() && RunUpdateCheck() && Attach();
        link_->SetBodyType(usb::kIceBodyWriter);
        if (recovered)
            return true;
    }
    // The link waits for a writer again, not for any device of the family the
    // fallback looked for.
    link_->SetBodyType(usb::kIceBodyWriter);
    core::ShowMessageBox(otp_->GetMessage(), kAppCaption, core::kMbOk);
    return false;
}

void CBurnwrightDlg::ApplyBodyControls(int index) {
    if (index <= 0) {
        SelectCatalogueBody();
        core::ShowMessageBox(kSelectBodyText, kAppCaption, core::kMbOk);
        return;
    }
    if (!otp_->GetBodyCatalogue()->CheckProgrammable(index)) {
        otp_->SelectBody(0);
        SelectCatalogueBody();
        return;
    }
    ApplyOtpInfoButtons(index);
    ApplyTrimBoxes(index, true);
    otp_->SelectBody(index);
    UpdateData(false);
}

bool CBurnwrightDlg::Attach() {
    EnterDetachedState();
    state_.selectAllSockets = 1;
    UpdateData(false);
    for (int i = 0; i < ids::kSocketCount; ++i)
        host_.SetCheck(boxControls_[i], 1);
    SynchroniseCheckBoxes();
    SetLamp(ids::kSocketCount, 3);
    host_.RepaintWindow();

    if (!link_->EnsureOpen()) {
        EnterDetachedState();
        UpdateData(true);
        return false;
    }
    otp_->ScanSockets();
    clock_->SleepMs(200);
    otp_->ReadStatus();
    otp_->ResetSocketStates();

    const auto& states = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i) {
        host_.SetControlText(ids::kStatusTextBase + i, "");
        if (states[i] == engine::kSocketInit)
            host_.SetCheck(boxControls_[i], 0);
    }
    SynchroniseCheckBoxes();
    UpdateData(true);
    detached_ = false;
    return true;
}

void CBurnwrightDlg::EnterDetachedState() {
    detached_ = true;
    ApplyDetachedControls();
    // The boxes say which sockets are enabled; the engine may be a worker's now.
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (host_.GetCheck(boxControls_[i]))
            SetStatusText(i, "  ");
    UpdateData(false);
}

void CBurnwrightDlg::ApplyDetachedControls() {
    WindowState& s = state_;
    s.fileName.Set("");
    SetActionEnabled(ids::kLoadToWriterBuffer, false);
    SetActionEnabled(ids::kResetCounter, false);
    if (!s.developerMode)
        for (int id : kOperationBoxes)
            host_.EnableControl(id, false);
    s.program = 0;
    s.verify = 0;
    s.selectAllOperations = 0;
    ApplySelectAllOperations();
    s.securityEnabled = 0;
    s.codeNumberEnabled = 0;
    host_.EnableControl(ids::kSecurityDigit, false);
    host_.EnableControl(ids::kCodeNumber, false);
    s.checkSumText.Set("");
    s.lengthText.Set("");
    s.fileTimeText.Set("");
    s.bufferStale = 1;
    // Another writer, or this one after a power cycle, may come back.
    ForgetBuffer();
    UpdateData(false);
}

void CBurnwrightDlg::RestoreSavedState() {
    WindowState& s = state_;
    try {
        otp_->GetInfo(s.developerMode);
        const engine::InfoBlock& block = otp_->GetInfoBlock();
        int body = 0;
        if (block.HoldsNothing()) {
            body = settings_->GetInt(core::settings::kFile, core::settings::kDeviceBodyIndex);
            s.okCount = settings_->GetInt(core::settings::kGeneral, core::settings::kOtpCounterOk);
            s.failCount =
                settings_->GetInt(core::settings::kGeneral, core::settings::kOtpCounterFail);
            host_.SetComboSelection(ids::kBodyCombo, body);
            UpdateData(false);
            ApplySelectAllOperations();
        } else {
            body = image::FindBody(block.BodyType(), block.BodySeries());
            s.okCount = block.PassCounter();
            s.failCount = block.FailCounter();
            s.blankCheck = block.BlankCheckOp() == engine::kCmdBlankCheckOTP ? 1 : 0;
            s.program = block.ProgramOp() == engine::kCmdProgramOTP ? 1 : 0;
            s.verify = block.VerifyOp() == engine::kCmdVerifyOTP ? 1 : 0;
            s.selectAllOperations = s.blankCheck && s.program && s.verify ? 1 : 0;
            host_.SetComboSelection(ids::kBodyCombo, body);
            UpdateData(false);
        }
        otp_->SelectBody(body);
        SelectCatalogueBody();
        UpdateData(false);
        settings_->SetCounters(s.okCount, s.failCount);
        otp_->SetCounters(s.okCount, s.failCount);
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
    }
}

int CBurnwrightDlg::RunUpdateCheck() {
    UpdateCheck check(host_, *otp_->GetUpdater(), *link_, *clock_);
    return check.Run(port::ModuleFolder() + firmware::kFirmwareFileName, writerVersion_,
                     state_.firmwareUpdating);
}

void CBurnwrightDlg::OnDeviceChange(DeviceChange change, const std::string& interfacePath) {
    // While an action holds the writer its worker may be searching for it
    // with the link held; this thread never waits for a worker, so the path
    // known before the action stands.
    if (!busy_) {
        const std::string current = link_->GetDevicePath();
        if (!current.empty())
            lastDevicePath_ = current;
    }
    const std::string name = Lower(interfacePath);
    if (change == DeviceChange::RemoveComplete) {
        if (name == lastDevicePath_) {
            // The claim and the link belong to a device that is gone: the
            // next attach searches afresh instead of writing into the void.
            // The worker's transfers fail meanwhile; the link is closed once
            // it has finished.
            pendingArrival_.reset();
            if (busy_)
                closeLinkPending_ = true;
            else
                link_->Close();
            EnterDetachedState();
        }
        return;
    }
    if (state_.firmwareUpdating)
        return;
    if (busy_) {
        // Attaching talks to the writer: after the action that holds it.
        pendingArrival_ = interfacePath;
        return;
    }
    OnArrival(interfacePath);
}

void CBurnwrightDlg::OnArrival(const std::string& interfacePath) {
    const std::string name = Lower(interfacePath);
    if (!link_->EnsureOpen())
        return;
    lastDevicePath_ = link_->GetDevicePath();
    if (name != lastDevicePath_)
        return;
    Attach();
    const std::string title = settings_->GetTitle();
    if (title.empty())
        DefaultTitle();
    else
        host_.SetWindowText(title);
    RunUpdateCheck();
    UpdateData(false);
}

} // namespace app
