// Identifiers of the program's dialogs, controls, pictures, timers and
// window messages. Socket i's controls are a base identifier plus i.
#pragma once

namespace app::ids {

// Dialogs and pictures.
inline constexpr int kAboutDialog = 100;
inline constexpr int kAboutString = 101; // the system-menu entry's text
inline constexpr int kMainDialog = 102;
inline constexpr int kLoadProgressDialog = 103;
inline constexpr int kUpdateProgressDialog = 150;
inline constexpr int kIconMain = 128;
inline constexpr int kBitmapRed = 143;
inline constexpr int kBitmapBlue = 144;
inline constexpr int kBitmapGreen = 145;
inline constexpr int kBitmapGrey = 146;

// Controls without an identifier of their own; addressing it reaches the
// first such control of the dialog (the main window's "Status" group).
inline constexpr int kStatic = -1;
inline constexpr int kOk = 1;

// Main window (dialog 102).
inline constexpr int kProgram = 1000;
inline constexpr int kBufferBlankCheck = 1001;
inline constexpr int kOtpProgramGroup = 1002;
inline constexpr int kSelectAllOperations = 1008;
inline constexpr int kFileName = 1011;
inline constexpr int kOpen = 1012;
inline constexpr int kBlankCheck = 1013;
inline constexpr int kEraseFlash = 1014;
inline constexpr int kProgramFlash = 1015;
inline constexpr int kSingleProgram = 1016;
inline constexpr int kVerifyBuffer = 1017;
inline constexpr int kSingleVerify = 1018;
inline constexpr int kBodyCombo = 1040;
inline constexpr int kStress = 1041;
inline constexpr int kLength = 1042;
inline constexpr int kCheckSum = 1051;
inline constexpr int kSelectAllSockets = 1052;
inline constexpr int kOkCount = 1054;
inline constexpr int kResetCounter = 1055;
inline constexpr int kSecurityEnabled = 1072;
inline constexpr int kSecurityDigit = 1073;
inline constexpr int kFileTime = 1074;
inline constexpr int kElapsed = 1075;
inline constexpr int kBufferCheck = 1076;
inline constexpr int kCodeNumberEnabled = 1077;
inline constexpr int kCodeNumber = 1078;
inline constexpr int kLampBase = 1079; // 1079..1094
inline constexpr int kFailCount = 1095;
inline constexpr int kLoadToWriterBuffer = 1097;
inline constexpr int kStressCount = 1100;
inline constexpr int kTimeLabel = 1101;
inline constexpr int kSetInfo = 1104;
inline constexpr int kGetInfo = 1105;
inline constexpr int kStressInterval = 1107;
inline constexpr int kReadData = 1116;
inline constexpr int kLampTest = 1117;
inline constexpr int kGetOtpInfo = 1118;
inline constexpr int kSetOtpInfo = 1119;
inline constexpr int kFailLabel = 1121;
inline constexpr int kAdvanceSettingGroup = 1123;
inline constexpr int kOkLabel = 1124;
inline constexpr int kSecondsLabel = 1125;
inline constexpr int kWriterBufferGroup = 1126;
inline constexpr int kMultiDevice = 1127;
inline constexpr int kIhrcTrim = 1128;
inline constexpr int kLvdTrim = 1129;
inline constexpr int kSocketBoxBase = 1356; // 1356..1371
inline constexpr int kOpBlankCheck = 1372;
inline constexpr int kOpProgram = 1373;
inline constexpr int kOpVerify = 1374;
inline constexpr int kStatusTextBase = 1201; // 1201..1216

// Load progress (dialog 103) and update progress (dialog 150).
inline constexpr int kLoadProgressBar = 1102;
inline constexpr int kLoadPercent = 1103;
inline constexpr int kUpdateProgressBar = 1120;
inline constexpr int kUpdateStatus = 1121;

inline constexpr int kSocketCount = 16;

// System-menu command of the About entry.
inline constexpr int kSysCommandAbout = 16;

// Timers of the main window.
inline constexpr int kTimerNothing = 5678;
inline constexpr int kTimerOpenAfterBodyChange = 5679;
inline constexpr int kTimerStressTick = 5681;
inline constexpr int kTimerStressEnd = 5682;
inline constexpr int kTimerStateToControls = 5683;
inline constexpr int kTimerLampTest = 5684; // one lamp every 10 ms while the test runs

// Requests that worker threads send to the window, synchronously.
inline constexpr unsigned kMsgRefresh = 0x0400 + 1; // 1025
inline constexpr unsigned kMsgLamp = 0x0400 + 2;    // 1026
// Runs a piece of the window's own work on its thread in one request (lParam
// points at a std::function<void()>), so a worker's display updates cost one
// trip to the user-interface thread instead of one per control.
inline constexpr unsigned kMsgRunOnUi = 0x0400 + 3; // 1027

} // namespace app::ids
