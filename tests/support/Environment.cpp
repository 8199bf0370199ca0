#include "tests/support/Environment.h"

#include <cstdlib>

namespace testsupport {
namespace {

void Set(const std::string& name, const char* value) {
#ifdef _WIN32
    // An empty value removes the variable from the C runtime's environment.
    ::_putenv_s(name.c_str(), value ? value : "");
#else
    if (value)
        ::setenv(name.c_str(), value, 1);
    else
        ::unsetenv(name.c_str());
#endif
}

} // namespace

ScopedEnvironment::ScopedEnvironment(const std::string& name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name.c_str()))
        previous_ = old;
    Set(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    Set(name_, previous_ ? previous_->c_str() : nullptr);
}

} // namespace testsupport
