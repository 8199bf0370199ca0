#include "cli/console/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace cli {
namespace {

std::atomic<int> firstSignal{0};
std::atomic<int> count{0};

void Write(const char* text) {
#ifndef _WIN32
    // write() is safe in a signal handler; streams are not.
    [[maybe_unused]] const auto written = ::write(2, text, std::strlen(text));
#else
    (void)text;
#endif
}

void OnSignal(int number) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    if (count.fetch_add(1) > 0) {
        Write("burnwright-cli: second interrupt: ending now.\n");
        std::_Exit(128 + firstSignal.load());
    }
    Write("burnwright-cli: interrupted: stopping at the next safe point (interrupt again to end "
          "at once).\n");
#ifdef _WIN32
    // The handler is reset to the default once it ran.
    std::signal(number, OnSignal);
#endif
}

} // namespace

void InstallInterruptHandlers() {
#ifndef _WIN32
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read or open returns, so nothing waits for
    // ever on a pipe or a FIFO after the first interrupt.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A controller that closes its end mid-answer must not end the station.
    signal(SIGPIPE, SIG_IGN);
#else
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#endif
}

bool Interrupted() {
    return firstSignal.load() != 0;
}

int InterruptExitCode() {
    const int number = firstSignal.load();
    return number == 0 ? 0 : 128 + number;
}

const char* InterruptName() {
    switch (firstSignal.load()) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case 0:
        return "";
    default:
        return "signal";
    }
}

} // namespace cli
