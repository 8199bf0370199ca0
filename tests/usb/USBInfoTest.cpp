// The writer link over a scripted backend: detection and acceptance for each
// ICE body type, the claim, the messages, and packet transfers with their
// time limits and recovery.
#include "tests/usb/LinkFixture.h"
#include "tests/usb/OtherProcess.h"

#include "usb/DeviceKinds.h"
#include "usb/USBInfo.h"

#include "port/NamedMutex.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

namespace usbtest {
namespace {

class USBInfoTest : public LinkTest {
protected:
    void TearDown() override {
        usb::SetUnlimitedWait(false);
        LinkTest::TearDown();
    }
    FakeWriter& Writer(uint32_t member = 0) { return io.AddWriter(member, Unique("W")); }
    bool CanClaim(const FakeWriter& writer) {
        port::NamedMutex probe;
        return probe.Create(usb::DeviceMutexName(writer.Path())) ==
               port::NamedMutex::Outcome::Created;
    }

    usb::C_USBInfo link{&io, clock, result};
};

TEST_F(USBInfoTest, StartsClosedWithNoBodyTypeAndARefindDue) {
    EXPECT_EQ(link.GetBodyType(), 0);
    EXPECT_FALSE(link.IsOpened());
    EXPECT_TRUE(link.IsRefindDue());
    EXPECT_FALSE(link.HoldsDeviceLock());
    EXPECT_EQ(link.GetDevicePath(), "");
    EXPECT_EQ(link.SetBodyType(11), 1);
    EXPECT_EQ(link.GetBodyType(), 11);
}

TEST_F(USBInfoTest, OpenWithoutBodyTypeFailsAndSendsNothing) {
    Writer();
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Internal Error. Please first set device body!");
    EXPECT_EQ(result.Code(), core::kFreeTextCode);
    EXPECT_TRUE(io.MembersAsked().empty());
    EXPECT_TRUE(io.Transfers().empty());
    uint8_t packet[64] = {};
    EXPECT_EQ(link.Write(packet, 64), 0) << "a transfer runs the same check first";
    EXPECT_TRUE(io.Transfers().empty());
}

TEST_F(USBInfoTest, OpenWithNoWriterReportsTheMissingDeviceText) {
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nCan't find MERiL USB device. Please re-plug in it.");
    EXPECT_FALSE(link.IsOpened());
}

TEST_F(USBInfoTest, UnavailableBackendReportsWhy) {
    usb::C_USBInfo none(nullptr, clock, result);
    none.Bind(nullptr, clock, "Unknown writer backend \"usb\"");
    none.SetBodyType(11);
    EXPECT_EQ(none.Open(), 0);
    EXPECT_EQ(none.GetMessage(), "Unknown writer backend \"usb\"");
}

// Every body type against a writer whose first detection answer is `first`.
struct FirstAnswerCase {
    uint8_t first;
    std::vector<int> accepted;
};

TEST_F(USBInfoTest, FirstAnswerAcceptsOnlyItsBodyTypes) {
    const FirstAnswerCase cases[] = {{0x01, {3}}, {0x10, {4, 5}}, {0x0A, {6}},
                                     {0x02, {}},  {0x51, {}},     {0xFF, {}}};
    for (const auto& c : cases) {
        for (int type = 1; type <= 16; ++type) {
            auto& w = Writer();
            ScriptDetection(w, c.first);
            usb::C_USBInfo probe(&io, clock, result);
            probe.SetBodyType(type);
            const bool expected =
                std::find(c.accepted.begin(), c.accepted.end(), type) != c.accepted.end();
            EXPECT_EQ(probe.Open(), expected ? 1 : 0)
                << "answer " << int(c.first) << ", body type " << type;
            EXPECT_EQ(probe.IsOpened(), expected);
            EXPECT_EQ(w.Pending(), 0u) << "no second query after a non-zero answer";
            if (!expected) {
                EXPECT_EQ(probe.GetMessage(), usb::kUnknownDeviceText);
            }
        }
    }
}

struct SecondAnswerCase {
    uint8_t second;
    std::vector<int> accepted;
};

TEST_F(USBInfoTest, SecondAnswerAcceptsOnlyItsBodyTypes) {
    const SecondAnswerCase cases[] = {{0x00, {7}}, {0x01, {1, 2}}, {0x11, {1}},
                                      {0x12, {1}}, {0x13, {}},     {0x50, {}}};
    for (const auto& c : cases) {
        for (int type = 1; type <= 16; ++type) {
            auto& w = Writer();
            ScriptDetection(w, 0, c.second);
            usb::C_USBInfo probe(&io, clock, result);
            probe.SetBodyType(type);
            const bool expected =
                std::find(c.accepted.begin(), c.accepted.end(), type) != c.accepted.end();
            EXPECT_EQ(probe.Open(), expected ? 1 : 0)
                << "second answer " << int(c.second) << ", body type " << type;
            EXPECT_EQ(w.Pending(), 0u);
        }
    }
}

TEST_F(USBInfoTest, FamilyAnswerIsAcceptedForTheUpdateTypeWithoutFurtherQueries) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    link.SetBodyType(8);
    EXPECT_EQ(link.Open(), 1);
    EXPECT_EQ(io.Transfers().size(), 4u) << "two queries, nothing else";
    EXPECT_EQ(link.GetDevicePath(), w.Path());
    EXPECT_TRUE(link.HoldsDeviceLock());
    EXPECT_FALSE(link.IsRefindDue());
}

TEST_F(USBInfoTest, FamilyWriterAtLevelZeroServesBodyTypesTwoAndFive) {
    for (int type = 1; type <= 15; ++type) {
        if (type == 8)
            continue;
        auto& w = Writer();
        ScriptDetection(w, 0, 0x51);
        ScriptLevel(w, 7);
        usb::C_USBInfo probe(&io, clock, result);
        probe.SetBodyType(type);
        EXPECT_EQ(probe.Open(), (type == 2 || type == 5) ? 1 : 0) << "body type " << type;
        EXPECT_EQ(probe.GetLastDeviceType(), 0) << "no type byte is read at level 0";
        EXPECT_EQ(w.Pending(), 0u);
    }
}

TEST_F(USBInfoTest, FamilyWriterAboveLevelSevenIsMatchedByItsTypeByte) {
    const std::pair<uint8_t, int> map[] = {{1, 2},  {2, 2},  {3, 5},  {4, 9},  {5, 10},
                                           {6, 11}, {7, 11}, {8, 14}, {9, 15}, {10, 0}};
    for (const auto& [typeByte, bodyType] : map) {
        for (int type : {2, 5, 9, 10, 11, 14, 15}) {
            auto& w = Writer();
            ScriptFamilyWriter(w, typeByte);
            usb::C_USBInfo probe(&io, clock, result);
            probe.SetBodyType(type);
            const bool expected = type == bodyType;
            EXPECT_EQ(probe.Open(), expected ? 1 : 0)
                << "type byte " << int(typeByte) << ", body type " << type;
            EXPECT_EQ(probe.GetLastDeviceType(), typeByte);
            if (!expected) {
                EXPECT_EQ(probe.GetMessage(), "Select the wrong IC,Please check!");
            }
        }
    }
}

// Opens the link on a family writer with the update body type, which needs
// no query beyond detection, so that the queries below have a device path.
class USBInfoQueryTest : public USBInfoTest {
protected:
    void SetUp() override {
        USBInfoTest::SetUp();
        writer = &Writer();
        ScriptDetection(*writer, 0, 0x51);
        link.SetBodyType(8);
        ASSERT_EQ(link.Open(), 1);
    }
    FakeWriter* writer = nullptr;
};

TEST_F(USBInfoQueryTest, LevelIsALittleEndianWordComparedWithSeven) {
    for (const auto& [level, above] :
         {std::pair<uint16_t, int>{7, 0}, {8, 1}, {0x0100, 1}, {0x0007, 0}, {0xFFFF, 1}, {0, 0}}) {
        ScriptLevel(*writer, level);
        EXPECT_EQ(link.QueryLevel(), above) << "level " << level;
    }
    EXPECT_EQ(writer->Pending(), 0u);
}

TEST_F(USBInfoQueryTest, QueriesCarryTheKeyAndReturnTheFirstReplyByte) {
    auto expectedLevelQuery = Reply(64, {0x0A, 0x01});
    expectedLevelQuery[60] = 0x17;
    expectedLevelQuery[61] = 0x9E;
    expectedLevelQuery[62] = 0x3C;
    expectedLevelQuery[63] = 0x5A;
    EXPECT_EQ(Hex(QueryRequest(0x0A, 0x01)), Hex(expectedLevelQuery));
    writer->ExpectWrite(QueryRequest(0x2F)).ExpectRead(Reply(10, {0x42, 0x43}));
    EXPECT_EQ(link.Query2F(), 0x42);
    writer->ExpectWrite(QueryRequest(0x30)).ExpectRead(Reply(10, {0x99}));
    EXPECT_EQ(link.Query30(), 0x99);
    ScriptDeviceType(*writer, 6);
    EXPECT_EQ(link.ReadDeviceType(), 6);
    EXPECT_EQ(link.GetLastDeviceType(), 0) << "only a type check records the byte";
    ScriptDeviceType(*writer, 7);
    link.SetBodyType(11);
    EXPECT_EQ(link.CheckDeviceType(), 1);
    EXPECT_EQ(link.GetLastDeviceType(), 7);
    ScriptDeviceType(*writer, 0x20);
    EXPECT_EQ(link.CheckDeviceType(), 0) << "an unknown byte matches nothing";
    EXPECT_EQ(writer->Pending(), 0u);
}

TEST_F(USBInfoQueryTest, FailedQueryIsNotReportedAndReadsAsZero) {
    result.SetMessage("before");
    Step failed;
    failed.kind = Step::Kind::Read;
    failed.bytes = Reply(10, {0x42});
    failed.outcome = port::DeviceHandle::Outcome::Failed;
    writer->ExpectWrite(QueryRequest(0x2F)).Expect(failed);
    EXPECT_EQ(link.Query2F(), 0);
    EXPECT_EQ(link.GetMessage(), "before");
    EXPECT_TRUE(link.IsOpened()) << "a query failure does not close the link";
}

TEST_F(USBInfoTest, ClaimedFirstWriterIsSkippedForTheSecond) {
    auto& first = Writer(0);
    auto& second = Writer(4);
    ScriptFamilyWriter(second, 6);
    MutexHolderProcess other(usb::DeviceMutexName(first.Path()));
    ASSERT_TRUE(other.Holds()) << other.Answer();
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 1);
    EXPECT_EQ(link.GetDevicePath(), second.Path());
    EXPECT_EQ(first.Pending(), 0u);
    for (const auto& seen : io.Transfers())
        EXPECT_NE(seen.pipePath.find(second.Path()), std::string::npos)
            << "nothing is sent to the claimed writer: " << seen.pipePath;
    EXPECT_FALSE(CanClaim(second)) << "the link holds the second writer";
}

