// The state file: writers, chips, buffers, information and firmware survive
// from one run to the next; a broken file is refused and left as it was.
#include "SimHost.h"

#include "sim/Firmware.h"
#include "sim/StateFile.h"
#include "tests/support/ProgramFolder.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace simtest {
namespace {

class SimStateFile : public ::testing::Test {
protected:
    std::string Path() const { return folder_.File("sim-state.txt"); }
    std::string Text() const { return testsupport::ProgramFolder::Read(Path()); }
    void Put(const std::string& text) const { testsupport::ProgramFolder::Write(Path(), text); }

    port::ManualClock clock_;
    testsupport::ProgramFolder folder_;
};

TEST_F(SimStateFile, AMissingFileStartsTheDefaultWriterAndIsCreated) {
    auto bus = sim::MakeBus(Path(), clock_);
    ASSERT_EQ(bus->Writers().size(), 1u);
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(bus->Writers()[0]->HasChip(i));
    EXPECT_TRUE(std::filesystem::exists(Path()));
}

TEST_F(SimStateFile, ChipsStayProgrammedFromOneRunToTheNext) {
    // A 512-byte chip image of body 12, sent as its 768-byte word image.
    std::vector<uint8_t> image(512);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 13);
    sim::FirmwareVersion updated{11, 0, 0, 2, 0, 0};
    {
        auto bus = sim::MakeBus(Path(), clock_);
        auto w = bus->Writers()[0];
        sim::SimDeviceIo io(bus);
        auto out = io.Open(w->InterfacePath() + "\\PIPE01");
        auto send = [&](const Bytes& b) {
            size_t done = 0;
            ASSERT_EQ(out->Write(b.data(), b.size(), 0, done), Outcome::Done);
        };
        send(AddressPacket(0x23, 768));
        send(MaskPacket(0x0009));
        Bytes block;
        for (size_t i = 0; i < image.size(); i += 2)
            block.insert(block.end(), {image[i], image[i + 1], uint8_t(image[i] + image[i + 1])});
        send(block);
        send(AddressPacket(0x1F, 511, 12));
        send(MaskPacket(0x0009));
        send(Packet({0x27, 5, 0, 1, 0}));
        send(Packet({0x25, 192}));
        send(Bytes(192, 0x42));
        w->RemoveChip(15);
        w->InsertChip(14, 2048);
        auto fw = sim::FirmwareFromImage(sim::BuildFirmwareImage(updated));
        w->SetFirmware(fw);
        sim::WriterConfig gap;
        gap.member = 7;
        gap.deviceType = 6;
        gap.instance = "9&feed&0&4";
        bus->AddWriter(gap);
        bus->Unplug(7);
    }
    // Both chips hold the chip image of the buffer: written once, by reference.
    EXPECT_NE(Text().find("socket 0 buffer=768 chip=512 fixed=0 ihrc=0 lvd=0 body=12 "
                          "chipfrombuffer=0\n"),
              std::string::npos)
        << Text();
    EXPECT_NE(Text().find(" body=12 samechip=0\n"), std::string::npos) << Text();
    auto bus = sim::MakeBus(Path(), clock_);
    ASSERT_EQ(bus->Writers().size(), 2u);
    auto w = bus->WriterAt(0);
    for (int socket : {0, 3}) {
        const auto chip = w->ChipAt(socket);
        ASSERT_TRUE(chip);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Contents().begin())) << socket;
        EXPECT_EQ(chip->LastBodyCode(), 12);
    }
    EXPECT_TRUE(w->ChipAt(0)->SameContentsAs(*w->ChipAt(3))) << "read back as one array";
    EXPECT_TRUE(w->ChipAt(1)->IsBlank());
    EXPECT_FALSE(w->HasChip(15));
    EXPECT_TRUE(w->ChipAt(14)->Fixed());
    EXPECT_EQ(w->ChipAt(14)->Size(), 2048u);
    EXPECT_EQ(w->BufferOf(3).size(), 768u);
    EXPECT_EQ(w->PassCount(), 5);
    EXPECT_EQ(w->FailCount(), 1);
    ASSERT_TRUE(w->Information());
    EXPECT_EQ((*w->Information())[3], 0x42);
    EXPECT_EQ(w->Firmware().version, updated);
    auto gap = bus->WriterAt(7);
    ASSERT_TRUE(gap);
    EXPECT_FALSE(gap->Plugged());
    EXPECT_EQ(gap->Config().deviceType, 6);
    EXPECT_NE(gap->InterfacePath().find("#9&feed&0&4#"), std::string::npos);
}

