#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "port/FileStatus.h"
#include "port/ProgramPath.h"
#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgramPath, OverrideAndEnvironmentPointTheProgramFolderElsewhere) {
    const std::string real = port::ModuleFileName();
    EXPECT_FALSE(real.empty());
    {
        port::ScopedModuleFileName scoped("/tmp/x/Burnwright.exe");
        EXPECT_EQ(port::ModuleFileName(), "/tmp/x/Burnwright.exe");
        EXPECT_EQ(port::ModuleFolder(), "/tmp/x/");
        {
            port::ScopedModuleFileName inner("C:\\tools\\Burnwright.exe");
            EXPECT_EQ(port::ModuleFolder(), "C:\\tools\\");
        }
        EXPECT_EQ(port::ModuleFileName(), "/tmp/x/Burnwright.exe");
    }
    EXPECT_EQ(port::ModuleFileName(), real);
    testsupport::ScopedEnvironment program("BURNWRIGHT_PROGRAM_PATH", "/opt/bw/bw");
    EXPECT_EQ(port::ModuleFileName(), "/opt/bw/bw");
}

TEST(FileStatus, ReportsSizeAndSeesModification) {
    testsupport::ProgramFolder folder;
    const std::string file = folder.File("a.bin");
    port::FileStatus status;
    EXPECT_FALSE(port::GetFileStatus(file, status));
    testsupport::ProgramFolder::Write(file, "abc");
    ASSERT_TRUE(port::GetFileStatus(file, status));
    EXPECT_EQ(status.size, 3u);
    const auto before = status.modifiedNs;
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) +
                                               std::chrono::seconds(5));
    ASSERT_TRUE(port::GetFileStatus(file, status));
    EXPECT_NE(status.modifiedNs, before);
}

TEST(ManualClock, SleepAdvancesVirtualTimeWithoutBlocking) {
    port::ManualClock clock(100);
    clock.SleepMs(2000);
    clock.Advance(5);
    EXPECT_EQ(clock.NowMs(), 2105u);
    EXPECT_EQ(clock.SleptMs(), 2000u);
}

TEST(DeviceIoRegistry, SelectsBackendByNameAndPassesTheArgument) {
    std::string seen;
    port::RegisterDeviceIoBackend("test-backend", [&](const std::string& argument) {
        seen = argument;
        return std::unique_ptr<port::DeviceIo>();
    });
    std::string error;
    EXPECT_EQ(port::CreateDeviceIo("test-backend:state.bin", error), nullptr);
    EXPECT_EQ(seen, "state.bin");
    EXPECT_NE(error.find("could not start"), std::string::npos);
    EXPECT_EQ(port::CreateDeviceIo("nonesuch", error), nullptr);
    EXPECT_EQ(error, "Unknown writer backend \"nonesuch\"");
    // The platform's own backend starts, or the operator learns how to go on.
    testsupport::ScopedEnvironment noChoice("BURNWRIGHT_WRITER", nullptr);
    const std::string real = port::DeviceIoSelectionFromEnvironment();
    if (!port::CreateDeviceIo(real, error)) {
        EXPECT_EQ(real, "usb");
        EXPECT_EQ(error, "This build has no real writer backend on Linux; set "
                         "BURNWRIGHT_WRITER=sim to use the simulated writer.");
    }
}

} // namespace
