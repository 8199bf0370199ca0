// One fault case's world: a program folder of its own with the shipped body
// profile and a settings file, a simulated writer with chips in every socket
// reached in-process or through the driver in the user-mode kernel, the
// window on the headless host, and virtual time. It runs workflow steps while
// a supervisor ends what the injected clock cannot: a transfer that waits
// without limit is ended the way an operator would, by unplugging the writer,
// and waits on the transfer lock are run out by moving the clock.
#pragma once

#include "app/BurnwrightDlg.h"
#include "app/headless/HeadlessHost.h"
#include "sim/Bus.h"
#include "tests/support/Invariant.h"
#include "tests/support/ProgramFolder.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace faults {

enum class Route { Direct, Driver };

// The files a case must keep whole, read at one moment.
struct FileSnapshot {
    std::map<std::string, std::string> files; // name -> bytes; missing files absent
    std::string Of(const std::string& name) const;
};

class Rig {
public:
    explicit Rig(Route route = Route::Direct);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts the window; the boxes of start-up get `answers` in order.
    void Start(std::vector<int> answers = {});
    // Ends the window and starts a new one on the same folder and writer.
    void Restart(std::vector<int> answers = {});
    // Opens the day's image of body 12, choosing that body first when another is selected.
    void OpenImage();
    void Load();
    void Pass();
    void Stress(int passes);
    // Puts a firmware file of `version` beside the program.
    void ShipFirmware(const sim::FirmwareVersion& version);
    // Fresh blank chips in every socket, for a pass after one that programmed.
    void FreshChips();

    // Runs `step` on a thread of its own and supervises it: unplugs the writer
    // once a transfer hangs without limit, runs out transfer-lock waits while
    // the lock is held by the test. False when the step did not end.
    bool Supervise(const std::function<void()>& step);
    // The transfer lock held by the test, as another transfer would hold it.
    void HoldTransferLock();
    void ReleaseTransferLock();
    bool HungTransferEnded() const { return unpluggedHang_; }

    // Brings an unplugged writer back and lets the window attach to it.
    void Replug();
    void Settle();

    // The writer's chips and the counters of the writer, the settings file
    // and (once started) the window.
    invariant::Observation Observe();
    // Checks the invariant for the action that started at host event
    // `firstEvent` after `before`; breaches are kept in `breaches`.
    void CheckAction(const invariant::Observation& before, size_t firstEvent, bool counts,
                     const std::string& what);

    std::string Setting(const char* section, const char* key);
    void Setting(const char* section, const char* key, const std::string& value);
    FileSnapshot Files() const;
    std::vector<std::string> ActionControlsDisabled();

    testsupport::ProgramFolder folder;
    port::ManualClock clock{1000};
    port::ManualClock progressClock;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<app::headless::HeadlessHost> host;
    std::unique_ptr<app::CBurnwrightDlg> dlg;
    // Installed on the host at Start: sees each box's text before its answer.
    std::function<void(const std::string&)> boxHook;
    // Every pass the rig runs (Pass, each pass of Stress) is checked against
    // the invariant; what it found.
    std::vector<std::string> breaches;
    // Under an injected fault the counters' store may not reach the writer
    // (it left, or the transfer failed); its counters unchanged then pass,
    // and the next pass's store is checked to catch them up.
    bool writerMayMissStores = false;

private:
    Route route_;
    bool lockHeld_ = false;
    bool unpluggedHang_ = false;
};

// Names of the files a workflow may write beside the program.
const std::vector<std::string>& KeptFiles();

} // namespace faults
