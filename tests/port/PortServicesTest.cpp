#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "port/FileRewrite.h"
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

namespace {

// A rewrite in pieces reads the old file at any offset and writes the new one
// as it goes; only Write stores it, and a rewrite that finds the identity it
// wrote itself finds the file as it left it. A whole-file rewrite refuses a
// file larger than its limit.
TEST(FileRewrite, InPiecesReadsAtOffsetsStoresOnlyWhatItMeansAndKnowsItsOwnFile) {
    testsupport::ProgramFolder folder;
    const std::string file = folder.File("state.txt");
    std::string written;
    ASSERT_TRUE(port::RewriteExclusivelyInPieces(
        file,
        [](port::RewriteInput& in, port::RewriteOutput& out) {
            EXPECT_EQ(in.Size(), 0u);
            EXPECT_EQ(in.Identity(), "");
            out.Write("ignored");
            return port::Edit::Unchanged;
        },
        &written));
    EXPECT_FALSE(std::filesystem::exists(file)) << "no empty file is left behind";

    testsupport::ProgramFolder::Write(file, "hello world");
    ASSERT_TRUE(port::RewriteExclusivelyInPieces(
        file,
        [](port::RewriteInput& in, port::RewriteOutput& out) {
            EXPECT_EQ(in.Size(), 11u);
            char word[5];
            EXPECT_TRUE(in.ReadAt(6, word, 5));
            char beyond[5];
            EXPECT_FALSE(in.ReadAt(8, beyond, 5)) << "beyond the end";
            return out.Write("bye ") && out.Write(std::string_view(word, 5)) ? port::Edit::Write
                                                                             : port::Edit::Failed;
        },
        &written));
    EXPECT_EQ(testsupport::ProgramFolder::Read(file), "bye world");
    EXPECT_FALSE(written.empty());

    auto attempt = [&](port::Edit outcome, std::string& identity) {
        return port::RewriteExclusivelyInPieces(
            file, [&](port::RewriteInput& in, port::RewriteOutput& out) {
                identity = in.Identity();
                out.Write("half");
                return outcome;
            });
    };
    std::string seen;
    EXPECT_FALSE(attempt(port::Edit::Failed, seen));
    EXPECT_EQ(seen, written);
    EXPECT_TRUE(attempt(port::Edit::Unchanged, seen));
    EXPECT_EQ(testsupport::ProgramFolder::Read(file), "bye world");
    testsupport::ProgramFolder::Write(file, "another program's text");
    attempt(port::Edit::Unchanged, seen);
    EXPECT_NE(seen, written);

    bool called = false;
    EXPECT_FALSE(port::RewriteExclusively(
        file,
        [&](std::string&) {
            called = true;
            return port::Edit::Write;
        },
        5));
    EXPECT_FALSE(called);
    EXPECT_EQ(testsupport::ProgramFolder::Read(file), "another program's text");
}

} // namespace
