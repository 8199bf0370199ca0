// The state file: every writer on the bus with its chips, buffers,
// information memory, counters and firmware, as versioned text. Writing
// goes to a temporary file that replaces the old one only when complete; a
// file that is broken or cut short is refused with the reason and never
// written over.
#pragma once

#include "sim/WriterState.h"

#include <string>
#include <vector>

namespace sim {

inline constexpr int kStateFileVersion = 1;

struct SavedWriter {
    WriterConfig config;
    WriterState state;
    bool plugged = true;
};

std::string FormatState(const std::vector<SavedWriter>& writers);
// False with the reason (and line) in `error` for anything but a whole,
// well-formed file of a version this program reads.
bool ParseState(const std::string& text, std::vector<SavedWriter>& writers, std::string& error);

bool WriteStateFile(const std::string& path, const std::vector<SavedWriter>& writers,
                    std::string& error);
// `exists` tells apart a missing file (no error, nothing read) from one that
// cannot be used.
bool ReadStateFile(const std::string& path, std::vector<SavedWriter>& writers, bool& exists,
                   std::string& error);

} // namespace sim
