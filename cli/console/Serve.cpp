#include "cli/console/Serve.h"

#include "cli/console/Interrupt.h"
#include "cli/console/ServeTcp.h"
#include "cli/console/Station.h"
#include "cli/console/TokenGate.h"
#include "port/ProgramPath.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace cli {
namespace {

constexpr const char* kTokenFileName = "burnwright-serve.token";

// Lines from standard input, each at most `cap` bytes, read on a thread of
// their own so that the loop below can also watch for interrupts.
class InputLines {
public:
    explicit InputLines(size_t cap) : cap_(cap) {
        reader_ = std::thread([this] { Read(); });
        // A reader still blocked in a read when the program ends is left
        // to the process's end.
        reader_.detach();
    }

    // The next line (`tooLong` for one past the cap); false at the end of
    // the input, or when `stop` turned true meanwhile.
    bool Next(std::string& line, bool& tooLong, const std::function<bool()>& stop) {
        std::unique_lock<std::mutex> hold(state_->lock);
        while (state_->lines.empty() && !state_->ended) {
            if (stop())
                return false;
            state_->changed.wait_for(hold, std::chrono::milliseconds(50));
        }
        if (state_->lines.empty())
            return false;
        line = std::move(state_->lines.front().first);
        tooLong = state_->lines.front().second;
        state_->lines.pop_front();
        state_->changed.notify_all();
        return true;
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::pair<std::string, bool>> lines;
        bool ended = false;
    };

    void Read() {
        const std::shared_ptr<State> state = state_;
        std::string line;
        bool tooLong = false;
        for (int c; (c = std::cin.rdbuf()->sbumpc()) != EOF;) {
            if (c != '\n') {
                if (line.size() < cap_)
                    line += static_cast<char>(c);
                else
                    tooLong = true;
                continue;
            }
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::unique_lock<std::mutex> hold(state->lock);
            // A controller far ahead of the station waits here.
            state->changed.wait(hold, [&] { return state->lines.size() < 256; });
            state->lines.emplace_back(std::move(line), tooLong);
            state->changed.notify_all();
            line.clear();
            tooLong = false;
        }
        std::lock_guard<std::mutex> hold(state->lock);
        state->ended = true;
        state->changed.notify_all();
    }

    size_t cap_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread reader_;
};

int ServeStandardInput(Station& station, const ServeOptions& options, Output io) {
    std::mutex outputLock;
    auto reply = [&](const std::string& line) {
        std::lock_guard<std::mutex> hold(outputLock);
        io.out << line << "\n" << std::flush;
    };
    io.err << "burnwright-cli: serving on standard input; one JSON answer per line on standard "
              "output.\n";
    InputLines input(options.maxLineBytes);
    std::string line;
    bool tooLong = false;
    while (!station.QuitRequested() &&
           input.Next(line, tooLong, [&] { return Interrupted() || station.QuitRequested(); })) {
        if (tooLong) {
            reply(ErrorDocument("", kExitUsage, "line too long").dump());
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        station.Submit(line, "stdin", reply);
    }
    if (Interrupted()) {
        station.StopAndWait();
        return InterruptExitCode();
    }
    // The end of the input, or quit: what was asked for still runs to its end.
    station.WaitIdle();
    return Interrupted() ? InterruptExitCode() : kExitOk;
}

} // namespace

int RunServe(const CommonOptions& common, const ServeOptions& options, Output io) {
    std::string token;
    int listener = -1;
    if (!options.listen.empty()) {
        // The address is checked before anything is created or claimed.
        listener = OpenListener(options, io.err);
        if (listener < 0)
            return kExitUsage;
        const bool ownFile = options.tokenFile.empty();
        const std::string path =
            ownFile ? port::ModuleFolder() + kTokenFileName : options.tokenFile;
        bool created = false;
        std::string message;
        if (!LoadToken(path, ownFile, token, created, message)) {
            io.err << "burnwright-cli: " << message << ".\n";
            return kExitUsage;
        }
        if (created)
            io.err << "burnwright-cli: created the token file " << path
                   << " (readable by its owner only); a TCP client's first line must be the "
                      "token it holds.\n";
    }
    Station station(common, io.err);
    if (const int code = station.Start(); code != kExitOk)
        io.err << "burnwright-cli: serving without a writer for now (exit code " << code
               << "); each command tries to attach again.\n";
    if (!options.listen.empty())
        return RunServeTcp(station, listener, options, token, io.err);
    return ServeStandardInput(station, options, io);
}

} // namespace cli
