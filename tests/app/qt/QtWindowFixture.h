// Shared setup of the Qt window tests: a program folder with the shipped body
// profile, a simulated writer with chips in every socket, and the window on
// the Qt host (offscreen), with virtual time for the logic's waits.
#pragma once

#include "app/BurnwrightDlg.h"
#include "app/qt/QtWindowHost.h"
#include "sim/Bus.h"
#include "tests/support/ProgramFolder.h"

#include <QImage>

#include <memory>
#include <string>

namespace qttest {

class QtWindowTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the window on body 12 (single-socket layout).
    void StartWindow();
    // Handles events until the workers have ended (bounded).
    void WaitIdle();
    // Lets the event loop run until it waits for input.
    void RunDry();
    // A real click on the control's widget, after the event loop ran dry.
    void Click(int id);
    // Answers the next message box by clicking `button` once it shows;
    // its text is kept in lastBoxText.
    void AnswerNextBox(int button);
    // Writes an image of the size body 12 takes; returns its path.
    std::string WriteImage();
    // The window's dialog area as drawn now, also saved as NAME.png under the
    // build tree.
    QImage Render(const std::string& name);

    port::ManualClock clock{1000};
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<app::qt::QtWindowHost> host;
    std::unique_ptr<app::CBurnwrightDlg> dlg;
    std::string lastBoxText;
};

} // namespace qttest
