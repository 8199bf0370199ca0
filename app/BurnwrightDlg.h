// The main window's logic: its state, the exchange between state and
// controls, the messages it handles, the socket layout, body selection, the
// check-box bookkeeping that keeps the engine and the settings file in step,
// start-up, attach, and the writer being plugged and unplugged. It draws
// nothing itself: every control is reached through the host.
//
// Threads. Handlers run on the user-interface thread. Worker threads (the
// load thread, its progress thread and the pass thread) work on this object
// too but touch controls only through the host's synchronous requests; flags
// they share with the user-interface thread are atomics and texts are guarded.
//
// One user of the writer at a time. Every action that talks to the writer
// (a pass, a load, a stress tick's pass, each action button) holds the window
// busy from its start until its worker has truly finished, closing exchanges
// included. Meanwhile every action control stays disabled (what the action
// asks for them is applied when it ends), no other action starts, box clicks
// change the window but not the engine, and a writer arrival waits; only the
// detached state takes effect at once, and it wins over whatever the action
// does after the writer left.
#pragma once

#include "app/ControlIds.h"
#include "app/ProgressDialogs.h"
#include "app/UpdateCheck.h"
#include "app/WindowHost.h"
#include "core/Log.h"
#include "core/Profiler.h"
#include "engine/OTP.h"
#include "port/Clock.h"
#include "port/LocalTime.h"
#include "usb/IUSBInfo.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace app {

inline constexpr const char* kMainTitle = "MERiL Burnwright";
inline constexpr const char* kProgramVersion = "V4.00";
inline constexpr const char* kSelectBodyText = "Please Select Chip Body!";
// The settings file did not take the counters (a format with the file's path).
inline constexpr const char* kCountersNotSaved = "The counters could not be written to %s!";

