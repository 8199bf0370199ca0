// The writer firmware's own table of record windows, by body code: the bytes
// of the writer buffer where the host places a chip's information record.
// Verify buffer counts them as 0xFF whatever they hold, so a buffer verifies
// with the record of any chip in it.
#pragma once

#include <cstdint>

namespace sim {

struct RecordWindow {
    uint32_t start = 0;
    uint32_t end = 0; // one past the last byte; start == end: no window
};

// The window of body code 1 to 34; an empty window for any other code.
RecordWindow RecordWindowOf(uint8_t bodyCode);

} // namespace sim
