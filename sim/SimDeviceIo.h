// The "sim-direct" device I/O backend: the program's view of a simulated bus,
// reached in-process without the writer's driver (the "sim" backend goes
// through the driver in the user-mode kernel; see driver/simstack). Interface paths have the
// platform's shape; "\PIPE00" is the writer's IN pipe (reads), "\PIPE01" its OUT pipe (writes).
#pragma once

#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "sim/Bus.h"

#include <memory>
#include <mutex>
#include <string>

namespace sim {

class SimDeviceIo : public port::DeviceIo {
public:
    explicit SimDeviceIo(std::shared_ptr<Bus> bus);
    ~SimDeviceIo() override;

    std::string Name() const override { return "sim-direct"; }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<port::DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;

    const std::shared_ptr<Bus>& GetBus() const { return bus_; }

private:
    std::shared_ptr<Bus> bus_;
    uint64_t subscription_ = 0;
    std::shared_ptr<std::mutex> handlerLock_;
    std::shared_ptr<EventHandler> handler_;
};

// The bus a "sim" or "sim:STATE_FILE" selection starts with. Without a state
// file: one writer at member 0 with blank chips in all 16 sockets. With one:
// the writers kept in the file, or the default writer when the file does not
// exist yet (the file is then created). Throws std::runtime_error with the
// reason when the file is broken, cut short or of an unknown version; the
// file is left untouched then. With `keep` false the bus is only read from the
// file (which must exist) and never written back.
std::shared_ptr<Bus> MakeBus(const std::string& stateFile, port::Clock& clock = port::SystemClock(),
                             bool keep = true);

// MakeBus for a backend selection's argument (the state file, or empty), and
// when the environment variable BURNWRIGHT_SIM_CAPTURE names a file, every
// transfer recorded there as a pcap capture. Throws std::runtime_error with
// the reason when either cannot start.
std::shared_ptr<Bus> MakeBackendBus(const std::string& argument);

// Registers the "sim-direct" backend: each backend made gets a bus of its own
// from MakeBackendBus. Programs register through
// driver::simstack::RegisterDeviceIoBackends, which registers this one too.
void RegisterDeviceIoBackend();
// Registers "sim-direct" so that every backend made works on `bus` (tests).
void RegisterDeviceIoBackend(std::shared_ptr<Bus> bus);

} // namespace sim
