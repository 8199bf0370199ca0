// One real interaction per dialog on the offscreen platform: the main window
// (102), the About box (100) and the two progress windows (103, 150), and the
// open-file dialog's filter.
#include "tests/app/qt/QtWindowFixture.h"

#include "app/ControlIds.h"
#include "app/ProgressDialogs.h"
#include "app/qt/Boxes.h"
#include "app/qt/DialogWidgets.h"
#include "app/qt/ProgressWindow.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

namespace qttest {
namespace {

namespace ids = app::ids;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

QWidget* VisibleWindowOfSize(QSize size) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->size() == size)
            return w;
    return nullptr;
}

using MainDialogTest = QtWindowTest;

TEST_F(MainDialogTest, ClicksReachTheLogicAndACancelledBoxLoadsNothing) {
    StartWindow();
    EXPECT_EQ(host->Window()->windowTitle().toStdString(),
              "MERiL Burnwright V4.00 [SIMULATED WRITER]");
    EXPECT_EQ(host->GetWindowText(), "MERiL Burnwright V4.00");
    EXPECT_TRUE(host->Control(ids::kLampBase + 1)->isHidden());

    const int singleHeight = host->Surface()->height();
    Click(ids::kMultiDevice);
    EXPECT_FALSE(host->Control(ids::kLampBase + 1)->isHidden());
    EXPECT_EQ(host->Surface()->height(), singleHeight + 170);

    Click(ids::kSocketBoxBase + 1); // untick socket 2
    EXPECT_EQ(dlg->Engine().IsSocketEnabled(1), 0);
    EXPECT_EQ(dlg->Engine().IsSocketEnabled(0), 1);

    const std::string image = WriteImage();
    host->SetFileAnswer([&](const std::string& filter, const std::string&) {
        EXPECT_EQ(filter, "Bin Files (*.bin;*.bn1)|*.bin;*.bn1;");
        return image;
    });
    Click(ids::kOpen);
    EXPECT_EQ(static_cast<QLineEdit*>(host->Control(ids::kFileName))->text().toStdString(), image);

    Click(ids::kOpBlankCheck);
    EXPECT_EQ(dlg->State().blankCheck.load(), 1);
    AnswerNextBox(QMessageBox::Cancel);
    Click(ids::kLoadToWriterBuffer);
    WaitIdle();
    EXPECT_EQ(lastBoxText, "Load the bin file to the WriterBuffer now ?");
    EXPECT_EQ(dlg->State().bufferLoaded.load(), 0);
    EXPECT_EQ(writer->BufferOf(0), std::vector<uint8_t>{});
    EXPECT_TRUE(host->Control(ids::kProgram)->isEnabled());
}

TEST_F(MainDialogTest, ClicksQueuedDuringAnActionAreDropped) {
    StartWindow();
    RunDry();
    host->DropPendingMouseInput();
    // Delivered before the event loop ran dry: made while the action ran.
    QTest::mouseClick(host->Control(ids::kMultiDevice), Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(dlg->State().multiDevice.load(), 0);
    Click(ids::kMultiDevice);
    EXPECT_EQ(dlg->State().multiDevice.load(), 1);
}

using AboutBoxTest = QtWindowTest;

TEST_F(AboutBoxTest, F1OpensTheAboutBoxBuiltFromItsTemplate) {
    StartWindow();
    EXPECT_THAT(host->MenuEntries(), ElementsAre("&About Burnwright..."));
    std::string title;
    QSize size;
    QStringList texts;
    auto* poll = new QTimer(host->Window());
    QObject::connect(poll, &QTimer::timeout, poll, [&] {
        QWidget* about = QApplication::activeModalWidget();
        if (!about)
            return;
        poll->deleteLater();
        title = about->windowTitle().toStdString();
        size = about->size();
        for (QLabel* label : about->findChildren<QLabel*>())
            texts << label->text();
        for (QPushButton* button : about->findChildren<QPushButton*>())
            if (button->text() == "OK")
                QTest::mouseClick(button, Qt::LeftButton);
    });
    poll->start(10);
    QTest::keyClick(host->Window(), Qt::Key_F1); // returns once OK closed the box
    EXPECT_EQ(title, "About Burnwright");
    EXPECT_EQ(size, app::qt::DialogPixelSize(app::AboutDialogTemplate()));
    EXPECT_TRUE(texts.contains("Burnwright Version 1.0"));
}

using ProgressWindowTest = QtWindowTest;

TEST_F(ProgressWindowTest, LoadProgressDrivenFromAWorkerShowsWithoutTakingFocus) {
    StartWindow();
    host->Window()->activateWindow();
    std::atomic<int> phase{0};
    QWidget* window = nullptr;
    std::thread worker([&] {
        {
            app::LoadProgressBar bar(*host, clock);
            window = dynamic_cast<app::qt::ProgressWindow&>(bar.Window()).Widget();
            bar.Start(400000, "Loading...", 10);
            for (int tick = 0; tick < 5; ++tick)
                bar.OnTick();
            phase = 1;
            while (phase != 2)
                std::this_thread::yield();
            bar.Finish();
        }
        phase = 3;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return phase == 1; }, 5000));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Progress Bar");
    EXPECT_EQ(window->size(), app::qt::DialogPixelSize(app::LoadProgressDialogTemplate()));
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_EQ(window->findChild<QProgressBar*>()->value(), 5);
    phase = 2;
    EXPECT_TRUE(QTest::qWaitFor([&] { return phase == 3; }, 5000));
    worker.join();
}

TEST_F(ProgressWindowTest, UpdateProgressHasNoCaptionAndStepsByAQuarter) {
    StartWindow();
    app::C_UpdateWriterVersionProgCtrl progress(*host);
    progress.Show();
    progress.Step();
    progress.Step();
    progress.SetStatus("Update APP version...");
    QWidget* window =
        VisibleWindowOfSize(app::qt::DialogPixelSize(app::UpdateProgressDialogTemplate()));
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(window->findChild<QProgressBar*>()->value(), 50);
    QStringList texts;
    for (QLabel* label : window->findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains("Update APP version..."));
    progress.Hide();
    EXPECT_FALSE(window->isVisible());
}

TEST(FileDialogFilterTest, ConvertsNamePatternPairsAndRejectsBrokenOnes) {
    using app::qt::ToFileDialogFilter;
    EXPECT_EQ(ToFileDialogFilter("Bin Files (*.bin;*.bn1)|*.bin;*.bn1;"),
              "Bin Files (*.bin *.bn1)");
    EXPECT_EQ(ToFileDialogFilter("Bin|*.bin|All|*.*||"), "Bin (*.bin);;All (*.*)");
    EXPECT_EQ(ToFileDialogFilter(""), "All Files (*)");
    EXPECT_EQ(ToFileDialogFilter("No patterns|;|"), "All Files (*)");
    EXPECT_EQ(ToFileDialogFilter("|*.bin|"), "All Files (*)");
}

} // namespace
} // namespace qttest
