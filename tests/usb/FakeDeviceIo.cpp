#include "tests/usb/FakeDeviceIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace usbtest {

std::string Hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        if (i)
            text += (i % 16 == 0) ? "\n    " : " ";
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    return Hex(bytes.data(), bytes.size());
}

FakeWriter& FakeWriter::ExpectWrite(std::vector<uint8_t> request) {
    Step step;
    step.kind = Step::Kind::Write;
    step.bytes = std::move(request);
    return Expect(std::move(step));
}

FakeWriter& FakeWriter::ExpectRead(std::vector<uint8_t> reply, std::optional<size_t> requested) {
    Step step;
    step.kind = Step::Kind::Read;
    step.bytes = std::move(reply);
    step.requested = requested;
    return Expect(std::move(step));
}

FakeWriter& FakeWriter::Expect(Step step) {
    script_.push_back(std::move(step));
    return *this;
}

size_t FakeWriter::Pending() {
    return script_.size();
}

// A handle on one pipe (or the bare interface path) of a fake writer.
class FakeHandle : public port::DeviceHandle {
public:
    FakeHandle(FakeDeviceIo& io, FakeWriter& writer, std::string path)
        : io_(io), writer_(writer), path_(std::move(path)) {}
    ~FakeHandle() override {
        std::lock_guard<std::mutex> guard(io_.lock_);
        --io_.openHandles_;
    }
    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        return io_.Run(writer_, path_, Step::Kind::Read, buffer, size, timeoutMs, transferred);
    }
    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        return io_.Run(writer_, path_, Step::Kind::Write, const_cast<uint8_t*>(buffer), size,
                       timeoutMs, transferred);
    }
    void Cancel() override {}

private:
    FakeDeviceIo& io_;
    FakeWriter& writer_;
    std::string path_;
};

FakeWriter& FakeDeviceIo::AddWriter(uint32_t member, const std::string& instance) {
    std::lock_guard<std::mutex> guard(lock_);
    auto writer = std::make_unique<FakeWriter>("\\\\?\\usb#vid_fff0&pid_0b57#" + instance + "#" +
                                               port::kWriterInterfaceClass);
    FakeWriter& ref = *writer;
    members_[member] = std::move(writer);
    return ref;
}

void FakeDeviceIo::Unplug(FakeWriter& writer) {
    std::lock_guard<std::mutex> guard(lock_);
    writer.listed = false;
    writer.openable = false;
}

void FakeDeviceIo::Replug(FakeWriter& writer) {
    std::lock_guard<std::mutex> guard(lock_);
    writer.listed = true;
    writer.openable = true;
}

bool FakeDeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                   std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    membersAsked_.push_back(memberIndex);
    EXPECT_EQ(interfaceClass, port::kWriterInterfaceClass);
    const auto it = members_.find(memberIndex);
    if (it == members_.end() || !it->second->listed)
        return false;
    path = it->second->Path();
    return true;
}

std::unique_ptr<port::DeviceHandle> FakeDeviceIo::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    opens_.push_back(path);
    for (auto& [member, writer] : members_) {
        const std::string& base = writer->Path();
        if (path.compare(0, base.size(), base) != 0)
            continue;
        const std::string suffix = path.substr(base.size());
        if (!writer->openable || !(suffix.empty() || suffix == "\\PIPE00" || suffix == "\\PIPE01"))
            return nullptr;
        ++openHandles_;
        return std::make_unique<FakeHandle>(*this, *writer, path);
    }
    return nullptr;
}

void FakeDeviceIo::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
}

port::DeviceHandle::Outcome FakeDeviceIo::Run(FakeWriter& writer, const std::string& pipePath,
                                              Step::Kind kind, uint8_t* data, size_t size,
                                              uint32_t timeoutMs, size_t& transferred) {
    transferred = 0;
    Step step;
    {
        std::lock_guard<std::mutex> guard(lock_);
        transfers_.push_back({pipePath, kind, size, timeoutMs});
        const char* what = kind == Step::Kind::Write ? "write" : "read";
        const std::string expectedPipe = kind == Step::Kind::Write ? "\\PIPE01" : "\\PIPE00";
        if (pipePath != writer.Path() + expectedPipe) {
            ADD_FAILURE() << what << " on the wrong pipe: " << pipePath;
            return port::DeviceHandle::Outcome::Failed;
        }
        if (writer.script_.empty()) {
            ADD_FAILURE() << "unexpected " << what << " of " << size << " bytes on " << pipePath
                          << (kind == Step::Kind::Write ? "\n  actual:   " + Hex(data, size) : "");
            return port::DeviceHandle::Outcome::Failed;
        }
        step = std::move(writer.script_.front());
        writer.script_.pop_front();
        if (step.kind != kind) {
            ADD_FAILURE() << "expected a " << (step.kind == Step::Kind::Write ? "write" : "read")
                          << " but got a " << what << " on " << pipePath;
            return port::DeviceHandle::Outcome::Failed;
        }
    }
    if (kind == Step::Kind::Write) {
        const std::vector<uint8_t> actual(data, data + size);
        if (actual != step.bytes)
            ADD_FAILURE() << "request mismatch on " << pipePath
                          << "\n  expected: " << Hex(step.bytes) << "\n  actual:   " << Hex(actual);
    } else {
        const size_t requested = step.requested.value_or(step.bytes.size());
        if (requested != size)
            ADD_FAILURE() << "read of " << size << " bytes where " << requested
                          << " were expected, on " << pipePath;
    }
    if (step.during)
        step.during();
    if (step.outcome != port::DeviceHandle::Outcome::Done)
        return step.outcome;
    if (kind == Step::Kind::Read) {
        const size_t n = std::min(size, step.bytes.size());
        std::memcpy(data, step.bytes.data(), n);
        transferred = step.transferred.value_or(n);
    } else {
        transferred = step.transferred.value_or(size);
    }
    return port::DeviceHandle::Outcome::Done;
}

std::vector<Seen> FakeDeviceIo::Transfers() {
    std::lock_guard<std::mutex> guard(lock_);
    return transfers_;
}

std::vector<std::string> FakeDeviceIo::Opens() {
    std::lock_guard<std::mutex> guard(lock_);
    return opens_;
}

int FakeDeviceIo::OpenHandles() {
    std::lock_guard<std::mutex> guard(lock_);
    return openHandles_;
}

std::vector<uint32_t> FakeDeviceIo::MembersAsked() {
    std::lock_guard<std::mutex> guard(lock_);
    return membersAsked_;
}

} // namespace usbtest
