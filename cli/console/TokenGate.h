// The shared secret a TCP client of `serve` must prove before any command,
// and the slow-down of addresses that keep failing it.
#pragma once

#include "port/Clock.h"

#include <cstdint>
#include <map>
#include <string>

namespace cli {

// The token file's first line, without its line break and surrounding
// blanks. A missing file is created (owner-only, a fresh random token) when
// `create` is set, and `created` tells so. False, with a message, when there
// is no usable token.
bool LoadToken(const std::string& path, bool create, std::string& token, bool& created,
               std::string& message);

// Equal, in a time that depends on neither the position of the first
// difference nor how much of the guess is right.
bool TokenMatches(const std::string& expected, const std::string& given);

// Per client address: the first failures cost nothing, each further one
// shuts the address out for twice as long as the last (10 s, 20 s, ... up to
// 5 minutes); a success forgets the address. Time comes from `clock`.
class TokenThrottle {
public:
    static constexpr int kFreeFailures = 3;
    static constexpr uint64_t kFirstLockMs = 10 * 1000;
    static constexpr uint64_t kLongestLockMs = 5 * 60 * 1000;
    static constexpr size_t kMaxAddresses = 4096;

    explicit TokenThrottle(port::Clock& clock) : clock_(clock) {}

    // Milliseconds the address must still wait; 0 when it may try now.
    uint64_t WaitMs(const std::string& address);
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        uint64_t lockedUntil = 0;
        uint64_t lastSeen = 0;
    };
    port::Clock& clock_;
    std::map<std::string, Entry> entries_;
};

} // namespace cli
