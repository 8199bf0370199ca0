// Runs the mutex holder as a real second process for the duration of a test.
#pragma once

#include <memory>
#include <string>

namespace usbtest {

class MutexHolderProcess {
public:
    // Starts the holder on `name` and waits for its answer.
    explicit MutexHolderProcess(const std::string& name);
    ~MutexHolderProcess(); // closes its input and waits for it to end
    MutexHolderProcess(const MutexHolderProcess&) = delete;
    MutexHolderProcess& operator=(const MutexHolderProcess&) = delete;

    bool Holds() const { return answer_ == "held"; }
    const std::string& Answer() const { return answer_; }

private:
    struct Child; // the platform's process and the pipe to its input
    std::unique_ptr<Child> child_;
    std::string answer_;
};

} // namespace usbtest
