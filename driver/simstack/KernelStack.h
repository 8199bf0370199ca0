// The simulated writers reached through the writer's driver: one user-mode
// kernel with LINKPOD loaded, each plugged writer of a sim::Bus a device on the
// kernel's simulated USB bus, started by the Plug and Play manager. The bus's
// plug and unplug events become device arrival, and surprise removal followed
// by removal once the last handle on the device is closed.
//
// The program's transfers go through the kernel's file-object layer, LINKPOD's
// pipes and the bus's URBs to the writer, so every simulated run exercises the
// driver. Interface paths and member indexes are the writers' own, as the
// direct backend gives them.
//
// Only one kernel can exist in a process at a time: constructing a second
// stack while one lives throws std::runtime_error. Handles keep the kernel
// alive until they are closed. The verifier's findings are kept (Findings)
// and written to the standard error as they happen.
#pragma once

#include "driver/kshim/Host.h"
#include "port/DeviceIo.h"
#include "sim/Bus.h"

#include <memory>
#include <string>
#include <vector>

namespace driver::simstack {

class KernelStack : public port::DeviceIo {
public:
    // Waits on the bus's clock: on a manual clock a transfer that nothing can
    // complete ends by its time limit at once.
    struct Options {
        // The driver's MaximumTransferSize parameter: LINKPOD hands longer
        // transfers to the bus in stages of at most this many bytes (0: the
        // parameter is not set, one stage per transfer).
        uint32_t maximumTransferSize = 0;
    };
    explicit KernelStack(std::shared_ptr<sim::Bus> bus) : KernelStack(std::move(bus), Options()) {}
    KernelStack(std::shared_ptr<sim::Bus> bus, const Options& options);
    ~KernelStack() override;
    KernelStack(const KernelStack&) = delete;
    KernelStack& operator=(const KernelStack&) = delete;

    std::string Name() const override { return "sim"; }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<port::DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;

    const std::shared_ptr<sim::Bus>& GetBus() const;

    // Blocks until every bus event so far has been handled and the kernel's
    // threads are idle (arrival and removal notifications delivered).
    void Settle();

    // What the Plug and Play manager has done so far, over all writers.
    struct Lifecycle {
        uint64_t arrivals = 0;         // devices added and started
        uint64_t surpriseRemovals = 0; // devices pulled while started
        uint64_t removals = 0;         // devices removed (after surprise removal or at the end)
    };
    Lifecycle Stats() const;
    // Bulk transfers the kernel's USB bus has received, over all devices.
    uint64_t BusTransfers() const;
    // What the driver holds of the kernel now: pool blocks, IRPs, MDLs, work
    // items (Settle first for a count that no request in flight changes).
    kshim::LiveObjects Live() const;
    // The verifier's findings since the stack started.
    std::vector<kshim::Violation> Findings() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace driver::simstack
