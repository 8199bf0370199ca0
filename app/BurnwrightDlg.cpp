#include "app/BurnwrightDlg.h"

#include "app/WindowLayout.h"
#include "core/Errors.h"
#include "core/MessageHost.h"
#include "usb/ProcessLink.h"

#include <cctype>
#include <cstdlib>
#include <strings.h>

namespace app {
namespace {

// The action controls, disabled together while an action runs. "Read Data"
// talks to the writer like the others, so it is one of them too.
constexpr int kActionControls[] = {
    ids::kLoadToWriterBuffer, ids::kVerifyBuffer, ids::kProgramFlash,
    ids::kBufferBlankCheck,   ids::kEraseFlash,   ids::kSingleProgram,
    ids::kSingleVerify,       ids::kBlankCheck,   ids::kProgram,
    ids::kResetCounter,       ids::kOpen,         ids::kGetOtpInfo,
    ids::kSetOtpInfo,         ids::kSetInfo,      ids::kGetInfo,
    ids::kBodyCombo,          ids::kReadData,
};

constexpr int kLampBitmaps[] = {ids::kBitmapGreen, ids::kBitmapBlue, ids::kBitmapRed,
                                ids::kBitmapGrey};

// An integer as the dialog exchange reads one: blanks, an optional sign,
// digits, blanks; nothing else.
bool ParseInt(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const long parsed = std::strtol(begin, &end, 10);
    if (end == begin)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

void ShowPlain(const std::string& text) {
    core::ShowMessageBox(text, kAppCaption, core::kMbOk);
}

} // namespace

CBurnwrightDlg::CBurnwrightDlg(I_WindowHost& host, WindowServices services)
    : host_(host), link_(services.link ? services.link : usb::USBInfo()),
      clock_(services.clock ? services.clock : &port::SystemClock()),
      localTime_(services.localTime ? std::move(services.localTime) : port::GetLocalTime),
      settings_(std::make_unique<core::C_OTPProfiler>()), log_(std::make_unique<core::C_OTPLog>()),
      otp_(std::make_unique<engine::C_OTP>(*link_, *clock_)),
      progressClock_(services.progressClock ? services.progressClock : clock_),
      wireTime_(std::move(services.wireTime)), stopRequested_(std::move(services.stopRequested)) {
    for (int i = 0; i < ids::kSocketCount; ++i) {
        lamps_[i] = ids::kBitmapGreen; // the template's picture
        lampControls_[i] = ids::kLampBase + i;
        boxControls_[i] = ids::kSocketBoxBase + i;
    }
}

CBurnwrightDlg::~CBurnwrightDlg() {
    if (notificationRegistered_)
        host_.UnregisterDeviceNotification();
}

bool CBurnwrightDlg::UpdateData(bool saveAndValidate) {
    return Exchange(saveAndValidate, true);
}

bool CBurnwrightDlg::Exchange(bool saveAndValidate, bool report) {
    WindowState& s = state_;
    struct Bound {
        int id;
        std::atomic<int>& value;
    };
    Bound checks[] = {
        {ids::kSelectAllOperations, s.selectAllOperations},
        {ids::kOpProgram, s.program},
        {ids::kOpBlankCheck, s.blankCheck},
        {ids::kOpVerify, s.verify},
        {ids::kIhrcTrim, s.ihrcTrim},
        {ids::kLvdTrim, s.lvdTrim},
        {ids::kSelectAllSockets, s.selectAllSockets},
        {ids::kCodeNumberEnabled, s.codeNumberEnabled},
        {ids::kSecurityEnabled, s.securityEnabled},
        {ids::kMultiDevice, s.multiDevice},
    };
    Bound numbers[] = {
        {ids::kCodeNumber, s.codeNumber},         {ids::kOkCount, s.okCount},
        {ids::kFailCount, s.failCount},           {ids::kStressCount, s.stressCount},
        {ids::kStressInterval, s.stressInterval},
    };
    struct BoundText {
        int id;
        GuardedText& value;
    };
    BoundText texts[] = {
        {ids::kSecurityDigit, s.securityDigit}, {ids::kFileName, s.fileName},
        {ids::kCheckSum, s.checkSumText},       {ids::kLength, s.lengthText},
        {ids::kFileTime, s.fileTimeText},       {ids::kElapsed, s.elapsedText},
        {ids::kBufferCheck, s.bufferCheckText}, {ids::kTimeLabel, s.timeLabel},
    };

    if (!saveAndValidate) {
        for (const Bound& b : checks)
            host_.SetCheck(b.id, b.value.load());
        for (const Bound& b : numbers)
            host_.SetControlText(b.id, std::to_string(b.value.load()));
        for (const BoundText& t : texts)
            host_.SetControlText(t.id, t.value.Get());
        return true;
    }

    for (const Bound& b : checks)
        b.value = host_.GetCheck(b.id);
    for (const BoundText& t : texts) {
        std::string text = host_.GetControlText(t.id);
        if (t.id == ids::kSecurityDigit && text.size() > 1) {
            if (report)
                ShowPlain("Please enter no more than 1 character.");
            return false;
        }
        t.value.Set(std::move(text));
    }
    for (const Bound& b : numbers) {
        int value = 0;
        if (!ParseInt(host_.GetControlText(b.id), value)) {
            if (report)
                ShowPlain("Please enter an integer.");
            return false;
        }
        if (b.id == ids::kCodeNumber && (value < 0 || value > 9999)) {
            if (report)
                ShowPlain("Please enter an integer between 0 and 9999.");
            return false;
        }
        b.value = value;
    }
    return true;
}

void CBurnwrightDlg::Refresh(bool saveAndValidate) {
    host_.SendToWindow(ids::kMsgRefresh, saveAndValidate ? 1 : 0, 0);
}

void CBurnwrightDlg::RepaintNow() {
    host_.SendToWindow(ids::kMsgRefresh, 0, 1);
}

intptr_t CBurnwrightDlg::OnUserMessage(unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (message == ids::kMsgRefresh) {
        if (lParam == 1) {
            host_.RepaintWindow();
            return 1;
        }
        return UpdateData(wParam != 0) ? 1 : 0;
    }
    if (message == ids::kMsgRunOnUi) {
        // A worker waits for this piece of its work: the engine is its own
        // until the piece returns.
        const bool outer = inWorkerCall_;
        inWorkerCall_ = true;
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        inWorkerCall_ = outer;
        return 1;
    }
    if (message == ids::kMsgLamp) {
        if (lParam < 0 || lParam > 3 || wParam > static_cast<uintptr_t>(ids::kSocketCount))
            return 0;
        const int bitmap = kLampBitmaps[lParam];
        const int first =
            wParam == static_cast<uintptr_t>(ids::kSocketCount) ? 0 : static_cast<int>(wParam);
        const int last = wParam == static_cast<uintptr_t>(ids::kSocketCount)
                             ? ids::kSocketCount - 1
                             : static_cast<int>(wParam);
        for (int i = first; i <= last; ++i) {
            lamps_[i] = bitmap;
            host_.DrawBitmap(lampControls_[i], bitmap);
            host_.RepaintControl(lampControls_[i]);
        }
        host_.RepaintWindow();
        return 1;
    }
    return 0;
}

int CBurnwrightDlg::LampForState(uint8_t state) {
    switch (state) {
    case engine::kSocketOK:
        return 0;
    case engine::kSocketBusy:
        return 1;
    case engine::kSocketFail:
        return 2;
    default:
        return 3;
    }
}

void CBurnwrightDlg::OnUi(const std::function<void()>& work) {
    if (std::this_thread::get_id() == uiThread_) {
        work();
        return;
    }
    host_.SendToWindow(ids::kMsgRunOnUi, 0, reinterpret_cast<intptr_t>(&work));
}

bool CBurnwrightDlg::TryBeginAction(bool worker) {
    if (busy_)
        return false;
    // The writer's path as the action starts: a removal while it runs is
    // told by it.
    if (const std::string path = link_->GetDevicePath(); !path.empty())
        lastDevicePath_ = path;
    for (int id : kActionControls) {
        pendingEnabled_[id] = host_.IsControlEnabled(id);
        host_.EnableControl(id, false);
    }
    for (int i = 0; i < ids::kSocketCount; ++i)
        actionSockets_[i] = otp_->IsSocketEnabled(i) ? 1 : 0;
    workerAction_ = worker;
    busy_ = true;
    return true;
}

void CBurnwrightDlg::EndAction() {
    OnUi([this] { EndActionOnUi(); });
}

void CBurnwrightDlg::EndActionOnUi() {
    workerAction_ = false;
    if (closeLinkPending_) {
        closeLinkPending_ = false;
        link_->Close();
    }
    // A writer that arrived meanwhile is attached first, with the action
    // controls still disabled: attaching uses the writer too.
    if (pendingArrival_) {
        const std::string name = *pendingArrival_;
        pendingArrival_.reset();
        OnArrival(name);
    }
    busy_ = false;
    passRunning_ = false;
    for (int id : kActionControls)
        SetActionEnabled(id, pendingEnabled_[id]);
    host_.DropPendingMouseInput();
    if (detached_)
        ApplyDetachedControls();
    if (syncPending_) {
        syncPending_ = false;
        SynchroniseCheckBoxes();
    }
}

void CBurnwrightDlg::SetActionEnabled(int id, bool enable) {
    if (busy_) {
        pendingEnabled_[id] = enable;
        return;
    }
    if (detached_ && (id == ids::kLoadToWriterBuffer || id == ids::kResetCounter))
        enable = false;
    host_.EnableControl(id, enable);
}

bool CBurnwrightDlg::EngineFree() const {
    return !workerAction_ || inWorkerCall_;
}

void CBurnwrightDlg::SelectAmongAction(bool passedOnly) {
    const auto& states = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i)
        otp_->SetSocketEnabled(
            i, actionSockets_[i] && (!passedOnly || states[i] == engine::kSocketOK) ? 1 : 0);
}

void CBurnwrightDlg::InitOutsideAction() {
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (!actionSockets_[i])
            otp_->SetSocketState(i, engine::kSocketInit);
}

void CBurnwrightDlg::ForgetBuffer() {
    for (auto& holds : bufferHolds_)
        holds = false;
}

void CBurnwrightDlg::SetLamp(int socket, int lampCode) {
    host_.SendToWindow(ids::kMsgLamp, static_cast<uintptr_t>(socket), lampCode);
}

void CBurnwrightDlg::OnPaint() {
    if (host_.IsMinimized()) {
        host_.DrawIconCentered(ids::kIconMain);
        return;
    }
    for (int i = 0; i < ids::kSocketCount; ++i)
        host_.DrawBitmap(lampControls_[i], lamps_[i]);
}

bool CBurnwrightDlg::IsRedText(int id) {
    const int socket = id - ids::kStatusTextBase;
    return socket >= 0 && socket < ids::kSocketCount && lamps_[socket] == ids::kBitmapRed;
}

void CBurnwrightDlg::OnSysCommand(int commandId) {
    if (commandId == ids::kSysCommandAbout)
        host_.ShowAboutBox();
}

void CBurnwrightDlg::OnTimer(int timerId) {
    switch (timerId) {
    case ids::kTimerNothing:
        host_.KillTimer(timerId);
        break;
    case ids::kTimerOpenAfterBodyChange:
        host_.KillTimer(timerId);
        OnOpen();
        break;
    case ids::kTimerStateToControls:
        UpdateData(false);
        break;
    case ids::kTimerStressTick:
        OnStressTick();
        break;
    case ids::kTimerStressEnd:
        OnStressEnd();
        break;
    case ids::kTimerLampTest:
        OnLampTestTick();
        break;
    default:
        break;
    }
}

void CBurnwrightDlg::OnCommand(int controlId) {
    if (controlId >= ids::kSocketBoxBase && controlId <= ids::kOpVerify) {
        OnBoxClicked();
        return;
    }
    switch (controlId) {
    case ids::kBodyCombo:
        OnBodySelectionChange();
        break;
    case ids::kSelectAllOperations:
        OnSelectAllOperations();
        break;
    case ids::kSelectAllSockets:
        OnSelectAllSockets();
        break;
    case ids::kSecurityEnabled:
    case ids::kCodeNumberEnabled:
        ReadBackQuietly();
        host_.EnableControl(controlId + 1, host_.GetCheck(controlId) != 0);
        break;
    case ids::kSecurityDigit:
    case ids::kCodeNumber:
        ReadBackQuietly();
        break;
    case ids::kMultiDevice:
        if (UpdateData(true))
            ApplySocketLayout(state_.multiDevice);
        break;
    default:
        OnActionCommand(controlId);
        break;
    }
}

void CBurnwrightDlg::ReadBackQuietly() {
    // A half-typed number ("" or "12a") is not worth a message on every key:
    // it is checked when an action reads the controls back.
    Exchange(true, false);
}

void CBurnwrightDlg::EnableActionControls(bool enable, bool flush) {
    OnUi([&] {
        for (int id : kActionControls)
            SetActionEnabled(id, enable);
        if (flush)
            host_.DropPendingMouseInput();
    });
}

void CBurnwrightDlg::OnBoxClicked() {
    SynchroniseCheckBoxes();
}

void CBurnwrightDlg::SynchroniseCheckBoxes() {
    OnUi([&] {
        Refresh(true);
        WindowState& s = state_;
        s.selectAllOperations = s.blankCheck && s.program && s.verify ? 1 : 0;
        // While a worker uses the engine, a click changes the window only; the
        // engine follows the boxes when the action ends.
        const bool engineFree = EngineFree();
        if (engineFree) {
            otp_->SetOption(engine::kOptionBlankCheck, s.blankCheck);
            otp_->SetOption(engine::kOptionProgram, s.program);
            otp_->SetOption(engine::kOptionVerify, s.verify);
        } else {
            syncPending_ = true;
        }
        bool all = true;
        bool any = false;
        for (int i = 0; i < ids::kSocketCount; ++i) {
            const int ticked = host_.GetCheck(boxControls_[i]);
            if (engineFree) {
                if (!ticked) {
                    otp_->SetSocketState(i, engine::kSocketInit);
                    SetLamp(i, 3);
                }
                otp_->SetSocketEnabled(i, ticked);
            }
            all = all && ticked;
            any = any || ticked;
        }
        s.selectAllSockets = all ? 1 : 0;
        SetActionEnabled(ids::kLoadToWriterBuffer,
                         any && !s.fileName.Get().empty() && s.loading == 0);
        Refresh(false);
    });
}

void CBurnwrightDlg::OnSelectAllOperations() {
    Refresh(true);
    WindowState& s = state_;
    const int all = s.selectAllOperations;
    s.blankCheck = all;
    s.program = all;
    s.verify = all;
    const int body = SelectedBody();
    s.ihrcTrim = body >= 16 && body <= 34 ? all : 0;
    Refresh(false);
    SynchroniseCheckBoxes();
}

void CBurnwrightDlg::ApplySelectAllOperations() {
    Refresh(false);
    OnSelectAllOperations();
}

void CBurnwrightDlg::OnSelectAllSockets() {
    UpdateData(true);
    for (int i = 0; i < ids::kSocketCount; ++i)
        host_.SetCheck(boxControls_[i], state_.selectAllSockets);
    UpdateData(true);
    SynchroniseCheckBoxes();
}

void CBurnwrightDlg::ApplyMoves(const std::vector<ControlMove>& moves, bool reverse) {
    const int sign = reverse ? -1 : 1;
    for (const ControlMove& m : moves) {
        if (m.id == kWindowSelf) {
            const Rect window = host_.GetWindowRect();
            host_.SetWindowSize(window.cx + sign * m.dcx, window.cy + sign * m.dcy);
            continue;
        }
        Rect r = host_.GetControlRect(m.id);
        r.x += sign * m.dx;
        r.y += sign * m.dy;
        r.cx += sign * m.dcx;
        r.cy += sign * m.dcy;
        host_.SetControlRect(m.id, r);
    }
}

void CBurnwrightDlg::ApplySocketLayout(int multiDevice) {
    const int layout = multiDevice ? 1 : 0;
    if (layout == layout_)
        return;
    layout_ = layout;
    for (int id : MultiSocketOnlyControls())
        host_.ShowControl(id, layout == 1);
    ApplyMoves(SingleSocketMoves(), layout == 1);
}

bool CBurnwrightDlg::IsSelectedBody(const char* paddedName) {
    return strcasecmp(host_.GetControlText(ids::kBodyCombo).c_str(), paddedName) == 0;
}

void CBurnwrightDlg::SelectCatalogueBody() {
    host_.SetComboSelection(ids::kBodyCombo, otp_->GetBodyCatalogue()->GetCurrentIndex());
}

void CBurnwrightDlg::ApplyOtpInfoButtons(int index) {
    const bool show =
        state_.developerMode && (index == 7 || index == 9 || (index >= 14 && index <= 34));
    host_.ShowControl(ids::kSetOtpInfo, show);
    host_.ShowControl(ids::kGetOtpInfo, show);
}

void CBurnwrightDlg::ApplyTrimBoxes(int index, bool startupTable) {
    bool shown = false;
    bool checked = false;
    if (startupTable) {
        checked = index == 16 || index == 17 || index == 18 || index == 20 || index == 24;
        shown = checked || index == 19 || index == 21 || index == 22 || index == 23 ||
                (index >= 25 && index <= 34);
    } else {
        checked = (index >= 16 && index <= 29) || index == 34;
        shown = checked || (index >= 30 && index <= 33);
    }
    host_.ShowControl(ids::kIhrcTrim, shown);
    state_.ihrcTrim = checked ? 1 : 0;
    host_.ShowControl(ids::kLvdTrim, false);
    state_.lvdTrim = 0;
}

void CBurnwrightDlg::OnBodySelectionChange() {
    if (busy_) {
        // The image object is in use: the list is disabled, and a change
        // that still arrives is taken back.
        SelectCatalogueBody();
        return;
    }
    state_.fileName.Set("");
    UpdateData(false);
    const int index = SelectedBody();
    if (index <= 0) {
        SelectCatalogueBody();
        ShowPlain(kSelectBodyText);
        return;
    }
    if (!otp_->GetBodyCatalogue()->CheckProgrammable(index)) {
        SelectCatalogueBody();
        return;
    }
    ForgetBuffer();
    ApplyOtpInfoButtons(index);
    ApplyTrimBoxes(index, false);
    UpdateData(false);
    otp_->SelectBody(index);
    settings_->WriteInt(core::settings::kFile, core::settings::kDeviceBodyIndex, index);
    host_.SetTimer(ids::kTimerOpenAfterBodyChange, 1);
}

void CBurnwrightDlg::SetStatusText(int socket, const std::string& text) {
    OnUi([&] {
        host_.SetControlText(ids::kStatusTextBase + socket, text);
        int lamp = 1;
        if (text == "OK")
            lamp = 0;
        else if (text == "Fail")
            lamp = 2;
        else if (text == "Init" || text == "  ")
            lamp = 3;
        else if (text.empty())
            lamp = LampForState(otp_->GetSocketStates()[socket]);
        SetLamp(socket, lamp);
        Refresh(false);
    });
}

void CBurnwrightDlg::SetStatusTextOnAll(const std::string& text) {
    OnUi([&] {
        const auto& states = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i) {
            const bool enabled = otp_->IsSocketEnabled(i) != 0;
            if (state_.passingSocketsOnly) {
                if (enabled && states[i] == engine::kSocketOK)
                    SetStatusText(i, text);
            } else {
                SetStatusText(i, enabled ? text : std::string());
            }
        }
    });
}

void CBurnwrightDlg::AppendStatus(int socket, const std::string& word) {
    OnUi([&] {
        std::string text = host_.GetControlText(ids::kStatusTextBase + socket);
        if (text.size() > 1023)
            text.resize(1023);
        host_.SetControlText(ids::kStatusTextBase + socket, text + word);
        int lamp = 1;
        if (word == "OK")
            lamp = 0;
        else if (word == "Fail")
            lamp = 2;
        else if (word == "Init" || word.empty())
            lamp = 3;
        SetLamp(socket, lamp);
    });
}

void CBurnwrightDlg::AppendStatusOnAll(const std::string& word) {
    OnUi([&] {
        const auto& states = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i) {
            if (!otp_->IsSocketEnabled(i))
                continue;
            AppendStatus(i,
                         word == "Status" ? std::string(engine::SocketStateText(states[i])) : word);
        }
    });
}

} // namespace app
