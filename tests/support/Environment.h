// An environment variable set for one scope, the previous value put back.
#pragma once

#include <optional>
#include <string>

namespace testsupport {

class ScopedEnvironment {
public:
    // A null `value` removes the variable for the scope.
    ScopedEnvironment(const std::string& name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace testsupport
