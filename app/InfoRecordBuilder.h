// The 14-byte information record a chip carries: security byte, image
// checksum, program and writer versions, date and code number.
#pragma once

#include "app/UpdateCheck.h"
#include "engine/Packets.h"
#include "port/LocalTime.h"

#include <cstdint>
#include <string>

namespace app {

struct InfoRecordInputs {
    std::string bodyName; // the body list's text, with its blanks
    bool securityEnabled = false;
    std::string securityDigit;
    uint32_t imageCheckSum = 0;
    std::string version; // the settings' "Version"; the program version when empty
    WriterVersion writerVersion{};
    port::LocalTime today;
    bool codeNumberEnabled = false;
    std::string codeNumberText; // the code number edit's text
};

engine::InfoRecord BuildInfoRecord(const InfoRecordInputs& in);

// Whether the body (its list name, blanks included, any letter case) carries
// the information record in its image.
bool IsInfoRecordBody(const std::string& paddedName);

} // namespace app
