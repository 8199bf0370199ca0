// Any sequence of writes and reads on the two pipes: the writer never
// crashes, never delivers more than asked, and still answers a type query
// after a power cycle.
#include "port/Clock.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    port::ManualClock clock;
    auto bus = std::make_shared<sim::Bus>(clock);
    auto writer = bus->AddWriterWithChips();
    sim::SimDeviceIo io(bus);
    const std::string path = writer->InterfacePath();
    size_t at = 0;
    // Each step: one byte of kind and length, then for a write that many bytes.
    while (at + 2 <= size) {
        const bool read = data[at] & 1;
        const size_t length = size_t(data[at + 1]) * ((data[at] & 0x06) + 1) * 8;
        at += 2;
        size_t done = 0;
        if (read) {
            std::vector<uint8_t> buffer(length);
            auto pipe = io.Open(path + "\\PIPE00");
            pipe->Read(buffer.data(), buffer.size(), 1000, done);
            if (done > length)
                std::abort();
        } else {
            const size_t take = std::min(length, size - at);
            io.Open(path + "\\PIPE01")->Write(data + at, take, 1000, done);
            at += take;
        }
    }
    bus->Unplug(0);
    bus->Plug(0);
    const std::vector<uint8_t> query = [] {
        std::vector<uint8_t> q(64, 0);
        q[0] = 0x1B;
        return q;
    }();
    size_t done = 0;
    io.Open(path + "\\PIPE01")->Write(query.data(), query.size(), 0, done);
    uint8_t type = 0;
    if (io.Open(path + "\\PIPE00")->Read(&type, 1, 0, done) != port::DeviceHandle::Outcome::Done)
        std::abort();
    if (type != 7 && type != 0) // 0: a fuzzed update left the boot loader
        std::abort();
    return 0;
}
