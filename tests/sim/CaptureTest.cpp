// The capture of transfers: a pcap file with the usbmon link type, one
// submission and one completion per transfer, that tshark reads.
#include "SimHost.h"

#include "tests/support/ProgramFolder.h"

#include <cstdio>
#include <cstdlib>

namespace simtest {
namespace {

class SimCapture : public SimHostTest {
protected:
    testsupport::ProgramFolder folder_;
    std::string Path() const { return folder_.File("detect.pcap"); }

    void Detect() {
        Send(Packet({0x0A, 0x40}));
        ReceiveOk(16);
        Send(Packet({0x0A, 0x40}));
        ReceiveOk(1);
    }
};

TEST_F(SimCapture, AFullDiskIsReported) {
    std::string error;
    EXPECT_FALSE(bus_->StartCapture("/dev/full", error));
    EXPECT_NE(error.find("Cannot write the capture file \"/dev/full\""), std::string::npos)
        << error;
    Detect(); // transfers go on without a capture
}

TEST_F(SimCapture, RecordsEachTransferAsSubmissionAndCompletion) {
    std::string error;
    ASSERT_TRUE(bus_->StartCapture(Path(), error)) << error;
    Detect();
    Bytes stalled;
    EXPECT_EQ(Receive(8, stalled), Outcome::Failed);
    bus_->StopCapture();
    const std::string file = testsupport::ProgramFolder::Read(Path());
    const Bytes bytes(file.begin(), file.end());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(Le32(bytes, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Le32(bytes, 20), 220u);
    // Walk the records: 5 transfers, 10 records.
    size_t at = 24;
    std::vector<Bytes> records;
    while (at + 16 <= bytes.size()) {
        const uint32_t length = Le32(bytes, at + 8);
        records.emplace_back(bytes.begin() + at + 16, bytes.begin() + at + 16 + length);
        at += 16 + length;
    }
    EXPECT_EQ(at, bytes.size());
    ASSERT_EQ(records.size(), 10u);
    // First: submission of the 64-byte OUT detection query with its bytes.
    EXPECT_EQ(records[0][8], 'S');
    EXPECT_EQ(records[0][9], 3);
    EXPECT_EQ(records[0][10], 0x02);
    EXPECT_EQ(Le32(records[0], 36), 64u);
    ASSERT_EQ(records[0].size(), 64u + 64u);
    EXPECT_EQ(records[0][64], 0x0A);
    EXPECT_EQ(records[0][65], 0x40);
    // The read of the family byte completes on the IN endpoint with 0x51.
    EXPECT_EQ(records[7][8], 'C');
    EXPECT_EQ(records[7][10], 0x81);
    ASSERT_EQ(records[7].size(), 65u);
    EXPECT_EQ(records[7][64], 0x51);
    // The stalled read completes with an error status and no data.
    EXPECT_EQ(int32_t(Le32(records[9], 28)), -32);
    EXPECT_EQ(records[9].size(), 64u);
}

TEST_F(SimCapture, TsharkOpensTheCapture) {
    if (std::system("command -v tshark > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    std::string error;
    ASSERT_TRUE(bus_->StartCapture(Path(), error)) << error;
    Detect();
    // A read longer than a record holds is cut, and the file still opens.
    Send(AddressPacket(0x2E, 0xFFFFF, 1));
    ReceiveOk(1024 * 1024);
    bus_->StopCapture();
    const std::string out = folder_.File("tshark.txt");
    const std::string command =
        "tshark -r '" + Path() +
        "' -T fields -e usb.endpoint_address -e usb.data_len -e usb.urb_len > '" + out +
        "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << testsupport::ProgramFolder::Read(out);
    const std::string text = testsupport::ProgramFolder::Read(out);
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 12u) << text;
    EXPECT_NE(text.find("1048576"), std::string::npos) << text;
    EXPECT_NE(text.find("0x81"), std::string::npos) << text;
    EXPECT_NE(text.find("0x02"), std::string::npos) << text;
    EXPECT_NE(text.find("64"), std::string::npos) << text;
}

TEST_F(SimCapture, AnUnwritablePathIsReported) {
    std::string error;
    EXPECT_FALSE(bus_->StartCapture(folder_.File("no/such/folder/x.pcap"), error));
    EXPECT_NE(error.find("no/such/folder"), std::string::npos) << error;
}

} // namespace
} // namespace simtest
