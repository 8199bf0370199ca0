// A scripted device backend for the link's tests: interface members at chosen
// indexes, each with the exchanges it expects in order. A write is compared
// byte for byte with the expected request (both buffers are dumped on a
// mismatch); a read delivers a canned reply. Steps can fail, time out, come
// up short, block until released, or unplug the writer.
#pragma once

#include "port/DeviceIo.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbtest {

std::string Hex(const uint8_t* data, size_t size);
std::string Hex(const std::vector<uint8_t>& bytes);

struct Step {
    enum class Kind { Write, Read };
    Kind kind = Kind::Write;
    // Write: the request expected. Read: the reply delivered.
    std::vector<uint8_t> bytes;
    // Read: the size the caller must ask for; the reply's size when unset.
    std::optional<size_t> requested;
    port::DeviceHandle::Outcome outcome = port::DeviceHandle::Outcome::Done;
    // Bytes reported as moved; all of them when unset.
    std::optional<size_t> transferred;
    // Runs while the transfer is in flight, outside the fake's lock.
    std::function<void()> during;
};

// What one transfer looked like, for checks on time limits and pipes.
struct Seen {
    std::string pipePath;
    Step::Kind kind;
    size_t size;
    uint32_t timeoutMs;
};

class FakeWriter {
public:
    explicit FakeWriter(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }
    FakeWriter& ExpectWrite(std::vector<uint8_t> request);
    FakeWriter& ExpectRead(std::vector<uint8_t> reply, std::optional<size_t> requested = {});
    // Adds a fully described step.
    FakeWriter& Expect(Step step);
    // Steps not yet consumed.
    size_t Pending();

    bool listed = true;   // the system lists the member
    bool openable = true; // opening it (or a pipe on it) succeeds

private:
    friend class FakeDeviceIo;
    friend class FakeHandle;
    std::string path_;
    std::deque<Step> script_;
};

class FakeDeviceIo : public port::DeviceIo {
public:
    // A writer at `member` with path \\?\usb#vid_fff0&pid_0b57#<instance>#{class}.
    FakeWriter& AddWriter(uint32_t member, const std::string& instance);
    // The writer leaves: no longer listed, opens fail.
    void Unplug(FakeWriter& writer);
    void Replug(FakeWriter& writer);

    std::string Name() const override { return "fake"; }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<port::DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;

    std::vector<Seen> Transfers();
    std::vector<std::string> Opens();
    int OpenHandles();
    std::vector<uint32_t> MembersAsked();

private:
    friend class FakeHandle;
    port::DeviceHandle::Outcome Run(FakeWriter& writer, const std::string& pipePath,
                                    Step::Kind kind, uint8_t* data, size_t size, uint32_t timeoutMs,
                                    size_t& transferred);

    std::mutex lock_;
    std::map<uint32_t, std::unique_ptr<FakeWriter>> members_;
    std::vector<Seen> transfers_;
    std::vector<std::string> opens_;
    std::vector<uint32_t> membersAsked_;
    int openHandles_ = 0;
    EventHandler handler_;
};

} // namespace usbtest
