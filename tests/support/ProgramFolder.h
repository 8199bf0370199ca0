// Test fixtures shared by every layer's tests.
#pragma once

#include "core/MessageHost.h"
#include "port/ProgramPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A fresh temporary folder that acts as the program's folder for one test:
// the program file is "<folder>/Burnwright.exe", so settings, logs, profile
// and read-back files all land in the folder, which is removed afterwards.
class ProgramFolder {
public:
    ProgramFolder();
    ~ProgramFolder();

    const std::filesystem::path& Folder() const { return folder_; }
    std::string ProgramPath() const { return (folder_ / "Burnwright.exe").string(); }
    std::string SettingsPath() const { return (folder_ / "Burnwright.ini").string(); }
    std::string File(const std::string& name) const { return (folder_ / name).string(); }

    static std::string Read(const std::string& path);
    static void Write(const std::string& path, const std::string& bytes);

private:
    std::filesystem::path folder_;
    port::ScopedModuleFileName program_;
};

// Records every message box and answers from a script (OK when it runs dry).
class RecordingMessageHost : public core::I_MessageBoxHost {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned flags;
    };

    RecordingMessageHost() { previous_ = core::SetMessageBoxHost(this); }
    ~RecordingMessageHost() override { core::SetMessageBoxHost(previous_); }

    int ShowMessageBox(const std::string& text, const std::string& caption,
                       unsigned flags) override;

    std::vector<int> answers; // taken from the front
    std::vector<Box> shown;

private:
    core::I_MessageBoxHost* previous_ = nullptr;
};

// Fixture base: every test gets its own program folder and message host.
class ProgramFolderTest : public ::testing::Test {
protected:
    ProgramFolder folder;
    RecordingMessageHost boxes;
};

} // namespace testsupport
