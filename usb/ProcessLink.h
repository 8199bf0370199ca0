// The process's one writer link. It is built on first use, on the backend
// that BURNWRIGHT_WRITER selects, and lives until the process ends; the
// writer engine and the firmware updater keep the pointer USBInfo returns.
#pragma once

#include "usb/USBInfo.h"

#include "port/Clock.h"
#include "port/DeviceIo.h"

#include <memory>
#include <string>

namespace usb {

// The process-wide link. Never null.
C_USBInfo* USBInfo();

// Gives the process's link another backend (owned from then on) and clock,
// for tests, tools and demonstrations: the link drops its claim and searches
// again at the next transfer. Only while no transfer runs.
void InstallLinkBackend(std::unique_ptr<port::DeviceIo> io,
                        port::Clock& clock = port::SystemClock());

// Gives the process's link the backend that `selection` names (as
// BURNWRIGHT_WRITER does); when it cannot start, the link has no backend and
// every search reports why.
void SelectLinkBackend(const std::string& selection, port::Clock& clock = port::SystemClock());

// The backend the process's link uses now; null when none could start.
port::DeviceIo* LinkBackend();

} // namespace usb
