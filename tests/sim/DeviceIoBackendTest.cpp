// The "sim-direct" backend as the program's device layer sees it: interface
// members with gaps, pipe paths, handles that die with an unplug, events.
#include "SimHost.h"

#include "port/DeviceIo.h"

#include "sim/SimDeviceIo.h"
#include "tests/support/ProgramFolder.h"

#include <cstdio>
#include <filesystem>
#include <regex>

namespace simtest {
namespace {

class SimBackend : public SimHostTest {
protected:
    static std::string Hex(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", value);
        return text;
    }
};

TEST_F(SimBackend, UnrelatedBusesNeverShareAPathOrSerialTheSameStateFileDoes) {
    sim::Bus other;
    auto stranger = other.AddWriter();
    EXPECT_NE(stranger->InterfacePath(), writer_->InterfacePath());
    EXPECT_NE(stranger->Config().serial, writer_->Config().serial);
    EXPECT_NE(bus_->AddWriter()->Config().serial, writer_->Config().serial);
    testsupport::ProgramFolder folder;
    const std::string file = folder.File("bus.txt");
    const std::string first = sim::MakeBus(file)->WriterAt(0)->InterfacePath();
    const std::string relative =
        std::filesystem::relative(file, std::filesystem::current_path()).string();
    EXPECT_EQ(sim::MakeBus(relative)->WriterAt(0)->InterfacePath(), first);
    EXPECT_NE(sim::MakeBus(folder.File("other.txt"))->WriterAt(0)->InterfacePath(), first);
}

TEST_F(SimBackend, MembersWithGapsAreListedOnlyWhereAWriterIsPlugged) {
    sim::WriterConfig config;
    config.member = 3;
    auto third = bus_->AddWriter(config);
    ASSERT_NE(third, nullptr);
    std::string path;
    EXPECT_TRUE(io_->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(path, writer_->InterfacePath());
    EXPECT_FALSE(io_->InterfaceMember(port::kWriterInterfaceClass, 1, path));
    EXPECT_FALSE(io_->InterfaceMember(port::kWriterInterfaceClass, 2, path));
    EXPECT_TRUE(io_->InterfaceMember(port::kWriterInterfaceClass, 3, path));
    EXPECT_EQ(path, third->InterfacePath());
    // The class may come in upper case and without braces; another class has no members.
    EXPECT_TRUE(io_->InterfaceMember("5795843B-6684-43A4-81EE-D2DD1B5594B6", 3, path));
    EXPECT_FALSE(io_->InterfaceMember("{00000000-0000-0000-0000-000000000000}", 0, path));
    bus_->Unplug(3);
    EXPECT_FALSE(io_->InterfaceMember(port::kWriterInterfaceClass, 3, path));
    // A taken member index and one beyond 99 are refused.
    config.member = 0;
    EXPECT_EQ(bus_->AddWriter(config), nullptr);
    config.member = 100;
    EXPECT_EQ(bus_->AddWriter(config), nullptr);
    // So is a writer whose interface path another writer has already.
    sim::WriterConfig twin;
    twin.member = 9;
    twin.instance = "7&" + Hex(bus_->Identity()) + "&0&1";
    EXPECT_EQ(bus_->AddWriter(twin), nullptr);
}

TEST_F(SimBackend, PathsHaveTheInterfacePathShapeInLowerCase) {
    const std::string path = writer_->InterfacePath();
    EXPECT_TRUE(std::regex_match(
        path,
        std::regex(
            R"(\\\\\?\\usb#vid_[0-9a-f]{4}&pid_[0-9a-f]{4}#[^#{]+#\{5795843b-6684-43a4-81ee-d2dd1b5594b6\})")))
        << path;
    // The instance part (from the first '#' after index 10 to the '{') differs per writer.
    auto other = bus_->AddWriter();
    const auto instance = [](const std::string& p) {
        const auto hash = p.find('#', 10);
        return p.substr(hash, p.find('{', 10) - hash);
    };
    EXPECT_NE(instance(path), instance(other->InterfacePath()));
    sim::WriterConfig named;
    named.instance = "6&ABC&0&2";
    EXPECT_NE(bus_->AddWriter(named)->InterfacePath().find("#6&abc&0&2#"), std::string::npos);
}

TEST_F(SimBackend, PipesOpenByNameInAnyCaseAndOnlyInTheirDirection) {
    const std::string path = writer_->InterfacePath();
    EXPECT_NE(io_->Open(path), nullptr);
    auto in = io_->Open(path + "\\pipe00");
    auto out = io_->Open(path + "\\PIPE01");
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(io_->Open(path + "\\PIPE02"), nullptr);
    EXPECT_EQ(io_->Open("\\\\?\\usb#vid_0000&pid_0000#x#{5795843b-6684-43a4-81ee-d2dd1b5594b6}"),
              nullptr);

    const Bytes query = Packet({0x1B});
    size_t done = 99;
    uint8_t byte = 0;
    EXPECT_EQ(in->Write(query.data(), query.size(), 0, done), Outcome::Failed);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(out->Read(&byte, 1, 0, done), Outcome::Failed);
    EXPECT_EQ(out->Write(query.data(), query.size(), 0, done), Outcome::Done);
    EXPECT_EQ(in->Read(&byte, 1, 0, done), Outcome::Done);
    EXPECT_EQ(byte, 7);
}

TEST_F(SimBackend, UnplugKillsOpenHandlesAndReplugNeedsAFreshOpen) {
    const std::string path = writer_->InterfacePath();
    auto out = io_->Open(path + "\\PIPE01");
    ASSERT_TRUE(bus_->Unplug(0));
    EXPECT_FALSE(bus_->Unplug(0));
    EXPECT_EQ(io_->Open(path + "\\PIPE01"), nullptr);
    const Bytes query = Packet({0x1B});
    size_t done = 0;
    EXPECT_EQ(out->Write(query.data(), query.size(), 0, done), Outcome::Failed);
    ASSERT_TRUE(bus_->Plug(0));
    EXPECT_EQ(out->Write(query.data(), query.size(), 0, done), Outcome::Failed);
    Send(query);
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

TEST_F(SimBackend, PlugAndUnplugReachTheEventHandler) {
    std::vector<std::pair<port::DeviceEvent, std::string>> events;
    io_->SetEventHandler([&](port::DeviceEvent e, const std::string& p) {
        events.push_back({e, p});
    });
    bus_->Unplug(0);
    bus_->Plug(0);
    auto second = bus_->AddWriter();
    bus_->RemoveWriter(second->Member());
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], std::make_pair(port::DeviceEvent::Removal, writer_->InterfacePath()));
    EXPECT_EQ(events[1], std::make_pair(port::DeviceEvent::Arrival, writer_->InterfacePath()));
    EXPECT_EQ(events[2].first, port::DeviceEvent::Arrival);
    EXPECT_EQ(events[3], std::make_pair(port::DeviceEvent::Removal, second->InterfacePath()));
    io_->SetEventHandler(nullptr);
    bus_->Unplug(0);
    EXPECT_EQ(events.size(), 4u);
}

TEST_F(SimBackend, RegisteredBackendIsChosenByName) {
    sim::RegisterDeviceIoBackend(bus_);
    std::string error;
    auto io = port::CreateDeviceIo("sim-direct", error);
    ASSERT_NE(io, nullptr) << error;
    EXPECT_EQ(io->Name(), "sim-direct");
    std::string path;
    EXPECT_TRUE(io->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_EQ(path, writer_->InterfacePath());

    // The plain registration gives each backend its own default bus.
    sim::RegisterDeviceIoBackend();
    auto fresh = port::CreateDeviceIo("sim-direct", error);
    ASSERT_NE(fresh, nullptr) << error;
    EXPECT_TRUE(fresh->InterfaceMember(port::kWriterInterfaceClass, 0, path));
    EXPECT_FALSE(fresh->InterfaceMember(port::kWriterInterfaceClass, 1, path));
}

} // namespace
} // namespace simtest
