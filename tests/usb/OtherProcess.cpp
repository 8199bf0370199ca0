#include "tests/usb/OtherProcess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace usbtest {

struct MutexHolderProcess::Child {
    pid_t pid = -1;
    int input = -1;
};

MutexHolderProcess::MutexHolderProcess(const std::string& name) : child_(new Child) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0)
        return;
    if (::pipe(fromChild) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    const std::string program = BURNWRIGHT_MUTEX_HOLDER;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(name.c_str()), nullptr};
    const int spawned =
        ::posix_spawn(&child_->pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (spawned != 0) {
        child_->pid = -1;
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return;
    }
    child_->input = toChild[1];
    char c;
    while (::read(fromChild[0], &c, 1) == 1 && c != '\n')
        answer_ += c;
    ::close(fromChild[0]);
}

MutexHolderProcess::~MutexHolderProcess() {
    if (child_->input >= 0)
        ::close(child_->input);
    if (child_->pid > 0) {
        int status = 0;
        ::waitpid(child_->pid, &status, 0);
    }
}

} // namespace usbtest
