// A record of every transfer on the bus as a pcap file with the Linux usbmon
// link type (220): each transfer is a submission and a completion, bulk, on
// the writer's IN or OUT endpoint, with all its bytes and its time.
#pragma once

#include "sim/Writer.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace sim {

class Capture {
public:
    // Creates (or truncates) `path`; false with `error` set when it cannot.
    bool Open(const std::string& path, std::string& error);
    void Close();
    bool IsOpen() const;
    // A record that cannot be written (disk full) ends the capture: the reason
    // goes once to standard error and stays in Error().
    void Record(const TransferRecord& transfer);
    std::string Error() const;
    ~Capture() { Close(); }

private:
    bool Packet(uint64_t id, char kind, bool in, uint8_t device, int32_t status, uint32_t length,
                const uint8_t* data, uint32_t captured, uint64_t timeMs);
    void Fail();

    mutable std::mutex mutex_;
    // Written under mutex_; a record first looks without it, as most runs
    // capture nothing.
    std::atomic<std::FILE*> file_{nullptr};
    std::string path_;
    std::string error_;
    uint64_t nextId_ = 1;
};

} // namespace sim
