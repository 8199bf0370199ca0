// Registration of the simulated writers as device I/O backends.
#pragma once

#include "port/DeviceIo.h"
#include "sim/Bus.h"

#include <memory>

namespace driver::simstack {

// Registers "sim" and "sim:STATE_FILE": the writers of a bus made by
// sim::MakeBackendBus, reached through the writer's driver in the user-mode
// kernel (KernelStack); and "sim-direct" with the same selection argument: the
// writers reached in-process, for measuring the writer model alone. Only one
// "sim" backend can live at a time; making a second fails with the reason.
// Programs call this once at start.
void RegisterDeviceIoBackends();
// The same, with every backend made working on `bus` (tests, tools).
void RegisterDeviceIoBackends(std::shared_ptr<sim::Bus> bus);

// The simulated bus behind `io` when it is one of the simulated backends;
// null for a real writer.
std::shared_ptr<sim::Bus> SimulatedBus(port::DeviceIo* io);

} // namespace driver::simstack
