// The state file: every writer on the bus with its chips, buffers,
// information memory, counters and firmware, as versioned text. Writing
// goes to a temporary file that replaces the old one only when complete; a
// file that is broken or cut short is refused with the reason and never
// written over.
#pragma once

#include "sim/WireModel.h"
#include "sim/WriterState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Version 2 writes a buffer that sockets share, and a chip that holds what an
// earlier socket's chip holds, once; version 3 also writes a chip that holds
// the chip image of a buffer as a reference to it. Versions 1 and 2 are
// still read.
inline constexpr int kStateFileVersion = 3;
inline constexpr int kOldestStateFileVersion = 1;
// A state file longer than this is refused unread: a bus of writers whose
// sixteen chips all differ at the largest size takes about 150 MB per writer.
inline constexpr uint64_t kMaxStateFileBytes = 512ull * 1024 * 1024;

struct SavedWriter {
    WriterConfig config;
    WriterState state;
    bool plugged = true;
};

// Whether the state file keeps the same of both: identity, plug, firmware,
// counters, information, chips and buffers (not socket states). Arrays that
// are shared compare at once; others byte by byte.
bool SameKeptState(const SavedWriter& a, const SavedWriter& b);

// The wire timing is written when it is on, and read into `wire` when given.
std::string FormatState(const std::vector<SavedWriter>& writers,
                        const WireSettings* wire = nullptr);
// False with the reason (and line) in `error` for anything but a whole,
// well-formed file of a version this program reads.
bool ParseState(const std::string& text, std::vector<SavedWriter>& writers, std::string& error,
                WireSettings* wire = nullptr);

// Writes through a symbolic link to its target, keeps the file's mode, and
// refuses (leaving it as it is) a file that has no write permission. The new
// text is on the disk before it replaces the old file.
bool WriteStateFile(const std::string& path, const std::vector<SavedWriter>& writers,
                    std::string& error, const WireSettings* wire = nullptr);
// `exists` tells apart a missing file (no error, nothing read) from one that
// cannot be used.
bool ReadStateFile(const std::string& path, std::vector<SavedWriter>& writers, bool& exists,
                   std::string& error, WireSettings* wire = nullptr);

} // namespace sim
