// A writer link that plays a script: every Write must match the next expected
// request byte for byte, every Read returns the next canned reply. Mismatches
// fail the running test with both buffers dumped.
#pragma once

#include "usb/IUSBInfo.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace enginetest {

using Bytes = std::vector<uint8_t>;

template <size_t N> Bytes ToBytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// Hex dump, 16 bytes a line, with offsets.
std::string HexDump(const uint8_t* data, size_t length);

class ScriptedLink : public usb::I_USBInfo {
public:
    explicit ScriptedLink(core::C_Result& result) : result_(result) {}

    // The next transfer must be a write of exactly these bytes; it then
    // succeeds, or fails with `failText` reported on the result.
    void ExpectWrite(const Bytes& request, bool ok = true, const std::string& failText = {});
    template <size_t N> void ExpectWrite(const std::array<uint8_t, N>& request, bool ok = true) {
        ExpectWrite(ToBytes(request), ok, kWriteFailText);
    }
    // The next transfer must be a read of reply.size() bytes; it returns them,
    // or fails with `failText` and leaves the caller's buffer as it was.
    void ExpectRead(const Bytes& reply, bool ok = true, const std::string& failText = {});
    template <size_t N> void ExpectRead(const std::array<uint8_t, N>& reply, bool ok = true) {
        ExpectRead(ToBytes(reply), ok, kReadFailText);
    }
    // A read that fails; `length` is the length the caller must ask for.
    void ExpectFailedRead(size_t length) { ExpectRead(Bytes(length, 0), false, kReadFailText); }

    // Steps of the script not yet played.
    size_t Remaining() const { return script_.size(); }
    // Bytes of every write, in order, whether scripted or not.
    const std::vector<Bytes>& Written() const { return written_; }

    static constexpr const char* kWriteFailText = "USB write is failed!";
    static constexpr const char* kReadFailText = "USB read is failed!";

    int bodyType = 0;
    int ensureOpenResult = 1;
    int findAnyWriterResult = 0;
    int findAnyWriterBodyType = -1;
    int closeCalls = 0;
    int ensureOpenCalls = 0;

    int Open() override { return ensureOpenResult; }
    int EnsureOpen() override {
        ++ensureOpenCalls;
        return ensureOpenResult;
    }
    int SetBodyType(int type) override {
        bodyType = type;
        return 1;
    }
    int GetBodyType() override { return bodyType; }
    int Close() override {
        ++closeCalls;
        return 1;
    }
    int Write(const uint8_t* data, size_t length) override;
    int Read(uint8_t* data, size_t length) override;
    std::string GetMessage() override { return result_.Message(); }
    int QueryLevel() override { return 1; }
    int ReadDeviceType() override { return 6; }
    std::string GetDevicePath() override { return "scripted"; }
    uint8_t Query2F() override { return 0; }
    uint8_t Query30() override { return 0; }
    int CheckDeviceType() override { return 1; }
    int LockDevice(const std::string&) override { return 1; }
    void ReportError(const char* text) override { result_.SetMessage(text); }
    void SetTimeout(uint32_t) override {}
    int FindAnyWriter() override;

private:
    struct Step {
        bool isWrite;
        Bytes bytes;
        bool ok;
        std::string failText;
    };

    core::C_Result& result_;
    std::deque<Step> script_;
    std::vector<Bytes> written_;
};

} // namespace enginetest