TEST_F(SimStateFile, TwoBusesOnOneFileKeepEachOthersWriters) {
    {
        auto bus = sim::MakeBus(Path(), clock_);
        sim::WriterConfig config;
        config.member = 1;
        bus->AddWriterWithChips(config);
    }
    // Two processes load the same file, then each changes only its own writer.
    auto first = sim::MakeBus(Path(), clock_);
    auto second = sim::MakeBus(Path(), clock_);
    first->WriterAt(0)->RemoveChip(3);
    second->WriterAt(1)->RemoveChip(7);
    first->WriterAt(0)->RemoveChip(4);

    auto reread = sim::MakeBus(Path(), clock_, false);
    EXPECT_FALSE(reread->WriterAt(0)->HasChip(3));
    EXPECT_FALSE(reread->WriterAt(0)->HasChip(4));
    EXPECT_FALSE(reread->WriterAt(1)->HasChip(7));
    EXPECT_TRUE(reread->WriterAt(1)->HasChip(3));

    // Removing a writer is a change of that writer too.
    second->RemoveWriter(1);
    first->WriterAt(0)->InsertChip(3);
    reread = sim::MakeBus(Path(), clock_, false);
    EXPECT_EQ(reread->WriterAt(1), nullptr);
    EXPECT_TRUE(reread->WriterAt(0)->HasChip(3));
}

TEST_F(SimStateFile, BrokenFilesAreRefusedWithTheReasonAndLeftUntouched) {
    { sim::MakeBus(Path(), clock_)->Writers()[0]->InsertChip(0, 4096); }
    const std::string good = Text();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {good.substr(0, good.size() / 2), "cut short"},
        {good.substr(0, good.rfind("end ")), "cut short"},
        {"burnwright-sim-state 99\n", "version 99"},
        {"hello\n", "not a simulator state file"},
        {"", "empty"},
        {std::string(good).replace(good.find("member=0"), 8, "member=X"), "damaged"},
        {good + "writer member=1\n", "after the end line"},
    };
    for (const auto& [text, reason] : cases) {
        Put(text);
        try {
            sim::MakeBus(Path(), clock_);
            ADD_FAILURE() << "accepted: " << text.substr(0, 80);
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos)
                << reason << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(Path()), std::string::npos) << e.what();
        }
        EXPECT_EQ(Text(), text) << "the broken file was written over";
    }
}

TEST_F(SimStateFile, AFailedSaveKeepsTheLastCompleteFileAndTellsWhy) {
    auto bus = sim::MakeBus(Path(), clock_);
    const std::string before = Text();
    // A folder in the file's place: the new state cannot be renamed over it.
    std::filesystem::rename(Path(), Path() + ".keep");
    std::filesystem::create_directories(Path() + "/occupied");
    bus->Writers()[0]->InsertChip(0, 4096);
    const std::string why = bus->LastSaveError();
    EXPECT_NE(why.find("Cannot replace"), std::string::npos) << why;
    EXPECT_EQ(why.find("Success"), std::string::npos) << "the rename's own reason: " << why;
    std::filesystem::remove_all(Path());
    std::filesystem::rename(Path() + ".keep", Path());
    EXPECT_EQ(Text(), before);
    bus->Writers()[0]->RemoveChip(1);
    EXPECT_EQ(bus->LastSaveError(), "");
    EXPECT_NE(Text(), before);
}

TEST_F(SimStateFile, ABrokenFileGivesTheBackendSelectionItsReason) {
    Put("burnwright-sim-state 1\nwriter member=0\n");
    sim::RegisterDeviceIoBackend();
    std::string error;
    EXPECT_EQ(port::CreateDeviceIo("sim-direct:" + Path(), error), nullptr);
    EXPECT_NE(error.find("cannot be used"), std::string::npos) << error;
}

// Text in memory and a file read in pieces (lines across pieces, a line
// longer than a piece) read the same.
TEST_F(SimStateFile, FullChipsAndBuffersRoundTrip) {
    sim::SavedWriter w;
    std::vector<uint8_t> full(sim::kMaxChipSize);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = uint8_t(i % 255); // never blank for long: one data line per 64 bytes
    w.state.sockets[0].chip = sim::Chip(full.size());
    w.state.sockets[0].chip->SetContents(full);
    w.state.sockets[0].buffer.SetBytes(full);
    w.config.instance = std::string(3 << 20, 'x');
    std::vector<sim::SavedWriter> back;
    std::string error;
    ASSERT_TRUE(sim::ParseState(sim::FormatState({w}), back, error)) << error;
    EXPECT_EQ(back.at(0).state.sockets[0].chip->Contents(), full);
    EXPECT_EQ(back.at(0).state.sockets[0].buffer.Bytes(), full);
    ASSERT_TRUE(sim::WriteStateFile(Path(), {w}, error)) << error;
    bool exists = false;
    ASSERT_TRUE(sim::ReadStateFile(Path(), back, exists, error)) << error;
    EXPECT_EQ(back.at(0).state.sockets[0].chip->Contents(), full);
    EXPECT_EQ(back.at(0).state.sockets[0].buffer.Bytes(), full);
    EXPECT_EQ(back.at(0).config.instance, w.config.instance);
}

