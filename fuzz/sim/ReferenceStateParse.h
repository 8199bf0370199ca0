// The state file reader as it was before it read in pieces (versions 1 and 2).
#pragma once

#include "sim/StateFile.h"

#include <string>
#include <vector>

namespace fuzzref {

bool ReferenceParseState(const std::string& text, std::vector<sim::SavedWriter>& writers,
                         std::string& error, sim::WireSettings* wire = nullptr);

} // namespace fuzzref
