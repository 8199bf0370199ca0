#include "cli/console/TokenGate.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cli {
namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string FreshToken() {
    std::random_device random; // the system's entropy source
    std::string hex;
    for (int i = 0; i < 8; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        hex += part;
    }
    return hex;
}

bool CreateTokenFile(const std::string& path, std::string& token, std::string& message) {
    token = FreshToken();
    const std::string line = token + "\n";
#ifndef _WIN32
    // Created owner-only from the start, and never over a file that appeared
    // meanwhile.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        message = "cannot create the token file " + path;
        return false;
    }
    const bool written = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    ::close(fd);
#else
    std::ofstream out(path, std::ios::binary);
    out << line;
    const bool written = static_cast<bool>(out.flush());
#endif
    if (!written) {
        message = "cannot write the token file " + path;
        return false;
    }
    return true;
}

} // namespace

bool LoadToken(const std::string& path, bool create, std::string& token, bool& created,
               std::string& message) {
    created = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 || !create) {
            message = "cannot read the token file " + path;
            return false;
        }
        created = CreateTokenFile(path, token, message);
        return created;
    }
    // Only the first line counts, and only so much of it.
    std::string first(4096, '\0');
    in.getline(first.data(), std::streamsize(first.size()));
    first.resize(size_t(std::max<std::streamsize>(in.gcount(), 0)));
    if (!first.empty() && first.back() == '\0')
        first.pop_back();
    token = Trim(first);
    if (token.size() < 16) {
        message = "the token file " + path +
                  " holds no token of at least 16 characters on its first line";
        return false;
    }
    return true;
}

bool TokenMatches(const std::string& expected, const std::string& given) {
    // Every byte of the expected token is compared, whatever the guess.
    unsigned difference = expected.size() == given.size() ? 0u : 1u;
    for (size_t i = 0; i < expected.size(); ++i) {
        const unsigned char g =
            given.empty() ? 0 : static_cast<unsigned char>(given[i % given.size()]);
        difference |= static_cast<unsigned char>(expected[i]) ^ g;
    }
    return difference == 0 && !expected.empty();
}

uint64_t TokenThrottle::WaitMs(const std::string& address) {
    const auto it = entries_.find(address);
    if (it == entries_.end())
        return 0;
    const uint64_t now = clock_.NowMs();
    return it->second.lockedUntil > now ? it->second.lockedUntil - now : 0;
}

void TokenThrottle::Failed(const std::string& address) {
    const uint64_t now = clock_.NowMs();
    if (entries_.size() >= kMaxAddresses && !entries_.count(address)) {
        // The table stays bounded: the address heard from longest ago goes.
        auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
            return a.second.lastSeen < b.second.lastSeen;
        });
        entries_.erase(oldest);
    }
    Entry& entry = entries_[address];
    entry.lastSeen = now;
    ++entry.failures;
    if (entry.failures <= kFreeFailures)
        return;
    uint64_t lock = kFirstLockMs;
    for (int i = kFreeFailures + 1; i < entry.failures && lock < kLongestLockMs; ++i)
        lock *= 2;
    entry.lockedUntil = now + std::min(lock, kLongestLockMs);
}

void TokenThrottle::Succeeded(const std::string& address) {
    entries_.erase(address);
}

} // namespace cli