// `body` closed by an end line with its proper check sum (FNV-1a, 32 bits).
std::string WithEndLine(const std::string& body) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : body) {
        hash ^= c;
        hash *= 16777619u;
    }
    char end[32];
    std::snprintf(end, sizeof end, "end %08x\n", hash);
    return body + end;
}

TEST_F(SimStateFile, DataLinesOutsideTheirChipOrBufferAreRefused) {
    const std::string head = "burnwright-sim-state 1\nwriter member=0 vid=1 pid=2 type=7 "
                             "serial=3 plugged=1 instance=x\nsocket 0 buffer=4 chip=4 fixed=1 "
                             "ihrc=0 lvd=0 body=0\n";
    std::vector<sim::SavedWriter> back;
    std::string error;
    ASSERT_TRUE(sim::ParseState(WithEndLine(head + "c 2 0102\nb 0 01020304\n"), back, error))
        << error;
    EXPECT_EQ(back.at(0).state.sockets[0].chip->Contents(),
              (std::vector<uint8_t>{0xFF, 0xFF, 1, 2}));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"c 3 0102\n", "beyond the chip"}, {"b 18446744073709551615 01\n", "beyond the buffer"},
        {"c 0 0g\n", "bad data line"},     {"socket 16 buffer=0\n", "bad socket"},
        {"info 00\n", "192 bytes"},        {"gadget 1\n", "unknown entry"},
    };
    for (const auto& [line, reason] : cases) {
        EXPECT_FALSE(sim::ParseState(WithEndLine(head + line), back, error)) << line;
        EXPECT_NE(error.find(reason), std::string::npos) << line << ": " << error;
        EXPECT_NE(error.find("line 4"), std::string::npos) << line << ": " << error;
    }
}

// A chip given as the chip image of a buffer: its own socket's (whose data
// lines follow) or an earlier one's, of a body the writer knows, and with no
// data of its own. Files of earlier versions never meant it: there the word
// is skipped, as those versions always skipped words they did not know.
TEST_F(SimStateFile, ChipsMadeFromABufferAreReadAndCheckedFromVersionThree) {
    const std::string writer = "writer member=0 vid=1 pid=2 type=7 serial=3 plugged=1 instance=x\n";
    // Chip bytes 01 02 03 04 in the word image 01 02 03 03 04 07 (groups of two).
    const std::string sockets = "socket 0 buffer=6 chip=6 fixed=0 ihrc=0 lvd=0 body=12 "
                                "chipfrombuffer=0\nb 0 010203030407\n"
                                "socket 1 buffer=0 chip=4 fixed=1 ihrc=0 lvd=0 body=12 "
                                "chipfrombuffer=0\n";
    std::vector<sim::SavedWriter> back;
    std::string error;
    ASSERT_TRUE(
        sim::ParseState(WithEndLine("burnwright-sim-state 3\n" + writer + sockets), back, error))
        << error;
    EXPECT_EQ(back.at(0).state.sockets[0].chip->Contents(),
              (std::vector<uint8_t>{1, 2, 3, 4, 0xFF, 0xFF}));
    EXPECT_EQ(back.at(0).state.sockets[1].chip->Contents(), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_TRUE(back.at(0).state.sockets[1].chip->Fixed());
    ASSERT_TRUE(
        sim::ParseState(WithEndLine("burnwright-sim-state 2\n" + writer + sockets), back, error))
        << error;
    EXPECT_TRUE(back.at(0).state.sockets[0].chip->IsBlank());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"socket 0 buffer=0 chip=4 fixed=0 ihrc=0 lvd=0 body=12 chipfrombuffer=1\n",
         "not before it"},
        {"socket 0 buffer=0 chip=4 fixed=0 ihrc=0 lvd=0 body=0 chipfrombuffer=0\n",
         "does not know"},
        {"socket 0 buffer=4 chipfrombuffer=0\n", "a chip of its own"},
        {"socket 0 buffer=0 chip=4 fixed=0 ihrc=0 lvd=0 body=12 chipfrombuffer=x\n",
         "\"chipfrombuffer\""},
        {"socket 0 buffer=0 chip=4 fixed=0 ihrc=0 lvd=0 body=12 chipfrombuffer=0\nc 0 00\n",
         "chip data for a chip made from a buffer"},
    };
    for (const auto& [lines, reason] : cases) {
        EXPECT_FALSE(
            sim::ParseState(WithEndLine("burnwright-sim-state 3\n" + writer + lines), back, error))
            << lines;
        EXPECT_NE(error.find(reason), std::string::npos) << lines << ": " << error;
    }
}

