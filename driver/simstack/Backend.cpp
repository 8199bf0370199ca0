#include "driver/simstack/Backend.h"

#include "driver/simstack/KernelStack.h"
#include "sim/SimDeviceIo.h"

namespace driver::simstack {

void RegisterDeviceIoBackends() {
    sim::RegisterDeviceIoBackend();
    port::RegisterDeviceIoBackend("sim", [](const std::string& argument) {
        return std::make_unique<KernelStack>(sim::MakeBackendBus(argument));
    });
}

void RegisterDeviceIoBackends(std::shared_ptr<sim::Bus> bus) {
    sim::RegisterDeviceIoBackend(bus);
    port::RegisterDeviceIoBackend("sim",
                                  [bus](const std::string&) -> std::unique_ptr<port::DeviceIo> {
                                      return std::make_unique<KernelStack>(bus);
                                  });
}

std::shared_ptr<sim::Bus> SimulatedBus(port::DeviceIo* io) {
    if (auto* kernel = dynamic_cast<KernelStack*>(io))
        return kernel->GetBus();
    if (auto* direct = dynamic_cast<sim::SimDeviceIo*>(io))
        return direct->GetBus();
    return nullptr;
}

} // namespace driver::simstack
