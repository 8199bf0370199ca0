// The rule that turns the name opened below the device into a pipe number.
// Free of kernel calls so that it can be checked on its own.
#pragma once

#include <stdint.h>

namespace driver::linkpod {

enum class PipeNameKind { Device, Pipe, Invalid };

struct PipeNameResult {
    PipeNameKind kind;
    uint32_t pipe;
};

// `name` holds `length` UTF-16 code units (no terminator needed). An empty name
// opens the device; otherwise the last run of decimal digits is the pipe
// number, which must lie below `pipeCount` and below the naming limit.
PipeNameResult ResolvePipeName(const uint16_t* name, uint32_t length, uint32_t pipeCount);

} // namespace driver::linkpod
