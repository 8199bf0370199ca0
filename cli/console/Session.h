// One command's run of the window logic on the console host: start-up and
// attach (to the writer --writer names, when it does), then the same clicks
// an operator makes (body, Open, socket and operation boxes, Load, Program,
// the service buttons), and what the window shows afterwards, read back from
// its controls and its engine.
#pragma once

#include "app/BurnwrightDlg.h"
#include "cli/console/ConsoleHost.h"
#include "cli/console/ExitCodes.h"
#include "cli/console/Writers.h"
#include "sim/Bus.h"

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct CommonOptions {
    std::string writer; // --writer MEMBER|SERIAL; empty: the first free writer
    bool yes = false;   // routine confirmations only
    // The questions that warn of a problem, each accepted by its own option.
    bool programUninitialized = false;
    bool updateFirmware = false;
    bool waitForUpdate = false;
    bool developer = false;
    bool json = false;
    bool quiet = false;
};

struct Operations {
    bool blankCheck = false, program = false, verify = false, ihrc = false;
    bool Any() const { return blankCheck || program || verify || ihrc; }
};

// One socket as the window shows it after an action.
struct SocketResult {
    int socket = 0;       // 1-16
    bool enabled = false; // its box was ticked when the action started
    int state = 0;        // the engine's state: 0 Init, 1 OK, 2 Busy, 3 Fail
    std::string text;     // the status edit
    int lamp = 0;         // the picture shown: 143 red, 144 blue, 145 green, 146 grey
    // Step name ("Blank Check", "Program", "Verify", "Trim IHRC") to the word
    // the step left ("OK", "Fail", ...), for the steps this socket took part in.
    std::map<std::string, std::string> steps;
};

struct StepResult {
    std::string operation; // the summary line's label: Blank Check, Program, Verify
    int ok = 0, fail = 0, init = 0;
    uint32_t milliseconds = 0;
    std::optional<uint64_t> wireMilliseconds; // a simulated bus's wire timing is on
};

struct ActionResult {
    std::vector<SocketResult> sockets;
    std::vector<StepResult> steps;
    int okCount = 0, failCount = 0; // the counters afterwards
    std::string elapsed;            // the window's elapsed text
    bool stopped = false;           // a stop or an interrupt ended it early
    // A load on a simulated bus with wire timing on: its host and wire time.
    std::optional<double> hostMilliseconds;
    std::optional<uint64_t> wireMilliseconds;
};

const char* StateWord(int state);
const char* LampName(int bitmap);

class Session {
public:
    Session(CommonOptions options, std::ostream& err);
    ~Session();

    // Start-up of the window on the writer; kExitOk or why not. A body
    // (1..last) given is what the settings file names as the last body, as
    // if the operator had chosen it in an earlier session.
    int Start(int body = 0);
    // Before Start: `firmware update`, whose routine question is the offer.
    void SetUpdateCommand(bool update) { updateCommand_ = update; }
    // --developer given: the settings file must allow developer mode.
    int CheckDeveloper();

    // kExitOk for an index of the body list, else a message and kExitUsage.
    int CheckBodyIndex(int body);
    // The body (1..last) and, with a file, Open on it. kExitOk or why not.
    int SelectBody(int body);
    int OpenImage(int body, const std::string& file);
    // Ticks exactly the listed sockets (1-16); none: keeps the window's choice.
    int SelectSockets(const std::optional<std::vector<int>>& sockets);
    // The listed operations; none listed: "Select All".
    int SetOperations(const Operations& ops);
    int TickedSockets();

    int Load(ActionResult& result);
    int Pass(ActionResult& result);
    // Stress run of `count` passes `intervalMs` apart; one result per pass,
    // each handed to `onPass` as soon as the pass has ended.
    int Stress(int count, int intervalMs, std::vector<ActionResult>& passes,
               const std::function<void(const ActionResult&)>& onPass = {});
    // Clicks a button of the window and waits for what it started.
    int Click(int controlId, const char* caption);

    // Asks the running load, pass or stress run to stop at its next safe
    // point; any thread. An interrupt asks the same. ClearStop before the
    // next action.
    void RequestStop() { stop_ = true; }
    void ClearStop() { stop_ = false; }
    bool Stopping() const;

    WriterIdentity Writer();
    bool HasWindow() const { return dlg_ != nullptr; }
    app::CBurnwrightDlg& Dlg() { return *dlg_; }
    ConsoleHost& Host() { return *host_; }
    std::string ImageCheckSum();
    int Body() { return host_->GetComboSelection(app::ids::kBodyCombo); }
    std::string BodyName();
    std::string ImageFile() { return host_->Text(app::ids::kFileName); }
    // The exit code a finished action earns from what the window shows.
    int Verdict(const ActionResult& result);

private:
    // kExitOk when the window shows `body` selected, else why not.
    int BodyTaken(int body);
    bool SetBox(int id, bool want, const char* caption);
    void Collect(ActionResult& result, const std::vector<int>& ticked,
                 const std::array<size_t, 3>& recordsBefore);
    std::vector<int> Ticked();
    std::array<size_t, 3> RecordCounts();
    void WaitForPass();
    int StepsPerPass();

    // The window's clock: the machine's, except that the writer's verify of
    // its buffer (a wait of up to 125 s during a load) ends early on a stop.
    class LoadClock : public port::Clock {
    public:
        explicit LoadClock(const Session& session) : session_(session) {}
        uint64_t NowMs() override { return port::SystemClock().NowMs(); }
        void SleepMs(uint32_t ms) override;
        std::atomic<bool> cuttable{false};

    private:
        const Session& session_;
    };

    CommonOptions options_;
    bool updateCommand_ = false;
    std::ostream& err_;
    std::atomic<bool> stop_{false};
    LoadClock clock_{*this};
    port::ManualClock timerClock_;
    // The simulated bus behind the link, when it is one; null for a real writer.
    std::shared_ptr<sim::Bus> bus_;
    std::unique_ptr<ConsoleHost> host_;
    std::unique_ptr<app::CBurnwrightDlg> dlg_;
};

} // namespace cli
