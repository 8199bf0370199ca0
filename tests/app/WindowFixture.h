// Shared setup of the window tests: a program folder with the shipped body
// profile, a simulated writer with chips in every socket reached through the
// process's link, virtual time, and the window on the headless host.
#pragma once

#include "app/BurnwrightDlg.h"
#include "app/headless/HeadlessHost.h"
#include "sim/Bus.h"
#include "tests/app/WriterGate.h"
#include "tests/support/ProgramFolder.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace apptest {

class WindowTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The writer's route: in-process, or through the driver in the user-mode
    // kernel. Call before StartWindow; the default is in-process.
    void ThroughDriver() { throughDriver_ = true; }
    void StartWindow();
    // Settles the driver's notifications (when it is in the route) and the host.
    void Settle();
    // With `gate` closed: waits until a transfer waits at it (true), or until
    // the window is idle with none coming (false).
    bool WaitForWriterHeld();
    // While a transfer waits at the gate: waits until the work queued for the
    // user-interface thread is done (true), or until that thread waits for
    // the writer too (false: two users of the writer at once).
    bool UiSettlesWhileHeld();
    // Lets one transfer through the closed gate and waits until it passed.
    void LetOne();
    // Lets what the closed gate holds go on one transfer at a time, calling
    // `atEachTransfer` while each waits, until the window is idle; the number
    // of transfers.
    int StepThroughHeld(const std::function<void()>& atEachTransfer = {});
    // The action controls the host shows enabled.
    std::vector<int> EnabledActionControls();

    void Setting(const char* section, const char* key, const std::string& value);
    std::string Setting(const char* section, const char* key);
    // Writes an image of `length` bytes that body 12 accepts; returns its path.
    std::string WriteImage(const std::string& name, size_t length);
    // Socket boxes as a string of 0/1, socket 1 first.
    std::string SocketBoxes();

    port::ManualClock clock{1000};
    port::ManualClock progressClock;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<app::headless::HeadlessHost> host;
    std::unique_ptr<app::CBurnwrightDlg> dlg;
    // Every transfer of the window passes it; open unless a test closes it.
    std::shared_ptr<TransferGate> gate = std::make_shared<TransferGate>();
    port::LocalTime today{2026, 12, 9, 14, 5, 7, 0};
    // Answers to the boxes of start-up, in order.
    std::vector<int> startupAnswers;

    // The backend the window's link uses; a fixture of another route gives its own.
    virtual std::unique_ptr<port::DeviceIo> Backend() const;
    // The controls that start an action using the writer.
    static const std::vector<int>& ActionControls();

private:
    bool throughDriver_ = false;
};

} // namespace apptest