TEST_F(USBInfoTest, WriterClaimedElsewhereIsNotFoundAndTheMessageSaysSo) {
    auto& only = Writer(0);
    MutexHolderProcess other(usb::DeviceMutexName(only.Path()));
    ASSERT_TRUE(other.Holds());
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Find MERiL USB device.\n"
                                 "But can't know device type, or maybe used by other process!\n"
                                 "You can try to re-plug in USB device.");
    EXPECT_TRUE(io.Transfers().empty());
}

TEST_F(USBInfoTest, OnlyPathLimitsTheSearchToThatWriter) {
    auto& first = Writer(0);
    auto& second = Writer(4);
    ScriptFamilyWriter(second, 6);
    link.SetBodyType(11);
    std::string upper = second.Path();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    link.SetOnlyPath(upper);
    EXPECT_EQ(link.Open(), 1);
    EXPECT_EQ(link.GetDevicePath(), second.Path());
    for (const auto& seen : io.Transfers())
        EXPECT_NE(seen.pipePath.find(second.Path()), std::string::npos) << seen.pipePath;
    EXPECT_TRUE(CanClaim(first)) << "the other writer is never claimed";

    // Held elsewhere, the named writer is not replaced by the free one.
    link.Close();
    MutexHolderProcess other(usb::DeviceMutexName(second.Path()));
    ASSERT_TRUE(other.Holds()) << other.Answer();
    EXPECT_EQ(link.Open(), 0);
    EXPECT_FALSE(link.IsOpened());
    EXPECT_TRUE(CanClaim(first));
}

