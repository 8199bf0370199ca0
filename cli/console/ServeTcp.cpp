// `serve --listen`: the station's protocol for one TCP client at a time. The
// client proves the shared token on its first line; every line is capped,
// a silent client is disconnected, a client that never reads is dropped
// before its answers pile up, and any further client is refused at once.
#include "cli/console/ServeTcp.h"

#include "cli/console/Interrupt.h"
#include "cli/console/TokenGate.h"
#include "core/Log.h"
#include "port/LocalTime.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <ostream>

namespace cli {

#ifdef _WIN32

int OpenListener(const ServeOptions&, std::ostream& err) {
    err << "burnwright-cli: serve --listen is not offered on Windows; serve on standard input, "
           "or reach the station through an SSH tunnel to a Linux station.\n";
    return -1;
}

int RunServeTcp(Station&, int, const ServeOptions&, const std::string&, std::ostream&) {
    return kExitUsage;
}

#else

namespace {

using nlohmann::json;
using Steady = std::chrono::steady_clock;

// Answers waiting for a client that never reads are capped at this.
constexpr size_t kMaxPendingOutput = 1024 * 1024;
constexpr int kPollMs = 100;

void Log(const std::string& text) {
    core::C_LogFunc log;
    log.SetEnabled(1);
    const port::LocalTime t = port::GetLocalTime();
    log.Write(core::Format("\nserve %04d-%02d-%02d %02d:%02d:%02d %s", t.year, t.month, t.day,
                           t.hour, t.minute, t.second, text.c_str()));
}

bool SplitListen(const std::string& listen, std::string& host, std::string& port) {
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size())
        return false;
    host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return port.find_first_not_of("0123456789") == std::string::npos && port.size() <= 5;
}

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

std::string AddressText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    port = ntohs(v6.sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// The address alone, which the throttle counts by.
std::string HostOf(const std::string& address) {
    return address.substr(0, address.rfind(':'));
}

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Best effort, never blocking: a line for a client that is sent away.
void SendAndClose(int fd, const json& doc) {
    const std::string line = doc.dump() + "\n";
    [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    ::close(fd);
}

bool WritePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << "\n";
        if (!out.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The connected client.
struct Client {
    int fd = -1;
    uint64_t serial = 0;
    std::string address;
    bool authenticated = false;
    bool closing = false; // close once the answers written so far are out
    std::string in, out;
    int awaiting = 0; // answers the station still owes
    int refused = 0;  // other connections refused meanwhile
    Steady::time_point lastActivity;
};

} // namespace

int OpenListener(const ServeOptions& options, std::ostream& err) {
    std::string host, port;
    if (!SplitListen(options.listen, host, port)) {
        err << "burnwright-cli: --listen takes HOST:PORT (port 0: any free port), not \""
            << options.listen << "\".\n";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        err << "burnwright-cli: --listen " << options.listen << ": no such address.\n";
        return -1;
    }
    const bool loopback = IsLoopback(found->ai_addr);
    if (!loopback && !options.allowRemote) {
        ::freeaddrinfo(found);
        err << "burnwright-cli: --listen " << options.listen
            << " is not a loopback address; a station listens on the network only with "
               "--allow-remote (and then better behind an SSH tunnel or a TLS terminator).\n";
        return -1;
    }
    if (!loopback)
        err << "burnwright-cli: WARNING: listening on " << options.listen
            << ", beyond this machine. The traffic, the token included, is not encrypted: "
               "reach the station through an SSH tunnel or a TLS terminator instead where "
               "you can.\n";
    const int listener = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool bound = listener >= 0 && ::bind(listener, found->ai_addr, found->ai_addrlen) == 0 &&
                       ::listen(listener, 8) == 0;
    ::freeaddrinfo(found);
    if (!bound) {
        err << "burnwright-cli: cannot listen on " << options.listen << ": " << std::strerror(errno)
            << ".\n";
        if (listener >= 0)
            ::close(listener);
        return -1;
    }
    SetNonBlocking(listener);
    return listener;
}

int RunServeTcp(Station& station, int listener, const ServeOptions& options,
                const std::string& token, std::ostream& err) {
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closeListener{listener};
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &localLength);
    const std::string where = AddressText(local);
    const int actualPort = std::stoi(where.substr(where.rfind(':') + 1));
    if (!options.portFile.empty() && !WritePortFile(options.portFile, actualPort)) {
        err << "burnwright-cli: cannot write --port-file " << options.portFile << ".\n";
        return kExitUsage;
    }
    err << "burnwright-cli: serving on " << where << " (port " << actualPort
        << "), one client at a time; its first line must be the token.\n"
        << std::flush;
    // Answers come from the station's worker; the loop is woken to send them.
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return kExitUsage;
    std::mutex outboxLock;
    std::deque<std::pair<uint64_t, std::string>> outbox;
    auto replyTo = [&](uint64_t serial) {
        return [&, serial](const std::string& line) {
            {
                std::lock_guard<std::mutex> hold(outboxLock);
                outbox.emplace_back(serial, line);
            }
            [[maybe_unused]] const ssize_t woken = ::write(wake[1], "x", 1);
        };
    };

    TokenThrottle throttle(port::SystemClock());
    Client client;
    uint64_t serials = 0;
    uint64_t droppedFor = 0;
    const auto idle = std::chrono::seconds(options.idleSeconds);
    auto closeClient = [&](const char* why) {
        if (client.fd < 0)
            return;
        err << "burnwright-cli: client " << client.address << " " << why;
        if (client.refused > 0)
            err << " (" << client.refused << " other connections were refused meanwhile)";
        err << ".\n";
        ::close(client.fd);
        client = Client{};
    };

    int code = kExitOk;
    while (!Interrupted()) {
        pollfd fds[3] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}, {client.fd, 0, 0}};
        if (client.fd >= 0)
            fds[2].events =
                short((client.closing ? 0 : POLLIN) | (client.out.empty() ? 0 : POLLOUT));
        ::poll(fds, client.fd >= 0 ? 3 : 2, kPollMs);
        const auto now = Steady::now();

        if (fds[1].revents & POLLIN) {
            char drain[256];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
            std::lock_guard<std::mutex> hold(outboxLock);
            for (auto& [serial, line] : outbox) {
                if (client.fd >= 0 && serial == client.serial) {
                    client.out += line + "\n";
                    --client.awaiting;
                } else if (serial != droppedFor) {
                    // Its client has gone: the work is done and recorded,
                    // only the answers are lost (said once per client).
                    droppedFor = serial;
                    err << "burnwright-cli: answers for a client that has gone are dropped: "
                        << line.substr(0, 200) << "\n";
                }
            }
            outbox.clear();
        }
        if (station.QuitRequested() && (client.fd < 0 || client.out.empty()))
            break;

        if (client.fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && !client.closing) {
            char buffer[4096];
            const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                closeClient(client.awaiting > 0 ? "disconnected before its answer; the command "
                                                  "goes on and its records are kept"
                                                : "disconnected");
                continue;
            }
            if (got > 0) {
                client.lastActivity = now;
                client.in.append(buffer, size_t(got));
            }
            for (size_t newline;
                 !client.closing && (newline = client.in.find('\n')) != std::string::npos;) {
                std::string line = client.in.substr(0, newline);
                client.in.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.size() > options.maxLineBytes) {
                    client.out += ErrorDocument("", kExitUsage, "line too long").dump() + "\n";
                    client.closing = true;
                    break;
                }
                if (!client.authenticated) {
                    std::string given = line;
                    try {
                        const json doc = json::parse(line);
                        if (doc.is_object() && doc.contains("token") && doc["token"].is_string())
                            given = doc["token"];
                    } catch (const json::exception&) {
                    }
                    if (TokenMatches(token, given)) {
                        client.authenticated = true;
                        throttle.Succeeded(HostOf(client.address));
                        client.out += json{{"command", "token"}, {"exitCode", 0}}.dump() + "\n";
                    } else {
                        throttle.Failed(HostOf(client.address));
                        Log("client " + client.address + ": wrong token, disconnected");
                        client.out += ErrorDocument("token", kExitUsage,
                                                    "wrong token; the first line must be the "
                                                    "station's token")
                                          .dump() +
                                      "\n";
                        client.closing = true;
                    }
                    continue;
                }
                if (line.find_first_not_of(" \t") == std::string::npos)
                    continue;
                ++client.awaiting;
                station.Submit(line, client.address, replyTo(client.serial));
            }
            if (!client.closing && client.in.size() > options.maxLineBytes) {
                client.in.clear();
                client.out += ErrorDocument("", kExitUsage, "line too long").dump() + "\n";
                client.closing = true;
            }
        }

        if (client.fd >= 0 && !client.out.empty() && (fds[2].revents & POLLOUT)) {
            const ssize_t sent =
                ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                client.out.erase(0, size_t(sent));
                client.lastActivity = now;
            } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                closeClient("went away before reading its answers");
                continue;
            }
        }
        // After the client's own input, so that one that has just left
        // makes room for the next.
        if (fds[0].revents & POLLIN) {
            for (;;) {
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                const int fd =
                    ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
                if (fd < 0)
                    break;
                const std::string address = AddressText(peer);
                if (const uint64_t wait = throttle.WaitMs(HostOf(address)); wait > 0) {
                    SendAndClose(fd, ErrorDocument("", kExitUsage,
                                                   "too many wrong tokens from this address; try "
                                                   "again in " +
                                                       std::to_string((wait + 999) / 1000) + " s"));
                    continue;
                }
                if (client.fd >= 0) {
                    SendAndClose(fd, ErrorDocument("", kExitNoWriter,
                                                   "the station serves another client (" +
                                                       client.address + "); one client at a time"));
                    // Counted, and said once when the client leaves: a flood
                    // of connections must not flood the log too.
                    ++client.refused;
                    continue;
                }
                SetNonBlocking(fd);
                client = Client{};
                client.fd = fd;
                client.serial = ++serials;
                client.address = address;
                client.lastActivity = now;
                err << "burnwright-cli: client " << address << " connected.\n";
            }
        }

        if (client.fd < 0)
            continue;
        if (client.out.size() > kMaxPendingOutput) {
            closeClient("does not read its answers; dropped");
        } else if (client.closing && client.out.empty()) {
            closeClient("disconnected by the station");
        } else if (now - client.lastActivity > idle && client.awaiting == 0) {
            if (client.out.empty())
                SendAndClose(client.fd,
                             ErrorDocument("", kExitUsage,
                                           "idle for " + std::to_string(options.idleSeconds) +
                                               " s; disconnected"));
            else
                ::close(client.fd);
            err << "burnwright-cli: client " << client.address << " timed out.\n";
            client = Client{};
        }
    }
    if (Interrupted())
        code = InterruptExitCode();
    // Whatever runs stops at its next safe point; its records are kept.
    if (code != kExitOk)
        station.StopAndWait();
    else
        station.WaitIdle();
    std::lock_guard<std::mutex> hold(outboxLock);
    for (auto& [serial, line] : outbox)
        if (client.fd >= 0 && serial == client.serial)
            client.out += line + "\n";
    outbox.clear();
    if (client.fd >= 0) {
        [[maybe_unused]] const ssize_t sent =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        ::close(client.fd);
    }
    ::close(wake[0]);
    ::close(wake[1]);
    return code;
}

#endif

} // namespace cli
