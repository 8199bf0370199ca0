// `serve --listen HOST:PORT`: the station's protocol over TCP.
#pragma once

#include "cli/console/Serve.h"
#include "cli/console/Station.h"

#include <ostream>
#include <string>

namespace cli {

// Listens until `quit` or an interrupt; clients must send `token` first.
// The exit code.
int RunServeTcp(Station& station, const ServeOptions& options, const std::string& token,
                std::ostream& err);

} // namespace cli
