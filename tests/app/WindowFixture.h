// Shared setup of the window tests: a program folder with the shipped body
// profile, a simulated writer with chips in every socket reached through the
// process's link, virtual time, and the window on the headless host.
#pragma once

#include "app/BurnwrightDlg.h"
#include "app/headless/HeadlessHost.h"
#include "sim/Bus.h"
#include "tests/support/ProgramFolder.h"

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
    port::LocalTime today{2026, 12, 9, 14, 5, 7, 0};
    // Answers to the boxes of start-up, in order.
    std::vector<int> startupAnswers;

    // The backend the window's link uses; a fixture of another route gives its own.
    virtual std::unique_ptr<port::DeviceIo> Backend() const;

private:
    bool throughDriver_ = false;
};

} // namespace apptest
