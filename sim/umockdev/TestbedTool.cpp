// burnwright-usb-testbed STATE_FILE COMMAND [ARGUMENT...]: runs COMMAND with
// the writers kept in STATE_FILE presented as USB devices through umockdev, so
// a program started with BURNWRIGHT_WRITER=usb reaches them through libusb.
// The writers' state is written back to the file as it changes. Runs under
// umockdev-wrapper; exits with COMMAND's exit code (125 when the testbed
// cannot start, 127 when COMMAND cannot run).
#include "sim/SimDeviceIo.h"
#include "sim/umockdev/Testbed.h"

#include <cstdio>
#include <exception>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s STATE_FILE COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    try {
        auto bus = sim::MakeBackendBus(argv[1]);
        sim::umock::Testbed testbed(bus);
        const pid_t child = ::fork();
        if (child == 0) {
            ::execvp(argv[2], argv + 2);
            std::perror(argv[2]);
            ::_exit(127);
        }
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0) {
        }
        testbed.Settle();
        if (child < 0)
            return 127;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 125;
    }
}
