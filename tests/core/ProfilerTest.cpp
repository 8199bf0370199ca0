#include "core/Profiler.h"
#include "core/Path.h"
#include "tests/support/ProgramFolder.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using core::C_OTPProfiler;
using testsupport::ProgramFolder;
using testsupport::ProgramFolderTest;
namespace settings = core::settings;

using Profiler = ProgramFolderTest;

TEST_F(Profiler, DefaultFileIsTheProgramPathWithIniExtension) {
    C_OTPProfiler store;
    EXPECT_EQ(store.GetFilePath(), folder.SettingsPath());
    core::C_Profiler own(folder.File("other.cfg"));
    EXPECT_EQ(own.GetFilePath(), folder.File("other.cfg"));
}

TEST_F(Profiler, MissingFileReadsEmptyAndZero) {
    C_OTPProfiler store;
    EXPECT_EQ(store.GetTitle(), "");
    EXPECT_EQ(store.GetVersion(), "");
    EXPECT_EQ(store.GetLastOpenFileName(), "");
    EXPECT_EQ(store.GetCounterOk(), 0);
    EXPECT_EQ(store.GetDeviceBodyIndex(), 0);
    EXPECT_EQ(store.GetSeriesNum(), 0);
    EXPECT_FALSE(store.SectionExists("General"));
    EXPECT_TRUE(store.GetSectionNames().empty());
    EXPECT_FALSE(std::filesystem::exists(folder.SettingsPath()));
}

TEST_F(Profiler, IntegersReadTheirLeadingDigits) {
    ProgramFolder::Write(folder.SettingsPath(),
                         "[General]\nOtpCounterOk=12abc\nOtpCounterFail=abc\nUSBAccessDelay=\n"
                         "LogUSBEn=-7\nLogFuncEn=99999999999\n");
    C_OTPProfiler store;
    EXPECT_EQ(store.GetInt("General", "OtpCounterOk"), 12);
    EXPECT_EQ(store.GetInt("General", "OtpCounterFail"), 0);
    EXPECT_EQ(store.GetInt("General", "USBAccessDelay"), 0);
    EXPECT_EQ(store.GetInt("General", "LogUSBEn"), -7);
    EXPECT_EQ(store.GetInt("General", "LogFuncEn"), 2147483647);
    EXPECT_TRUE(store.WriteInt("General", "OtpCounterOk", 9999));
    EXPECT_EQ(store.GetString("General", "OtpCounterOk"), "9999");
}

TEST_F(Profiler, DevelopVersionNeedsTheExactPasswordElseItIsBlanked) {
    C_OTPProfiler store;
    EXPECT_FALSE(store.IsDevelopVersion());
    EXPECT_EQ(ProgramFolder::Read(folder.SettingsPath()), "[General]\r\nDevelopVersion=\r\n");

    store.WriteString(settings::kGeneral, settings::kDevelopVersion, "meril_tb7");
    EXPECT_FALSE(store.IsDevelopVersion());
    EXPECT_EQ(store.GetString(settings::kGeneral, settings::kDevelopVersion), "");

    store.WriteString(settings::kGeneral, settings::kDevelopVersion, "MERiL_TB7");
    EXPECT_TRUE(store.IsDevelopVersion());
    EXPECT_EQ(store.GetString(settings::kGeneral, settings::kDevelopVersion), "MERiL_TB7");
}

TEST_F(Profiler, NamedAccessorsUseTheirSectionsAndKeys) {
    C_OTPProfiler store;
    store.SetTitle("Line 3");
    store.SetLastOpenFileName("C:\\img\\a.bin");
    store.SetLastFirmBinFile("fw.bin");
    store.SetDevelopVersion(5);
    store.SetCounters(10, 2);
    store.SetDeviceBodyIndex(21);
    store.WriteString("General", "SeriesNum", "2");
    store.WriteString("General", "Series1", "KW");
    C_OTPProfiler other; // no cache: a second store sees every value
    EXPECT_EQ(other.GetString("General", "Title"), "Line 3");
    EXPECT_EQ(other.GetString("File", "LastOpenFileName"), "C:\\img\\a.bin");
    EXPECT_EQ(other.GetString("File", "LastFirmBinFile"), "fw.bin");
    EXPECT_EQ(other.GetDevelopVersion(), 5);
    EXPECT_EQ(other.GetInt("General", "OtpCounterOk"), 10);
    EXPECT_EQ(other.GetInt("General", "OtpCounterFail"), 2);
    EXPECT_EQ(other.GetInt("File", "DeviceBodyIndex"), 21);
    EXPECT_EQ(other.GetSeriesNum(), 2);
    EXPECT_EQ(other.GetSeries(1), "KW");
    EXPECT_EQ(other.GetSeries(0), "");
}

TEST_F(Profiler, LongValuesComeBackCutTo1023) {
    C_OTPProfiler store;
    store.WriteString("General", "Title", std::string(2000, 'q').c_str());
    EXPECT_EQ(store.GetTitle(), std::string(1023, 'q'));
}

TEST_F(Profiler, SectionListsDropEntriesBeyond1024Characters) {
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "[Section" + std::string(30, 'x') + std::to_string(i) + "]\nk=1\n";
    ProgramFolder::Write(folder.SettingsPath(), text);
    C_OTPProfiler store;
    const auto& names = store.GetSectionNames();
    ASSERT_FALSE(names.empty());
    EXPECT_LT(names.size(), 40u);
    size_t characters = 0;
    for (const auto& name : names)
        characters += name.size() + 1;
    EXPECT_LE(characters, 1024u);
    EXPECT_EQ(names.front(), "Section" + std::string(30, 'x') + "0");
}

