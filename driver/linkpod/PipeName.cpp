#include "driver/linkpod/PipeName.h"

#include "driver/linkpod/LinkPodInterface.h"

namespace driver::linkpod {
namespace {

bool IsDigit(uint16_t c) {
    return c >= '0' && c <= '9';
}

} // namespace

PipeNameResult ResolvePipeName(const uint16_t* name, uint32_t length, uint32_t pipeCount) {
    if (length == 0) {
        return {PipeNameKind::Device, 0};
    }
    uint32_t end = length;
    while (end > 0 && !IsDigit(name[end - 1])) {
        --end;
    }
    if (end == 0) {
        return {PipeNameKind::Invalid, 0};
    }
    uint32_t start = end - 1;
    while (start > 0 && IsDigit(name[start - 1])) {
        --start;
    }
    // Read most significant digit first; once the value reaches the limit it
    // can only grow, so long runs cannot overflow.
    uint32_t number = 0;
    for (uint32_t i = start; i < end; ++i) {
        number = number * 10 + static_cast<uint32_t>(name[i] - '0');
        if (number >= kPipeNumberLimit) {
            return {PipeNameKind::Invalid, 0};
        }
    }
    if (number >= pipeCount) {
        return {PipeNameKind::Invalid, 0};
    }
    return {PipeNameKind::Pipe, number};
}

} // namespace driver::linkpod