// A change of nothing the file keeps writes nothing: what another process
// wrote meanwhile stays. A change that is kept writes this process's
// writers (the last save wins), and reads back as the model holds it.
TEST_F(SimStateFile, OnlyChangesThatAreKeptAreWritten) {
    { sim::MakeBus(Path(), clock_); }
    auto mine = sim::MakeBus(Path(), clock_);
    const auto chip = mine->WriterAt(0)->ChipAt(5);
    {
        auto other = sim::MakeBus(Path(), clock_);
        other->WriterAt(0)->SetInformation(std::array<uint8_t, sim::kInfoBlockSize>{0x5A});
    }
    mine->WriterAt(0)->InsertChip(5, *chip);
    EXPECT_TRUE(sim::MakeBus(Path(), clock_, false)->WriterAt(0)->Information());
    mine->WriterAt(0)->InsertChip(5, 2048);
    auto reread = sim::MakeBus(Path(), clock_, false);
    EXPECT_FALSE(reread->WriterAt(0)->Information());
    EXPECT_EQ(reread->WriterAt(0)->ChipAt(5)->Size(), 2048u);
}

// A save that finds nothing changed must not let go of the arrays the file's
// data lines were written from: another array may then be made at the same
// address and be taken for one whose lines the file already holds.
TEST_F(SimStateFile, ChipsChangedAfterASaveOfNothingAreWrittenAnew) {
    { sim::MakeBus(Path(), clock_); }
    auto bus = sim::MakeBus(Path(), clock_);
    auto chipOf = [](uint8_t fill) {
        sim::Chip chip(0);
        chip.SetContents(std::vector<uint8_t>(2048, fill));
        return chip;
    };
    for (uint8_t round = 1; round <= 20; ++round) {
        bus->WriterAt(0)->InsertChip(5, chipOf(round));
        bus->WriterAt(0)->InsertChip(5, chipOf(round)); // the same bytes: nothing to write
        bus->WriterAt(0)->InsertChip(5, chipOf(uint8_t(round + 100)));
        auto reread = sim::MakeBus(Path(), clock_, false);
        ASSERT_TRUE(reread->WriterAt(0)->ChipAt(5)->Contents() ==
                    std::vector<uint8_t>(2048, uint8_t(round + 100)))
            << "round " << int(round) << ": the file holds the chip of before";
    }
}

TEST_F(SimStateFile, FormatAndParseAgreeOnEveryField) {
    sim::SavedWriter w;
    w.config.member = 42;
    w.config.serial = 0xDEADBEEF;
    w.plugged = false;
    w.state.sockets[6].chip = sim::Chip(0);
    w.state.sockets[6].chip->Reach(100);
    w.state.sockets[6].chip->SetTrims(2, 3);
    w.state.otpInfoVariant = 5;
    w.state.mask = 0x8001;
    w.state.firmware.inBootLoader = true;
    w.state.firmware.appValid = false;
    std::vector<sim::SavedWriter> back;
    std::string error;
    ASSERT_TRUE(sim::ParseState(sim::FormatState({w}), back, error)) << error;
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].config.member, 42u);
    EXPECT_EQ(back[0].config.serial, 0xDEADBEEFu);
    EXPECT_FALSE(back[0].plugged);
    ASSERT_TRUE(back[0].state.sockets[6].chip);
    EXPECT_FALSE(back[0].state.sockets[6].chip->Fixed());
    EXPECT_EQ(back[0].state.sockets[6].chip->Size(), 100u);
    EXPECT_EQ(back[0].state.sockets[6].chip->IhrcTrims(), 2u);
    EXPECT_EQ(back[0].state.sockets[6].chip->LvdTrims(), 3u);
    EXPECT_EQ(back[0].state.otpInfoVariant, 5);
    EXPECT_EQ(back[0].state.mask, 0x8001);
    EXPECT_TRUE(back[0].state.firmware.inBootLoader);
    EXPECT_FALSE(back[0].state.firmware.appValid);
}

} // namespace
} // namespace simtest