TEST_F(Profiler, SectionLinesListKeysAndSectionExistsNeedsOne) {
    ProgramFolder::Write(folder.SettingsPath(), "[General]\nA=1\nB=\n[Empty]\n");
    C_OTPProfiler store;
    EXPECT_EQ(store.GetSectionLines("General"), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(store.SectionExists("general"));
    EXPECT_FALSE(store.SectionExists("Empty"));
    EXPECT_EQ(store.GetSectionNames(), (std::vector<std::string>{"General", "Empty"}));
}

TEST_F(Profiler, ReadOnlySettingsFileKeepsItsValues) {
    ProgramFolder::Write(folder.SettingsPath(),
                         "[General]\r\nOtpCounterOk=41\r\nDevelopVersion=old\r\n");
    std::filesystem::permissions(folder.SettingsPath(), std::filesystem::perms::owner_read);
    C_OTPProfiler store;
    EXPECT_FALSE(store.IsDevelopVersion());
    EXPECT_FALSE(store.SetCounters(0, 0));
    EXPECT_EQ(store.GetCounterOk(), 41);
    EXPECT_EQ(store.GetString("General", "DevelopVersion"), "old");
}

#ifndef _WIN32
// A settings file that never ends (a link to a device) is read no further
// than a settings file can be long: it reads as empty and takes no writes.
TEST_F(Profiler, SettingsFileThatNeverEndsReadsAsEmptyAndTakesNoWrites) {
    std::filesystem::create_symlink("/dev/zero", folder.SettingsPath());
    C_OTPProfiler store;
    EXPECT_EQ(store.GetCounterOk(), 0);
    EXPECT_EQ(store.GetTitle(), "");
    EXPECT_FALSE(store.SetCounters(1, 2));
    EXPECT_FALSE(store.SetTitle("Line 3"));
}
#endif

TEST(Path, SplitsWindowsPathsOnEveryPlatform) {
    core::C_Path path("C:\\dir\\name.ext");
    EXPECT_EQ(path.GetDrive(), "C:");
    EXPECT_EQ(path.GetDir(), "\\dir\\");
    EXPECT_EQ(path.GetFileName(), "name");
    EXPECT_EQ(path.GetExt(), ".ext");
    path.SetExt(".ini");
    EXPECT_EQ(path.GetFullPath(), "C:\\dir\\name.ini");
    EXPECT_EQ(path.GetDriveDir(), "C:\\dir\\");
    EXPECT_EQ(path.GetFileNameExt(), "name.ini");
}

TEST(Path, SplitsEdgeShapes) {
    struct Case {
        const char* full;
        const char* drive;
        const char* dir;
        const char* name;
        const char* ext;
    } cases[] = {
        {"/home/op/image.v2.bin", "", "/home/op/", "image.v2", ".bin"},
        {"name", "", "", "name", ""},
        {"dir.d/name", "", "dir.d/", "name", ""},
        {"a/b\\c.", "", "a/b\\", "c", "."},
        {".hidden", "", "", "", ".hidden"},
        {"D:rel.bin", "D:", "", "rel", ".bin"},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full);
        core::C_Path path(c.full);
        EXPECT_EQ(path.GetDrive(), c.drive);
        EXPECT_EQ(path.GetDir(), c.dir);
        EXPECT_EQ(path.GetFileName(), c.name);
        EXPECT_EQ(path.GetExt(), c.ext);
    }
}

TEST(Path, MakePathAddsMissingColonSeparatorAndDot) {
    core::C_Path path;
    path.MakePath("C", "\\img", "chip", "bin");
    EXPECT_EQ(path.GetFullPath(), "C:\\img\\chip.bin");
    EXPECT_EQ(path.GetDir(), "\\img\\");
    path.MakePath("", "/tmp/x", "a", ".Flash.bin");
    EXPECT_EQ(path.GetFullPath(), "/tmp/x/a.Flash.bin");
    EXPECT_EQ(path.GetFileName(), "a.Flash");
}

TEST(Path, LongPartsAreKeptWhole) {
    const std::string dir = "/" + std::string(600, 'd') + "/";
    const std::string name(400, 'n');
    core::C_Path path(dir + name + ".bin");
    EXPECT_EQ(path.GetDir(), dir);
    EXPECT_EQ(path.GetFileName(), name);
    path.SetExt(".ini");
    EXPECT_EQ(path.GetFullPath(), dir + name + ".ini");
}

// A program installed deep keeps its settings beside itself, not in a cut folder.
TEST_F(Profiler, DeepProgramFolderKeepsItsSettingsBesideTheProgram) {
    const auto deep =
        folder.Folder() / std::string(100, 'a') / std::string(100, 'b') / std::string(100, 'c');
    std::filesystem::create_directories(deep);
    ASSERT_GT(deep.string().size(), 309u);
    port::ScopedModuleFileName program((deep / "Burnwright.exe").string());
    C_OTPProfiler store;
    EXPECT_EQ(store.GetFilePath(), (deep / "Burnwright.ini").string());
    EXPECT_TRUE(store.SetTitle("Deep"));
    EXPECT_EQ(ProgramFolder::Read((deep / "Burnwright.ini").string()),
              "[General]\r\nTitle=Deep\r\n");
}

} // namespace
