// `burnwright-cli serve`: one window logic, its claimed writer and its loaded
// writer buffer kept alive for a line controller, which sends commands as
// JSON lines and gets one JSON line back for each: on standard input and
// output, or from one TCP client at a time with --listen.
#pragma once

#include "cli/console/Commands.h"

#include <cstdint>
#include <string>

namespace cli {

struct ServeOptions {
    std::string listen;              // HOST:PORT; empty: standard input and output
    bool allowRemote = false;        // listening on a non-loopback address was asked for
    std::string tokenFile;           // empty: "burnwright-serve.token" beside the program
    std::string portFile;            // the port listened on is written there
    uint32_t idleSeconds = 300;      // a client silent this long is disconnected
    size_t maxLineBytes = 64 * 1024; // a longer line is refused and ends the connection
};

// Runs the server until `quit`, the end of standard input (without
// --listen), or an interrupt. The exit code.
int RunServe(const CommonOptions& common, const ServeOptions& options, Output io);

} // namespace cli
