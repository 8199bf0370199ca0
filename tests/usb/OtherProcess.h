// Runs the mutex holder as a real second process for the duration of a test.
#pragma once

#include <string>
#include <sys/types.h>

namespace usbtest {

class MutexHolderProcess {
public:
    // Starts the holder on `name` and waits for its answer.
    explicit MutexHolderProcess(const std::string& name);
    ~MutexHolderProcess(); // closes its input and reaps it
    MutexHolderProcess(const MutexHolderProcess&) = delete;
    MutexHolderProcess& operator=(const MutexHolderProcess&) = delete;

    bool Holds() const { return answer_ == "held"; }
    const std::string& Answer() const { return answer_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string answer_;
};

} // namespace usbtest