TEST_F(USBInfoTest, UnusableClaimFolderIsNamedInTheMessage) {
#ifdef _WIN32
    GTEST_SKIP() << "claims are the system's named mutexes, kept in no folder";
#endif
    Writer(0);
    std::filesystem::create_directory(folder.File("real"));
    std::filesystem::create_directory_symlink(folder.File("real"), folder.File("claims"));
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Find MERiL USB device.\n"
                                 "But can't know device type, or maybe used by other process!\n"
                                 "You can try to re-plug in USB device.\n\n"
                                 "The claim folder " +
                                     folder.File("claims") +
                                     " is a symbolic link or no folder; refused");
    EXPECT_TRUE(io.Transfers().empty());
}

TEST_F(USBInfoTest, RefusedWriterIsNotLeftClaimed) {
    auto& w = Writer();
    ScriptFamilyWriter(w, 4);
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_FALSE(link.HoldsDeviceLock());
    EXPECT_TRUE(CanClaim(w)) << "another process may take the refused writer";
}

TEST_F(USBInfoTest, ClaimEndsWithCloseAndWithTheLink) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    {
        usb::C_USBInfo scoped(&io, clock, result);
        scoped.SetBodyType(8);
        ASSERT_EQ(scoped.Open(), 1);
        EXPECT_FALSE(CanClaim(w));
        EXPECT_EQ(scoped.Close(), 1);
        EXPECT_TRUE(CanClaim(w));
        EXPECT_EQ(scoped.LockDevice(w.Path()), 1);
        EXPECT_EQ(scoped.LockDevice(w.Path()), 1) << "claiming again replaces the old claim";
        EXPECT_FALSE(CanClaim(w));
    }
    EXPECT_TRUE(CanClaim(w));
}

