// A mutex known by name across processes, used as a claim: whoever creates the
// name first holds it until it closes the mutex or its process ends, and every
// other creator, in this process or another, is told the name already exists.
#pragma once

#include <memory>
#include <string>

namespace port {

class NamedMutex {
public:
    enum class Outcome {
        Created,       // this object now holds the name
        AlreadyExists, // another holder has it; this object holds nothing
        Failed,        // the system refused (no room for the lock file, ...)
    };

    NamedMutex();
    ~NamedMutex(); // releases the name if held
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Never blocks. Releases any name held before.
    Outcome Create(const std::string& name);
    void Close();
    bool IsHeld() const;

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

} // namespace port
