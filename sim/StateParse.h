// Reads a state file in pieces: a first pass checks its version line, its end
// line and the check sum over everything before it, a second reads the
// entries. Neither holds the whole text, so reading a file takes the memory
// of the writers it holds and little more.
#pragma once

#include "sim/StateFile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Where a state file is read from: pieces in order from the start.
class StateSource {
public:
    virtual ~StateSource() = default;
    // Up to `length` bytes into `data`; `got` is 0 at the end. False when
    // reading fails.
    virtual bool Read(char* data, size_t length, size_t& got) = 0;
    // Starts again from the first byte.
    virtual bool Rewind() = 0;
};

// Where one writer's entries lie in the text: from its "writer" line to the
// next writer or the end line.
struct WriterSection {
    uint32_t member = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
};

struct ParseOutcome {
    bool ok = false;
    // The source failed: `error` is empty then.
    bool readFailed = false;
    // "line N: why" for a text that is no whole, well-formed state file.
    std::string error;
};

// Reads the file into `writers`; with `writers` null it only checks the file,
// as strictly, and holds none of the writers' bytes. `sections`, when given,
// gets each writer's place in the text.
ParseOutcome ParseStateFrom(StateSource& source, std::vector<SavedWriter>* writers,
                            std::vector<WriterSection>* sections = nullptr,
                            WireSettings* wire = nullptr);
// The same over text in memory, read in place.
ParseOutcome ParseStateText(std::string_view text, std::vector<SavedWriter>* writers,
                            std::vector<WriterSection>* sections = nullptr,
                            WireSettings* wire = nullptr);

} // namespace sim
