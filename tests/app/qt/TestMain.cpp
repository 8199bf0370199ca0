// The Qt window tests need one QApplication for the whole run, on the
// offscreen platform unless the environment names another; every test has
// names of its own.
#include "app/qt/Program.h"
#include "tests/support/PrivateNames.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    app::qt::SetUpApplicationLook();
    ::testing::InitGoogleTest(&argc, argv);
    testsupport::UsePrivateNamesPerTest();
    return RUN_ALL_TESTS();
}
