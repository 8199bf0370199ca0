// The commands of burnwright-cli. Each runs the window logic (or, for
// `writers`, `bodies` and `image`, the layer below it), prints its result on
// `out` (text, or one JSON document with --json) and returns the exit code.
#pragma once

#include "cli/console/Session.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct ImageArgs {
    int body = 0;
    std::string file;
};

struct ProgramArgs {
    ImageArgs image;
    Operations ops;
    std::optional<std::vector<int>> sockets;
    bool load = false;
    int stressCount = 0; // 0: one pass
    int stressInterval = 1500;
    std::string logCsv;
};

struct Output {
    std::ostream& out;
    std::ostream& err;
};

// "1-4,7" as socket numbers; false for anything else.
bool ParseSocketList(const std::string& text, std::vector<int>& sockets);

int RunWriters(const CommonOptions& common, Output io);
int RunBodies(const CommonOptions& common, Output io);
int RunLoad(const CommonOptions& common, const ImageArgs& image,
            const std::optional<std::vector<int>>& sockets, Output io);
int RunProgram(const CommonOptions& common, const ProgramArgs& args, Output io);
int RunReadOtp(const CommonOptions& common, int body,
               const std::optional<std::vector<int>>& sockets, const std::string& outFile,
               Output io);
// get, set, get-otp, set-otp
int RunInfo(const CommonOptions& common, const std::string& what, int body, Output io);
int RunCounters(const CommonOptions& common, bool reset, const ImageArgs& image, Output io);
// check, update
int RunFirmware(const CommonOptions& common, const std::string& what, Output io);

} // namespace cli
