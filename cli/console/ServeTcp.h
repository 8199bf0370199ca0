// `serve --listen HOST:PORT`: the station's protocol over TCP.
#pragma once

#include "cli/console/Serve.h"
#include "cli/console/Station.h"

#include <ostream>
#include <string>

namespace cli {

// Checks --listen (a loopback address unless --allow-remote, which warns),
// binds and listens, reports the port (standard error, --port-file). The
// listening socket, or -1 after a message.
int OpenListener(const ServeOptions& options, std::ostream& err);

// Serves `listener` until `quit` or an interrupt; clients must send `token`
// first. The exit code.
int RunServeTcp(Station& station, int listener, const ServeOptions& options,
                const std::string& token, std::ostream& err);

} // namespace cli