// A text shared between the user-interface thread and workers.
class GuardedText {
public:
    explicit GuardedText(std::string initial = {}) : value_(std::move(initial)) {}
    std::string Get() const {
        std::lock_guard<std::mutex> hold(lock_);
        return value_;
    }
    void Set(std::string value) {
        std::lock_guard<std::mutex> hold(lock_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex lock_;
    std::string value_;
};

// What the window is given besides its host: the writer link, the clock its
// waits and ticks run on, and today's date.
struct WindowServices {
    usb::I_USBInfo* link = nullptr;             // the process's link when null
    port::Clock* clock = nullptr;               // the system clock when null
    std::function<port::LocalTime()> localTime; // the system's when empty
    // Paces the load progress window's last half second; `clock` when null.
    port::Clock* progressClock = nullptr;
    // A second timeline each step of a pass is measured on, in milliseconds
    // (a simulated bus's wire time); none when empty.
    std::function<uint64_t()> wireTime;
    // Asked at the safe points of a load and a pass (between their steps,
    // never inside a writer command): true stops the action there. A script
    // host's interrupt; never stops when empty.
    std::function<bool()> stopRequested;
};

// The state of the window; bound members are exchanged with their controls.
struct WindowState {
    GuardedText securityDigit{"F"};          // edit 1073, at most one character
    GuardedText fileName;                    // edit 1011
    GuardedText checkSumText;                // edit 1051
    GuardedText lengthText;                  // edit 1042
    GuardedText fileTimeText;                // edit 1074
    GuardedText elapsedText;                 // edit 1075
    GuardedText bufferCheckText;             // edit 1076
    GuardedText timeLabel{"Elapsed Time"};   // static 1101
    std::atomic<int> selectAllOperations{0}; // 1008
    std::atomic<int> program{0};             // 1373
    std::atomic<int> blankCheck{0};          // 1372
    std::atomic<int> verify{0};              // 1374
    std::atomic<int> ihrcTrim{0};            // 1128
    std::atomic<int> lvdTrim{0};             // 1129
    std::atomic<int> selectAllSockets{0};    // 1052
    std::atomic<int> codeNumberEnabled{0};   // 1077
    std::atomic<int> securityEnabled{0};     // 1072
    std::atomic<int> multiDevice{0};         // 1127, not persisted
    std::atomic<int> codeNumber{0};          // 1078, 0..9999
    std::atomic<int> okCount{0};             // 1054
    std::atomic<int> failCount{0};           // 1095
    std::atomic<int> stressCount{10};        // 1100
    std::atomic<int> stressInterval{1500};   // 1107, milliseconds
    std::atomic<int> developerMode{0};
    std::atomic<int> showElapsed{1};
    std::atomic<int> bufferStale{0};
    std::atomic<int> bufferLoaded{0};
    std::atomic<int> loading{0};
    std::atomic<int> passingSocketsOnly{0};
    std::atomic<int> stressRunning{0};
    std::atomic<int> firmwareUpdating{0};
    std::atomic<uint32_t> startTick{0};
};

class CBurnwrightDlg : public I_WindowLogic {
public:
    // Creates the settings store (the program's settings file), the OTP log
    // and the writer engine on the link.
    CBurnwrightDlg(I_WindowHost& host, WindowServices services = {});
    // Unregisters the device notification.
    ~CBurnwrightDlg() override;
    CBurnwrightDlg(const CBurnwrightDlg&) = delete;
    CBurnwrightDlg& operator=(const CBurnwrightDlg&) = delete;

    // I_WindowLogic.
    bool OnInitDialog() override;
    void OnCommand(int controlId) override;
    void OnSysCommand(int commandId) override;
    void OnTimer(int timerId) override;
    intptr_t OnUserMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override;
    void OnDeviceChange(DeviceChange change, const std::string& interfacePath) override;
    void OnPaint() override;
    bool IsRedText(int id) override;

    // Exchange between state and controls: true reads the controls into the
    // state (false, with a message, when the code number is not 0..9999);
    // false writes the state to the controls. User-interface thread.
    bool UpdateData(bool saveAndValidate);
    // The same from any thread: a worker sends the refresh request.
    void Refresh(bool saveAndValidate);
    // Repaints the whole window now, from any thread.
    void RepaintNow();

    // Check boxes, engine options and socket flags in step; Load enabled
    // exactly when a socket is ticked, a file is open and no load runs.
    void SynchroniseCheckBoxes();
    void ApplySelectAllOperations();
    void OnSelectAllSockets();
    // Action controls together; `flush` drops the mouse input queued meanwhile.
    void EnableActionControls(bool enable, bool flush);
    void ApplySocketLayout(int multiDevice);
    void OnBodySelectionChange();

    // Socket status display: texts and lamps, from any thread.
    void SetStatusText(int socket, const std::string& text);
    void SetStatusTextOnAll(const std::string& text);
    void AppendStatus(int socket, const std::string& word);
    // "Status" appends each socket's own state word.
    void AppendStatusOnAll(const std::string& word);
    // Lamp codes: 0 green, 1 blue, 2 red, 3 grey; socket 16 is every socket.
    void SetLamp(int socket, int lampCode);
    // Lamp code of a socket state: Init grey, OK green, Busy blue, Fail red.
    static int LampForState(uint8_t state);
    int LampBitmap(int socket) const { return lamps_[socket].load(); }

    // Image open and the writer buffer.
    void OnOpen();
    // Information record, then into the image for the bodies that carry one
    // (`klKsOnly`: only for " KL500 " and " KS300 ", as a pass does); the
    // other bodies only show their buffer check value.
    void PrepareImage(bool klKsOnly);
    engine::InfoRecord BuildInformationRecord();
    void OnLoadToWriterBuffer();
    void LoadThread();
    // The load's steps; `verified` tells whether the closing buffer verify ran.
    bool LoadSequence(bool& verified);
    void RefreshBufferTexts(bool loaded);
    void OnBufferOperation(int controlId);

    // Programming passes, single operations, counters and stress runs.
    void OnProgram();
    void PassThread();
    // 0 blank check, 1 program, 2 verify, 3 IHRC trim: the engine's result.
    int SingleOperation(int operation);
    // Every enabled socket reads Init until the writer reports it again.
    void ClearEnabledStates();
    // Around one step's engine call: TakeStep notes who takes part (the
    // enabled sockets, cleared to Init) and what the others read; EndStep
    // keeps the others as they read, whatever the writer's status says.
    static constexpr uint8_t kTakesPart = 0xFF;
    std::array<uint8_t, ids::kSocketCount> TakeStep();
    void EndStep(const std::array<uint8_t, ids::kSocketCount>& before);
    // Before a pass programs: the writer checks the buffers of the sockets
    // not known to hold the open image; true when it did (only the sockets
    // it found holding the image are then left OK).
    bool CheckBuffersBeforeProgram();
    void SummaryLine(int operation, uint32_t milliseconds, std::optional<uint64_t> wireMs);
    void OnResetCounter();
    void OnStress();
    void OnStressTick();
    void OnStressEnd();
    void StartTimer();
    void ShowElapsedSince();
    bool IsPassRunning() const { return passRunning_.load(); }
    // The host asked the running load or pass to stop at its next safe point.
    bool StopRequested() const { return stopRequested_ && stopRequested_(); }
    // An action holds the writer (a worker may still be finishing it).
    bool IsBusy() const { return busy_.load(); }
    bool IsDetached() const { return detached_.load(); }
    // Whether socket i's writer buffer is known to hold the open image: a
    // load or a buffer verify of this image ended OK there.
    bool BufferHolds(int socket) const { return bufferHolds_[socket].load(); }
    // Per operation (0, 1, 2) the step records of the passes so far, each
    // with the time its step took.
    struct StepCounts {
        int ok;
        int fail;
        int init;
        uint32_t milliseconds;
    };
    std::vector<StepCounts> StepRecords(int operation);
    // The wire time of each of those records; empty without a wire timeline.
    std::vector<uint64_t> WireRecords(int operation);

    // Read-back, information commands and the lamp test.
    void OnReadData();
    void OnGetInfo();
    void OnSetInfo();
    void OnGetOtpInfo();
    void OnSetOtpInfo();
    void OnLampTest();
    void OnLampTestTick();
    bool IsLampTestRunning() const { return lampTestRunning_; }

    // Start-up's steps, attach and the detached state.
    bool Attach();
    void EnterDetachedState();
    void RestoreSavedState();
    // The firmware update check with this window's record of the writer
    // version; 1 when nothing was needed or an update ran, 0 when declined.
    int RunUpdateCheck();

    WindowState& State() { return state_; }
    engine::C_OTP& Engine() { return *otp_; }
    core::C_OTPProfiler& Settings() { return *settings_; }
    core::C_OTPLog& OtpLog() { return *log_; }
    I_WindowHost& Host() { return host_; }
    port::Clock& Clock() { return *clock_; }
    usb::I_USBInfo& Link() { return *link_; }
    port::LocalTime Today() const { return localTime_(); }
    uint32_t TickCount() const { return static_cast<uint32_t>(clock_->NowMs()); }
    const WriterVersion& GetWriterVersionRecord() const { return writerVersion_; }
    const std::string& LastDevicePath() const { return lastDevicePath_; }
    int SelectedBody() { return host_.GetComboSelection(ids::kBodyCombo); }
    // The selected body's list name (with its blanks), compared without case.
    bool IsSelectedBody(const char* paddedName);

private:
    // Ends the action it was made for when it leaves scope.
    class ActionEnd {
    public:
        explicit ActionEnd(CBurnwrightDlg& dlg) : dlg_(dlg) {}
        ~ActionEnd() { dlg_.EndAction(); }
        ActionEnd(const ActionEnd&) = delete;
        ActionEnd& operator=(const ActionEnd&) = delete;

    private:
        CBurnwrightDlg& dlg_;
    };

    // Runs `work` on the user-interface thread and waits for it.
    void OnUi(const std::function<void()>& work);
    // User-interface thread: false when an action holds the writer; else
    // disables the action controls, remembers what they showed and takes the
    // ticked sockets as the action's sockets. `worker`: the action goes on in
    // a worker thread.
    bool TryBeginAction(bool worker);
    // Any thread: the action has finished with the writer.
    void EndAction();
    void EndActionOnUi();
    // User-interface thread: an action control, or while an action runs what
    // it will show when the action ends. Load and Reset Counter stay disabled
    // while detached.
    void SetActionEnabled(int id, bool enable);
    // User-interface thread: the engine may be touched now (no worker is
    // running outside a request it sent to this thread).
    bool EngineFree() const;
    void ApplyDetachedControls();
    // The action's sockets as the engine's enabled sockets; with
    // `passedOnly`, only those in state OK.
    void SelectAmongAction(bool passedOnly);
    // Sockets outside the action read Init whatever the writer reported.
    void InitOutsideAction();
    void ForgetBuffer();
    // Whether the open image still is the one the writer buffers were
    // checked against; forgets them when not.
    void CheckHeldImage();
    void RememberHeldImage();
    void OnBoxClicked();
    // The arrival of the writer's interface (attach when it is this writer's).
    void OnArrival(const std::string& name);
    bool Exchange(bool saveAndValidate, bool report);
    void ReadBackQuietly();
    void OnSelectAllOperations();
    void OnActionCommand(int controlId);
    bool AttachWithFallback();
    void MapSocketControls();
    void SelectCatalogueBody();
    // IHRC and LVD Trim for body index i, by the table of start-up or of a
    // body change.
    void ApplyTrimBoxes(int index, bool startupTable);
    void ApplyOtpInfoButtons(int index);
    void ApplyBodyControls(int index);
    void DefaultTitle();
    void ApplyMoves(const std::vector<struct ControlMove>& moves, bool reverse);
    void FillBodyList();

    I_WindowHost& host_;
    usb::I_USBInfo* link_;
    port::Clock* clock_;
    std::function<port::LocalTime()> localTime_;
    std::unique_ptr<core::C_OTPProfiler> settings_;
    std::unique_ptr<core::C_OTPLog> log_;
    std::unique_ptr<engine::C_OTP> otp_;
    WindowState state_;
    std::array<std::atomic<int>, ids::kSocketCount> lamps_;
    std::array<int, ids::kSocketCount> lampControls_{};
    std::array<int, ids::kSocketCount> boxControls_{};
    int layout_ = 1; // the template's 16-socket layout
    bool notificationRegistered_ = false;
    std::string lastDevicePath_;
    WriterVersion writerVersion_{};
    port::Clock* progressClock_;
    std::function<uint64_t()> wireTime_;
    std::function<bool()> stopRequested_;
    std::atomic<bool> passRunning_{false};
    std::thread::id uiThread_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> workerAction_{false};
    bool inWorkerCall_ = false; // user-interface thread only
    std::map<int, bool> pendingEnabled_;
    std::atomic<bool> detached_{false};
    bool syncPending_ = false;
    std::optional<std::string> pendingArrival_;
    bool closeLinkPending_ = false;
    std::array<uint8_t, ids::kSocketCount> actionSockets_{};
    std::array<std::atomic<bool>, ids::kSocketCount> bufferHolds_{};
    // The image the buffers were checked against: path, size, time, check value.
    std::string heldImage_;
    std::mutex resultsLock_;
    std::array<std::vector<StepCounts>, 3> results_;
    std::array<std::vector<uint64_t>, 3> wireResults_;
    engine::InfoRecord informationRecord_{};
    bool lampTestRunning_ = false;
    int lampTestSocket_ = 0;
    int lampTestBitmap_ = ids::kBitmapRed;
};

} // namespace app
