// The writers the backend lists, who they are, and which one --writer names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct WriterIdentity {
    uint32_t member = 0;
    std::string path;
    bool claimed = false;  // another process holds it: it is not asked anything
    bool answered = false; // it answered the identity queries
    int deviceType = 0;
    int sockets = 0;
    uint32_t serial = 0;
    std::string firmware; // "0009.0001.0000.0000"
};

// The serial number as `writers` prints it and --writer takes it.
std::string SerialText(uint32_t serial);

// Every member of the writer interface class on the process link's backend.
// A free writer is claimed for the moment of its questions and released.
// Empty, with `error` set, when the backend cannot list writers or says why
// it found none.
std::vector<WriterIdentity> ListWriters(std::string& error);

// The member index of `path` on the process link's backend; none when absent.
std::optional<uint32_t> MemberOf(const std::string& path);

enum class WriterLookup {
    Found,
    Unavailable, // no such writer, or another process holds it
    Malformed,   // neither a member index nor a serial number
};

// A member index 0-99 (one or two decimal digits) or a serial number of
// exactly 8 hexadecimal digits.
bool WriterSelectionIsValid(const std::string& selection);

// Resolves --writer (a member index 0-99, or a serial number of 8 hexadecimal
// digits) to a free writer's path; otherwise a message saying why.
WriterLookup ResolveWriter(const std::string& selection, std::string& path, std::string& message);

} // namespace cli
