// burnwright-cli with BURNWRIGHT_WRITER=usb in processes of its own, reaching
// this process's simulated writers through libusb and umockdev: it lists the
// writers, and it programs the one this process does not hold.
#include "tests/libusb/UsbFixture.h"

#include "image/ChipBinFiles.h"
#include "usb/USBInfo.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace libusbtest {
namespace {

class UsbProcesses : public UsbTest {
protected:
    // Runs burnwright-cli as the window program beside this test's folder,
    // with this process's environment (the testbed, the preload, the claim
    // folder) and no shell between, so a sanitizer's runtime meets only our
    // own programs.
    int Cli(const std::vector<std::string>& args, nlohmann::json& doc) {
        const std::string out = folder.File("out.json"), err = folder.File("err.txt");
        std::vector<std::string> words = {BURNWRIGHT_CLI};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<std::string> environment = {
            "BURNWRIGHT_WRITER=usb", "BURNWRIGHT_PROGRAM_PATH=" + folder.File("burnwright")};
        for (char** entry = environ; *entry; ++entry)
            if (std::strncmp(*entry, "BURNWRIGHT_WRITER=", 18) != 0 &&
                std::strncmp(*entry, "BURNWRIGHT_PROGRAM_PATH=", 24) != 0)
                environment.push_back(*entry);
        std::vector<char*> argv, envp;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        for (auto& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t child = -1;
        const int spawned =
            posix_spawn(&child, BURNWRIGHT_CLI, &files, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&files);
        int status = 0;
        if (spawned != 0 || ::waitpid(child, &status, 0) != child)
            return -1;
        errors = testsupport::ProgramFolder::Read(err);
        doc = nlohmann::json::parse(testsupport::ProgramFolder::Read(out), nullptr, false);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string errors;
};

TEST_F(UsbProcesses, TwoProgramsClaimTwoWritersAndTheCliListsAndProgramsThroughLibusb) {
    auto first = AddWriter(0, 0x1001);
    auto second = AddWriter(1, 0x1002);
    Start();
    // This process holds the first writer, as a running window would.
    usb::C_USBInfo held(io.get(), clock, result);
    held.SetBodyType(usb::kIceBodyWriter);
    ASSERT_EQ(held.Open(), 1) << held.GetMessage();
    ASSERT_EQ(held.GetDevicePath(), UsbPathOf(0, 0x1001));
    const uint64_t firstTransfers = first->TransferCount();

    nlohmann::json doc;
    ASSERT_EQ(Cli({"--json", "writers"}, doc), 0) << errors;
    ASSERT_EQ(doc["writers"].size(), 2u) << doc.dump();
    EXPECT_EQ(doc["writers"][0]["path"], UsbPathOf(0, 0x1001));
    EXPECT_EQ(doc["writers"][0]["claimed"], true);
    EXPECT_EQ(doc["writers"][1]["path"], UsbPathOf(1, 0x1002));
    EXPECT_EQ(doc["writers"][1]["claimed"], false);
    EXPECT_EQ(doc["writers"][1]["serial"], "00001002");
    EXPECT_EQ(doc["writers"][1]["sockets"], 16);

    const std::string image = WriteBody12Image(folder, "line.bin");
    ASSERT_EQ(Cli({"--json", "program", "--body", "12", image, "--load", "--yes"}, doc), 0)
        << errors;
    EXPECT_EQ(doc["writer"]["member"], 1);
    EXPECT_EQ(doc["counters"]["ok"], 16);
    EXPECT_EQ(first->TransferCount(), firstTransfers) << "nothing reached the held writer";
    auto body12 = image::CreateBodyImage(12);
    ASSERT_EQ(body12->SetFileName(image), 1);
    const auto expected = Body12Chip(*body12);
    for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(first->ChipAt(i)->IsBlank()) << "socket " << i;
        EXPECT_EQ(second->ChipAt(i)->Contents(), expected) << "socket " << i;
    }
    // Each writer's interface was claimed by its own process, never by the other.
    const auto heldBy = testbed->Device(0)->Counters().claimants;
    const auto usedBy = testbed->Device(1)->Counters().claimants;
    EXPECT_EQ(heldBy.size(), 1u);
    EXPECT_FALSE(usedBy.empty());
    for (const void* client : usedBy)
        EXPECT_EQ(heldBy.count(client), 0u);
}

} // namespace
} // namespace libusbtest