TEST_F(USBInfoTest, WrongIcTextStaysOnceATypeByteWasRead) {
    auto& w = Writer();
    ScriptFamilyWriter(w, 4);
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Select the wrong IC,Please check!");
    // A later search that reads no type byte keeps the last one seen.
    ScriptDetection(w, 0x33);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Select the wrong IC,Please check!");
    EXPECT_EQ(link.GetLastDeviceType(), 4);
}

TEST_F(USBInfoTest, SearchMovesOnFromARefusedWriterToTheNext) {
    auto& first = Writer(1);
    auto& second = Writer(2);
    ScriptFamilyWriter(first, 1);
    ScriptFamilyWriter(second, 7);
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 1);
    EXPECT_EQ(link.GetDevicePath(), second.Path());
    EXPECT_TRUE(CanClaim(first));
    EXPECT_EQ(link.GetLastDeviceType(), 7);
}

TEST_F(USBInfoTest, DetectionUsesAHalfSecondLimitAndSilentlyExaminesFailures) {
    auto& w = Writer();
    Step failedWrite;
    failedWrite.kind = Step::Kind::Write;
    failedWrite.bytes = DetectionRequest();
    failedWrite.outcome = port::DeviceHandle::Outcome::Failed;
    Step timedOut;
    timedOut.kind = Step::Kind::Read;
    timedOut.bytes = Reply(16, {0x10});
    timedOut.outcome = port::DeviceHandle::Outcome::TimedOut;
    // Both exchanges fail, so the zeroed reply leads on to the second query.
    w.Expect(failedWrite).Expect(timedOut);
    w.ExpectWrite(DetectionRequest()).ExpectRead({0x00});
    link.SetBodyType(7);
    EXPECT_EQ(link.Open(), 1);
    for (const auto& seen : io.Transfers())
        EXPECT_EQ(seen.timeoutMs, 500u);
}

TEST_F(USBInfoTest, PacketTimeLimitsFollowLengthAndTheUnlimitedSwitch) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    link.SetBodyType(8);
    const auto p64 = Reply(64, {0x21});
    const auto p65 = Reply(65, {0x22});
    const auto p4096 = Reply(4096, {0x23});
    w.ExpectWrite(p64).ExpectWrite(p65).ExpectRead(Reply(64, {1})).ExpectWrite(p4096);
    w.ExpectWrite(p64).ExpectRead(Reply(64, {2}));
    ASSERT_FALSE(usb::IsUnlimitedWait());
    uint8_t reply[64];
    EXPECT_EQ(link.Write(p64.data(), 64), 1);
    EXPECT_EQ(link.Write(p65.data(), 65), 1);
    EXPECT_EQ(link.Read(reply, 64), 1);
    EXPECT_EQ(link.Write(p4096.data(), 4096), 1);
    usb::SetUnlimitedWait(true);
    EXPECT_TRUE(usb::IsUnlimitedWait());
    EXPECT_EQ(link.Write(p64.data(), 64), 1);
    EXPECT_EQ(link.Read(reply, 64), 1);
    EXPECT_EQ(reply[0], 2);
    const auto seen = io.Transfers();
    ASSERT_EQ(seen.size(), 10u);
    const uint32_t limits[] = {3000, 0, 3000, 0, 0, 0};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(seen[4 + i].timeoutMs, limits[i]) << "transfer " << i;
}

