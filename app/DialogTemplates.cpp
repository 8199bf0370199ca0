#include "app/BurnwrightApp.h"
#include "app/ControlIds.h"
#include "app/DialogTemplate.h"

#include <cstdint>

namespace app {

namespace {

using K = ControlKind;

constexpr const char* kFont = "MS Shell Dlg";
constexpr int kFontPoints = 8;

ControlTemplate Control(int id, K kind, const char* caption, int x, int y, int cx, int cy) {
    return ControlTemplate{id, kind, caption, Rect{x, y, cx, cy}};
}
ControlTemplate Button(int id, const char* caption, int x, int y, int cx, int cy = 14) {
    return Control(id, K::PushButton, caption, x, y, cx, cy);
}
ControlTemplate Check(int id, const char* caption, int x, int y, int cx) {
    return Control(id, K::CheckBox, caption, x, y, cx, 10);
}
ControlTemplate Label(int id, const char* caption, int x, int y, int cx) {
    return Control(id, K::Static, caption, x, y, cx, 8);
}
ControlTemplate Edit(int id, int x, int y, int cx, int cy = 12) {
    return Control(id, K::Edit, "", x, y, cx, cy);
}
ControlTemplate ReadOnly(ControlTemplate c) {
    c.readOnly = true;
    return c;
}
ControlTemplate Hidden(ControlTemplate c) {
    c.visible = false;
    return c;
}

// Rounds a * b / c to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
    const std::int64_t n = static_cast<std::int64_t>(a) * b;
    const std::int64_t q = (2 * (n < 0 ? -n : n) + c) / (2 * c);
    return static_cast<int>(n < 0 ? -q : q);
}

constexpr const char* kSocketCaptions[ids::kSocketCount] = {
    "#1", "#2",  "#3",  "#4",  "#5",  "#6",  "#7",  "#8",
    "#9", "#10", "#11", "#12", "#13", "#14", "#15", "#16"};

// Main window geometry in dialog units. Rows of sockets: eight per column,
// 15 units apart; the second column starts 143 units to the right.
constexpr int kSocketTop = 207;
constexpr int kSocketPitch = 15;
constexpr int kColumnPitch = 143;
constexpr int kSocketsPerColumn = 8;

void AddSockets(std::vector<ControlTemplate>& c) {
    for (int i = 0; i < ids::kSocketCount; ++i) {
        const int x = (i / kSocketsPerColumn) * kColumnPitch;
        const int y = kSocketTop + (i % kSocketsPerColumn) * kSocketPitch;
        c.push_back(Check(ids::kSocketBoxBase + i, kSocketCaptions[i], 14 + x, y + 1, 26));
        // 12 x 11 units hold the 17 x 17 pixel picture at the standard font.
        c.push_back(Control(ids::kLampBase + i, K::Bitmap, "145", 42 + x, y, 12, 11));
        c.push_back(ReadOnly(Edit(ids::kStatusTextBase + i, 57 + x, y, 91)));
    }
}

DialogTemplate BuildMain() {
    using namespace ids;
    DialogTemplate d{kMainDialog, "MERiL Burnwright", 305, 353, kFont, kFontPoints, true, {}};
    auto& c = d.controls;
    // The "Status" group comes first: the logic reaches it as the first
    // control without an id.
    c.push_back(Control(kStatic, K::GroupBox, "Status", 7, 181, 291, 147));

    // Body, file name, Open. The rectangle of the combo box is its closed
    // field; hosts size the dropped list themselves.
    c.push_back(Control(kBodyCombo, K::ComboBox, "", 7, 8, 90, 12));
    c.push_back(ReadOnly(Edit(kFileName, 101, 8, 147)));
    c.push_back(Button(kOpen, "Open", 252, 7, 46));

    // Writer Buffer; its last row (20 pixels with the spacing above it) is
    // shown only in developer mode and cut off by the compaction.
    c.push_back(Control(kWriterBufferGroup, K::GroupBox, "Writer Buffer", 7, 26, 291, 42));
    c.push_back(Label(kStatic, "Length", 14, 40, 24));
    c.push_back(ReadOnly(Edit(kLength, 40, 38, 70)));
    c.push_back(Label(kStatic, "Check Sum", 118, 40, 36));
    c.push_back(ReadOnly(Edit(kCheckSum, 156, 38, 52)));
    c.push_back(Button(kLoadToWriterBuffer, "Load to WriterBuffer", 214, 37, 77));
    c.push_back(Hidden(Check(kSecurityEnabled, "Security", 14, 53, 40)));
    c.push_back(Hidden(Edit(kSecurityDigit, 56, 52, 16, 11)));
    c.push_back(Hidden(Check(kCodeNumberEnabled, "Code Num", 118, 53, 44)));
    c.push_back(Hidden(Edit(kCodeNumber, 164, 52, 44, 11)));

    // OTP Program: the choices of a pass, the single operations of
    // developer mode and the Program button beside them.
    c.push_back(Control(kOtpProgramGroup, K::GroupBox, "OTP Program", 7, 72, 291, 62));
    c.push_back(Check(kSelectAllOperations, "Select All", 14, 84, 46));
    c.push_back(Check(kOpBlankCheck, "Blank Check", 64, 84, 52));
    c.push_back(Check(kOpProgram, "Program", 120, 84, 40));
    c.push_back(Check(kOpVerify, "Verify", 164, 84, 34));
    c.push_back(Check(kIhrcTrim, "IHRC Trim", 202, 84, 44));
    c.push_back(Hidden(Check(kLvdTrim, "LVD Trim", 250, 84, 41)));
    c.push_back(Hidden(Button(kBlankCheck, "Blank Check", 14, 98, 50)));
    c.push_back(Hidden(Button(kSingleProgram, "Program", 68, 98, 50)));
    c.push_back(Hidden(Button(kSingleVerify, "Verify", 122, 98, 50)));
    c.push_back(Hidden(Button(kReadData, "Read Data", 14, 116, 50)));
    c.push_back(Hidden(Edit(kFileTime, 68, 117, 104)));
    c.push_back(Button(kProgram, "Program", 226, 98, 65, 32));

    // Advance Setting: developer mode only; 43 units (70 pixels) with the
    // spacing below it, which the compaction closes.
    c.push_back(
        Hidden(Control(kAdvanceSettingGroup, K::GroupBox, "Advance Setting", 7, 138, 291, 39)));
    c.push_back(Hidden(Button(kEraseFlash, "Erase Flash", 14, 148, 50, 12)));
    c.push_back(Hidden(Button(kBufferBlankCheck, "Blank Check", 68, 148, 50, 12)));
    c.push_back(Hidden(Button(kProgramFlash, "Program Flash", 122, 148, 54, 12)));
    c.push_back(Hidden(Button(kVerifyBuffer, "Verify Buffer", 180, 148, 54, 12)));
    c.push_back(Hidden(Edit(kBufferCheck, 238, 148, 53)));
    c.push_back(Hidden(Button(kSetInfo, "SetInfo", 14, 162, 40, 12)));
    c.push_back(Hidden(Button(kGetInfo, "GetInfo", 58, 162, 40, 12)));
    c.push_back(Hidden(Button(kGetOtpInfo, "GetOTPInfo", 102, 162, 48, 12)));
    c.push_back(Hidden(Button(kSetOtpInfo, "SetOTPInfo", 154, 162, 48, 12)));
    c.push_back(Hidden(Button(kStress, "Stress", 206, 162, 30, 12)));
    c.push_back(Hidden(Edit(kStressCount, 240, 162, 20)));
    c.push_back(Hidden(Edit(kStressInterval, 264, 162, 27)));

    // Status: the socket switches, then the rows of the sockets.
    c.push_back(Check(kSelectAllSockets, "Select All", 14, 193, 50));
    c.push_back(Check(kMultiDevice, "Multi-Device", 14 + kColumnPitch, 193, 60));
    AddSockets(c);

    // Below the Status group: the counters and the time, plain edits.
    c.push_back(Button(kResetCounter, "Reset Counter", 7, 332, 54));
    c.push_back(Label(kOkLabel, "OK:", 67, 335, 14));
    c.push_back(Edit(kOkCount, 83, 333, 30));
    c.push_back(Label(kFailLabel, "Fail:", 119, 335, 16));
    c.push_back(Edit(kFailCount, 137, 333, 30));
    c.push_back(Label(kTimeLabel, "Elapsed Time", 173, 335, 44));
    c.push_back(Edit(kElapsed, 219, 333, 30));
    c.push_back(Label(kSecondsLabel, "Sec", 252, 335, 14));
    c.push_back(Hidden(Button(kLampTest, "Test", 270, 332, 28)));
    return d;
}

DialogTemplate BuildAbout() {
    DialogTemplate d{ids::kAboutDialog, "About Burnwright", 170, 62, kFont, kFontPoints, false, {}};
    d.controls = {
        Control(ids::kStatic, K::Icon, "128", 14, 14, 21, 20),
        Label(ids::kStatic, CAboutDlg::Text(), 42, 14, 114),
        Control(ids::kOk, K::DefPushButton, "OK", 113, 41, 50, 14),
    };
    return d;
}

DialogTemplate BuildLoadProgress() {
    DialogTemplate d{
        ids::kLoadProgressDialog, "Progress Bar", 196, 49, kFont, kFontPoints, false, {}};
    d.controls = {
        Label(ids::kStatic, "Loading...", 7, 7, 77),
        Control(ids::kLoadProgressBar, K::ProgressBar, "", 7, 28, 182, 14),
        Label(ids::kLoadPercent, "%", 89, 7, 68),
    };
    return d;
}

DialogTemplate BuildUpdateProgress() {
    DialogTemplate d{ids::kUpdateProgressDialog, "", 186, 44, kFont, kFontPoints, false, {}};
    d.controls = {
        Control(ids::kUpdateProgressBar, K::ProgressBar, "", 7, 19, 172, 14),
        Label(ids::kUpdateStatus, "Updating...", 7, 4, 92),
    };
    return d;
}

} // namespace

