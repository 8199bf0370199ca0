#include "sim/Capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kUsbHeaderSize = 64;
constexpr uint32_t kSnapLength = 262144;
// Status values of a completion, as the Linux USB stack reports them.
constexpr int32_t kStatusTimedOut = -110;
constexpr int32_t kStatusBroken = -32;

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
}

} // namespace

bool Capture::Open(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (file_)
        std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = "Cannot create the capture file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> header;
    Put(header, 0xA1B2C3D4, 4); // microsecond timestamps
    Put(header, 2, 2);
    Put(header, 4, 2);
    Put(header, 0, 4); // time zone
    Put(header, 0, 4); // accuracy
    Put(header, kSnapLength, 4);
    Put(header, kLinkTypeUsbLinuxMmapped, 4);
    path_ = path;
    error_.clear();
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
        std::fflush(file_) != 0) {
        error = "Cannot write the capture file \"" + path + "\": " + std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void Capture::Fail() {
    error_ = "Cannot write the capture file \"" + path_ + "\": " + std::strerror(errno) +
             "; the capture stops here";
    std::fprintf(stderr, "burnwright sim: %s\n", error_.c_str());
    std::fclose(file_);
    file_ = nullptr;
}

std::string Capture::Error() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return error_;
}

void Capture::Close() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

bool Capture::IsOpen() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return file_ != nullptr;
}

bool Capture::Packet(uint64_t id, char kind, bool in, uint8_t device, int32_t status,
                     uint32_t length, const uint8_t* data, uint32_t captured, uint64_t timeMs) {
    // Long transfers keep their length but only as many bytes as a record holds.
    captured = std::min<uint32_t>(captured, kSnapLength - kUsbHeaderSize);
    std::vector<uint8_t> p;
    p.reserve(16 + kUsbHeaderSize + captured);
    const uint64_t seconds = timeMs / 1000;
    const uint64_t micros = (timeMs % 1000) * 1000;
    // Record header.
    Put(p, seconds, 4);
    Put(p, micros, 4);
    Put(p, kUsbHeaderSize + captured, 4);
    Put(p, kUsbHeaderSize + captured, 4);
    // The usbmon header.
    Put(p, id, 8);
    p.push_back(uint8_t(kind));
    p.push_back(3); // bulk
    p.push_back(in ? kEndpointIn : kEndpointOut);
    p.push_back(device);
    Put(p, 1, 2);     // bus number
    p.push_back('-'); // no setup packet
    p.push_back(captured ? 0 : (in ? '<' : '>'));
    Put(p, seconds, 8);
    Put(p, micros, 4);
    Put(p, uint32_t(status), 4);
    Put(p, length, 4);
    Put(p, captured, 4);
    Put(p, 0, 8); // setup bytes
    Put(p, 0, 4); // interval
    Put(p, 0, 4); // start frame
    Put(p, 0, 4); // transfer flags
    Put(p, 0, 4); // descriptors
    if (captured)
        p.insert(p.end(), data, data + captured);
    return std::fwrite(p.data(), 1, p.size(), file_) == p.size();
}

void Capture::Record(const TransferRecord& t) {
    if (!file_)
        return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_)
        return;
    const uint64_t id = nextId_++;
    const uint8_t device = uint8_t(t.member + 2);
    int32_t status = 0;
    if (t.outcome == Writer::Outcome::TimedOut)
        status = kStatusTimedOut;
    else if (t.outcome == Writer::Outcome::Failed)
        status = kStatusBroken;
    const uint32_t requested = uint32_t(t.requested);
    const uint32_t done = uint32_t(t.transferred);
    bool ok = false;
    if (t.in)
        ok = Packet(id, 'S', true, device, -115 /* in progress */, requested, nullptr, 0,
                    t.timeMs) &&
             Packet(id, 'C', true, device, status, done, t.data, done, t.timeMs);
    else
        ok = Packet(id, 'S', false, device, -115, requested, t.data, requested, t.timeMs) &&
             Packet(id, 'C', false, device, status, done, nullptr, 0, t.timeMs);
    if (!ok || std::fflush(file_) != 0)
        Fail();
}

} // namespace sim