TEST_F(USBInfoTest, FirstTransferSearchesEvenWhenTheLinkLooksOpen) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    link.SetBodyType(8);
    w.ExpectWrite(Reply(64, {0x01}));
    const auto packet = Reply(64, {0x01});
    EXPECT_EQ(link.Write(packet.data(), 64), 1);
    EXPECT_TRUE(link.IsOpened());
    EXPECT_FALSE(link.IsRefindDue());
    w.ExpectWrite(packet);
    EXPECT_EQ(link.Write(packet.data(), 64), 1);
    EXPECT_EQ(io.Transfers().size(), 6u) << "an open link does not search again";
}

TEST_F(USBInfoTest, FailedTransferClosesTheLinkAndTheNextOneFindsTheWriterAgain) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    link.SetBodyType(8);
    const auto packet = Reply(64, {0x07});
    Step unplugged;
    unplugged.kind = Step::Kind::Write;
    unplugged.bytes = packet;
    unplugged.outcome = port::DeviceHandle::Outcome::Failed;
    unplugged.during = [&] { io.Unplug(w); };
    w.Expect(unplugged);
    EXPECT_EQ(link.Write(packet.data(), 64), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nWrite USB failed. ");
    EXPECT_FALSE(link.IsOpened());
    EXPECT_FALSE(link.HoldsDeviceLock());
    EXPECT_TRUE(CanClaim(w));
    EXPECT_EQ(link.GetDevicePath(), w.Path()) << "the path stays after a close";

    // Still gone: the search finds nothing.
    EXPECT_EQ(link.Write(packet.data(), 64), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nCan't find MERiL USB device. Please re-plug in it.");

    io.Replug(w);
    ScriptDetection(w, 0, 0x51);
    w.ExpectWrite(packet);
    EXPECT_EQ(link.Write(packet.data(), 64), 1);
    EXPECT_TRUE(link.IsOpened());
    EXPECT_EQ(clock.SleptMs(), 2000u) << "the search after a missing device settled first";
}

TEST_F(USBInfoTest, ReadTimeoutClosesTheLinkWithTheTimeoutText) {
    auto& w = Writer();
    ScriptDetection(w, 0, 0x51);
    link.SetBodyType(8);
    Step slow;
    slow.kind = Step::Kind::Read;
    slow.bytes = Reply(64, {});
    slow.outcome = port::DeviceHandle::Outcome::TimedOut;
    w.Expect(slow);
    uint8_t reply[64];
    EXPECT_EQ(link.Read(reply, 64), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nRead USB timeout. ");
    EXPECT_FALSE(link.IsOpened());
}

TEST_F(USBInfoTest, FindAnyWriterRequiresTheCheckType) {
    Writer();
    link.SetBodyType(11);
    EXPECT_EQ(link.FindAnyWriter(), 0);
    EXPECT_EQ(link.GetMessage(),
              "Internal Error. The ICE body type must be eMultiICEBODY_CHECK_TYPE!");
    EXPECT_TRUE(io.Transfers().empty());
}

TEST_F(USBInfoTest, FindAnyWriterAcceptsUpdatableTypesAndReturnsTheTypeByte) {
    for (uint8_t typeByte = 0; typeByte <= 10; ++typeByte) {
        auto& w = Writer();
        ScriptFamilyWriter(w, typeByte);
        usb::C_USBInfo probe(&io, clock, result);
        probe.SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
        const bool updatable = typeByte >= 1 && typeByte <= 9 && typeByte != 6 && typeByte != 7;
        EXPECT_EQ(probe.FindAnyWriter(), updatable ? typeByte : 0) << "type " << int(typeByte);
        EXPECT_EQ(probe.IsOpened(), updatable);
        EXPECT_EQ(probe.IsRefindDue(), !updatable);
        if (!updatable) {
            EXPECT_EQ(probe.GetMessage(),
                      "Find MERiL USB device.\n\n"
                      "But can't know device type, or maybe used by other process!\n\n"
                      "You can try to re-plug in USB device.");
        }
        EXPECT_EQ(w.Pending(), 0u);
    }
}

TEST_F(USBInfoTest, TypeBytesSixAndSevenOpenForTheWriterButNotForTheUpdater) {
    for (uint8_t typeByte : {6, 7}) {
        auto& w = Writer();
        ScriptFamilyWriter(w, typeByte);
        usb::C_USBInfo probe(&io, clock, result);
        probe.SetBodyType(11);
        EXPECT_EQ(probe.Open(), 1);
        probe.Close();
        ScriptFamilyWriter(w, typeByte);
        probe.SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
        EXPECT_EQ(probe.FindAnyWriter(), 0);
        EXPECT_FALSE(probe.HoldsDeviceLock());
    }
}

TEST_F(USBInfoTest, FindAnyWriterRefusesNonZeroFirstAnswersAndLowLevels) {
    auto& a = Writer(0);
    auto& b = Writer(1);
    auto& c = Writer(2);
    auto& d = Writer(3);
    ScriptDetection(a, 0x10);
    ScriptDetection(b, 0, 0x01);
    ScriptDetection(c, 0, 0x51);
    ScriptLevel(c, 3);
    ScriptFamilyWriter(d, 2);
    link.SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
    EXPECT_EQ(link.FindAnyWriter(), 2);
    EXPECT_EQ(link.GetDevicePath(), d.Path());
    for (auto* w : {&a, &b, &c, &d})
        EXPECT_EQ(w->Pending(), 0u);
}

TEST(DeviceMutexName, IsTheInstancePartOrTheWholePath) {
    EXPECT_EQ(
        usb::DeviceMutexName(
            "\\\\?\\usb#vid_fff0&pid_0b57#5&2b9d1a&0&1#{5795843b-6684-43a4-81ee-d2dd1b5594b6}"),
        "#5&2b9d1a&0&1#");
    // A "#" before index 10 does not count.
    EXPECT_EQ(usb::DeviceMutexName("ab#defghij#INST#{x}"), "#INST#");
    for (const std::string path :
         {"", "short", "\\\\?\\usb_no_marks_at_all", "\\\\?\\usbvidpid#instance-without-brace",
          "\\\\?\\usbvidpid{brace-before#hash", "#########{"})
        EXPECT_EQ(usb::DeviceMutexName(path), path) << path;
}

TEST(DeviceKinds, TablesAreConsistent) {
    size_t n = 0;
    const usb::AnswerRule* first = usb::FirstAnswerRules(n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NE(first[i].answer, 0) << "0 leads to the second query";
        for (int type : first[i].bodyTypes)
            EXPECT_TRUE(type == 0 || (type >= 3 && type <= 6)) << "first answers serve 3 to 6";
    }
    const usb::AnswerRule* second = usb::SecondAnswerRules(n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NE(second[i].answer, usb::kFamilyAnswer);
        EXPECT_NE(second[i].bodyTypes[0], 0);
    }
    const usb::DeviceTypeRule* types = usb::DeviceTypeRules(n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(usb::BodyTypeOfDeviceType(types[i].deviceType), types[i].bodyType);
        EXPECT_NE(types[i].bodyType, usb::kIceBodyFirmwareUpdate);
        EXPECT_NE(types[i].bodyType, usb::eMultiICEBODY_CHECK_TYPE);
        if (usb::IsUpdatableDeviceType(types[i].deviceType)) {
            EXPECT_NE(types[i].bodyType, usb::kIceBodyWriter) << "the updater leaves 6 and 7 alone";
        }
    }
    for (int b = 0; b < 256; ++b)
        if (usb::IsUpdatableDeviceType(static_cast<uint8_t>(b))) {
            EXPECT_NE(usb::BodyTypeOfDeviceType(static_cast<uint8_t>(b)), 0)
                << "every updatable type byte is a known one";
        }
    EXPECT_FALSE(usb::FirstAnswerAccepts(0x10, 0));
    EXPECT_FALSE(usb::SecondAnswerAccepts(0x00, 0));
}

} // namespace
} // namespace usbtest
