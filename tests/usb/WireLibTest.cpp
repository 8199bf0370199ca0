// The transfer object over a scripted backend: enumeration, every transfer
// outcome with its code and text, the settle wait and the transfer lock.
#include "tests/usb/LinkFixture.h"

#include "usb/WireLib.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

namespace usbtest {
namespace {

using Outcome = port::DeviceHandle::Outcome;

class WireLibTest : public LinkTest {
protected:
    usb::C_WIRELIB wire{&io, clock};
};

TEST(WireErrorTable, EveryCodeHasItsTextAndOthersTheFallback) {
    size_t count = 0;
    const usb::WireErrorEntry* table = usb::WireErrorTable(count);
    ASSERT_EQ(count, 6u);
    std::set<int> codes;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(table[i].code, static_cast<int>(i) + 1) << "codes run 1 to 6 in order";
        EXPECT_STREQ(usb::WireErrorText(table[i].code), table[i].text);
        codes.insert(table[i].code);
        const std::string text = table[i].text;
        if (table[i].code <= 4) {
            EXPECT_EQ(text.substr(text.size() - 2), ". ") << "the transfer texts end in one blank";
        }
    }
    EXPECT_EQ(codes.size(), count);
    EXPECT_STREQ(usb::WireErrorText(1), "Error!\n\nRead USB failed. ");
    EXPECT_STREQ(usb::WireErrorText(4), "Error!\n\nWrite USB timeout. ");
    EXPECT_STREQ(usb::WireErrorText(5),
                 "Error!\n\nCan't find MERiL USB device. Please re-plug in it.");
    EXPECT_STREQ(usb::WireErrorText(6), "Warning!\n\nUSB is busy. Please retry.");
    for (int other : {0, 7, -1, 65535})
        EXPECT_STREQ(usb::WireErrorText(other), "USB is error! (WIRELIB)");
}

TEST_F(WireLibTest, EnumerationListsOpenableMembersDenselyAcrossGaps) {
    auto& a = io.AddWriter(0, "A");
    auto& b = io.AddWriter(3, "B");
    io.AddWriter(57, "C").openable = false;
    auto& d = io.AddWriter(99, "D");
    io.AddWriter(100, "E");
    int count = -1;
    EXPECT_EQ(wire.EnumerateWriters(count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(wire.GetPath(0), a.Path());
    EXPECT_EQ(wire.GetPath(1), b.Path());
    EXPECT_EQ(wire.GetPath(2), d.Path());
    EXPECT_EQ(wire.GetPath(3), "");
    EXPECT_EQ(wire.GetPath(-1), "");
    EXPECT_EQ(io.MembersAsked().size(), 100u) << "all hundred members are asked, no more";
    EXPECT_EQ(io.OpenHandles(), 0) << "the probing opens are closed at once";
    EXPECT_EQ(wire.GetErrorCode(), 0);
}

TEST_F(WireLibTest, EnumerationForgetsWritersThatLeft) {
    auto& a = io.AddWriter(0, "A");
    auto& b = io.AddWriter(1, "B");
    int count = 0;
    wire.EnumerateWriters(count);
    io.Unplug(a);
    EXPECT_EQ(wire.EnumerateWriters(count), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(wire.GetPath(0), b.Path());
    EXPECT_EQ(wire.GetPath(1), "");
}

TEST_F(WireLibTest, NoWriterGivesCodeFiveAndTheNextTransferSettlesFirst) {
    int count = -1;
    EXPECT_EQ(wire.EnumerateWriters(count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(wire.GetErrorCode(), 5);
    EXPECT_FALSE(wire.IsSettled());
    EXPECT_EQ(clock.SleptMs(), 0u) << "the enumeration itself does not wait";

    auto& w = io.AddWriter(0, "A");
    w.ExpectWrite(Bytes({1, 2, 3}));
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(wire.USB_Write(w.Path(), data, 3), 1);
    EXPECT_EQ(clock.SleptMs(), 2000u);
    EXPECT_TRUE(wire.IsSettled());

    w.ExpectWrite(Bytes({1, 2, 3}));
    EXPECT_EQ(wire.USB_Write(w.Path(), data, 3), 1);
    EXPECT_EQ(clock.SleptMs(), 2000u) << "settled: no second wait";
}

TEST_F(WireLibTest, CompleteReadCopiesDataThroughTheReadPipeAndClosesIt) {
    auto& w = io.AddWriter(0, "A");
    w.ExpectRead(Bytes({9, 8, 7, 6}));
    wire.SetTimeout(1234);
    uint8_t buffer[4] = {};
    EXPECT_EQ(wire.USB_Read(w.Path(), buffer, 4), 1);
    EXPECT_EQ(Bytes({buffer[0], buffer[1], buffer[2], buffer[3]}), Bytes({9, 8, 7, 6}));
    EXPECT_EQ(wire.GetErrorCode(), 0);
    const auto seen = io.Transfers();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].pipePath, w.Path() + "\\PIPE00");
    EXPECT_EQ(seen[0].timeoutMs, 1234u);
    EXPECT_EQ(io.OpenHandles(), 0) << "no handle is kept between transfers";
}

TEST_F(WireLibTest, ShortReadFailsAndLeavesTheCallersBufferZeroed) {
    auto& w = io.AddWriter(0, "A");
    w.ExpectRead(Bytes({0x11, 0x22, 0x33}), 16);
    uint8_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    EXPECT_EQ(wire.USB_Read(w.Path(), buffer, 16), 0);
    EXPECT_EQ(wire.GetErrorCode(), 1);
    EXPECT_EQ(wire.GetErrorText(), "Error!\n\nRead USB failed. ");
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0);
}

TEST_F(WireLibTest, ReadAndWriteOutcomesMapToTheirCodes) {
    auto& w = io.AddWriter(0, "A");
    struct Case {
        Step::Kind kind;
        Outcome outcome;
        std::optional<size_t> transferred;
        int code;
    } cases[] = {
        {Step::Kind::Read, Outcome::TimedOut, {}, 3},  {Step::Kind::Read, Outcome::Failed, {}, 1},
        {Step::Kind::Read, Outcome::Done, 9, 1}, // reported longer than asked
        {Step::Kind::Write, Outcome::TimedOut, {}, 4}, {Step::Kind::Write, Outcome::Failed, {}, 2},
        {Step::Kind::Write, Outcome::Done, 5, 2}, // short write
        {Step::Kind::Write, Outcome::Done, {}, 0},
    };
    for (const auto& c : cases) {
        Step step;
        step.kind = c.kind;
        step.bytes = Reply(8, {0x5A});
        step.outcome = c.outcome;
        step.transferred = c.transferred;
        w.Expect(step);
        uint8_t buffer[8] = {0x5A};
        const int ok = c.kind == Step::Kind::Read ? wire.USB_Read(w.Path(), buffer, 8)
                                                  : wire.USB_Write(w.Path(), buffer, 8);
        EXPECT_EQ(ok, c.code == 0 ? 1 : 0) << "expected code " << c.code;
        EXPECT_EQ(wire.GetErrorCode(), c.code);
        EXPECT_EQ(wire.GetErrorText(), usb::WireErrorText(c.code));
        EXPECT_EQ(io.OpenHandles(), 0);
    }
    EXPECT_EQ(w.Pending(), 0u);
}

TEST_F(WireLibTest, PipeThatWillNotOpenGivesCodeFiveAndFreesTheLock) {
    auto& w = io.AddWriter(0, "A");
    w.openable = false;
    uint8_t buffer[4] = {};
    EXPECT_EQ(wire.USB_Write(w.Path(), buffer, 4), 0);
    EXPECT_EQ(wire.GetErrorCode(), 5);
    EXPECT_EQ(io.Opens().back(), w.Path() + "\\PIPE01");
    EXPECT_TRUE(wire.Lock().Take(0)) << "the lock was freed";
    wire.Release();
    EXPECT_EQ(wire.USB_Read(w.Path(), buffer, 4), 0);
    EXPECT_EQ(io.Opens().back(), w.Path() + "\\PIPE00");
    EXPECT_EQ(clock.SleptMs(), 2000u) << "the second transfer settled first";
}

TEST_F(WireLibTest, TimeLimitIsPassedUnchangedAndZeroMeansNone) {
    auto& w = io.AddWriter(0, "A");
    w.ExpectWrite(Bytes({1})).ExpectWrite(Bytes({1}));
    const uint8_t one = 1;
    wire.SetTimeout(0);
    wire.USB_Write(w.Path(), &one, 1);
    wire.SetTimeout(3000);
    wire.USB_Write(w.Path(), &one, 1);
    const auto seen = io.Transfers();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].timeoutMs, 0u);
    EXPECT_EQ(seen[1].timeoutMs, 3000u);
}

TEST(TransferLockAlone, SecondAcquireIsBusyOnceFiveSecondsPass) {
    SteppingClock clock(1000);
    port::DeviceIo* none = nullptr;
    usb::C_WIRELIB wire(none, clock);
    EXPECT_EQ(wire.Acquire(), 0);
    EXPECT_EQ(wire.Acquire(), 1);
    EXPECT_EQ(wire.GetErrorCode(), 6);
    EXPECT_EQ(wire.Release(), 1);
    EXPECT_EQ(wire.Acquire(), 0) << "a release makes it free again";
    wire.Release();
    wire.Release();
    EXPECT_EQ(wire.Acquire(), 0);
    EXPECT_EQ(wire.Acquire(), 1) << "releasing twice frees it only once";
}

TEST(TransferLockAlone, TransfersWithoutBackendFailAsNoDevice) {
    port::ManualClock clock;
    usb::C_WIRELIB wire(nullptr, clock);
    int count = 7;
    EXPECT_EQ(wire.EnumerateWriters(count), 0);
    EXPECT_EQ(count, 0);
    uint8_t buffer[2] = {};
    EXPECT_EQ(wire.USB_Read("x", buffer, 2), 0);
    EXPECT_EQ(wire.GetErrorCode(), 5);
}

// Two threads: the first holds the lock inside a transfer until the test lets
// it finish; the second waits on the lock in virtual time.
class LockContentionTest : public WireLibTest {
protected:
    void StartHolder() {
        writer = &io.AddWriter(0, "A");
        Step held;
        held.kind = Step::Kind::Write;
        held.bytes = Bytes({1});
        held.during = [this] {
            inside.set_value();
            proceed.get_future().wait();
        };
        writer->Expect(held);
        holder = std::thread([this] {
            const uint8_t one = 1;
            holderOk = wire.USB_Write(writer->Path(), &one, 1);
        });
        inside.get_future().wait();
    }
    void WaitForWaiter() {
        while (wire.Lock().Waiters() == 0)
            std::this_thread::yield();
    }
    void LetHolderFinish() {
        proceed.set_value();
        holder.join();
    }
    void TearDown() override {
        if (holder.joinable())
            LetHolderFinish();
        LinkTest::TearDown();
    }