const ControlTemplate* DialogTemplate::Find(int wanted) const {
    for (const ControlTemplate& c : controls)
        if (c.id == wanted)
            return &c;
    return nullptr;
}

Rect ToPixels(const Rect& dlu, BaseUnits units) {
    // The edges are converted, as the platform maps a dialog rectangle, so a
    // size may differ by a pixel with the position.
    const int left = MulDiv(dlu.x, units.cx, 4);
    const int top = MulDiv(dlu.y, units.cy, 8);
    const int right = MulDiv(dlu.Right(), units.cx, 4);
    const int bottom = MulDiv(dlu.Bottom(), units.cy, 8);
    return Rect{left, top, right - left, bottom - top};
}

const DialogTemplate& AboutDialogTemplate() {
    static const DialogTemplate d = BuildAbout();
    return d;
}

const DialogTemplate& MainDialogTemplate() {
    static const DialogTemplate d = BuildMain();
    return d;
}

const DialogTemplate& LoadProgressDialogTemplate() {
    static const DialogTemplate d = BuildLoadProgress();
    return d;
}

const DialogTemplate& UpdateProgressDialogTemplate() {
    static const DialogTemplate d = BuildUpdateProgress();
    return d;
}

const DialogTemplate* FindDialogTemplate(int id) {
    switch (id) {
    case ids::kAboutDialog:
        return &AboutDialogTemplate();
    case ids::kMainDialog:
        return &MainDialogTemplate();
    case ids::kLoadProgressDialog:
        return &LoadProgressDialogTemplate();
    case ids::kUpdateProgressDialog:
        return &UpdateProgressDialogTemplate();
    default:
        return nullptr;
    }
}

} // namespace app