    FakeWriter* writer = nullptr;
    std::promise<void> inside;
    std::promise<void> proceed;
    std::thread holder;
    int holderOk = -1;
};

TEST_F(LockContentionTest, SecondTransferGetsTheLockWhenTheFirstEndsWithinFiveSeconds) {
    StartHolder();
    writer->ExpectWrite(Bytes({2}));
    int secondOk = -1;
    std::thread second([&] {
        const uint8_t two = 2;
        secondOk = wire.USB_Write(writer->Path(), &two, 1);
    });
    WaitForWaiter();
    clock.Advance(4999);
    LetHolderFinish();
    second.join();
    EXPECT_EQ(holderOk, 1);
    EXPECT_EQ(secondOk, 1);
    EXPECT_EQ(wire.GetErrorCode(), 0);
    EXPECT_EQ(writer->Pending(), 0u);
}

TEST_F(LockContentionTest, SecondTransferIsBusyWhenTheFirstHoldsTheLockFiveSeconds) {
    StartHolder();
    int secondOk = -1;
    std::thread second([&] {
        uint8_t buffer[4] = {};
        secondOk = wire.USB_Read(writer->Path(), buffer, 4);
    });
    WaitForWaiter();
    clock.Advance(5000);
    second.join();
    EXPECT_EQ(secondOk, 0);
    EXPECT_EQ(wire.GetErrorCode(), 6);
    EXPECT_EQ(wire.GetErrorText(), "Warning!\n\nUSB is busy. Please retry.");
    EXPECT_EQ(io.Transfers().size(), 1u) << "the busy transfer never reached the device";
    EXPECT_FALSE(wire.Lock().Take(0)) << "the busy caller did not free the holder's lock";
    LetHolderFinish();
    EXPECT_EQ(holderOk, 1);
    EXPECT_TRUE(wire.Lock().Take(0));
}

} // namespace
} // namespace usbtest
