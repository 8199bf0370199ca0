// burnwright-cli serve as a line controller drives it: over a pipe (no token
// needed) and over TCP on a port the server picked itself, with the token,
// one client at a time, a client that disconnects mid-pass, and the inputs a
// hostile or broken client sends. What the answers report is checked
// against the simulated writer's chips and the production record.
#include "tests/cli/CliProcess.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace clitest {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

void Send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
}

json Answer(int fd) {
    std::string line;
    EXPECT_TRUE(ReadLine(fd, line)) << "no answer";
    return line.empty() ? json() : json::parse(line);
}

// Asks `request` and returns the answer to it (answers to `status` sent
// meanwhile are answered at once and come first).
json Ask(int fd, const json& request) {
    Send(fd, request.dump() + "\n");
    return Answer(fd);
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

class CliServeTest : public ::testing::Test {
protected:
    CliServeTest() : folder("serve") {}

    void SetUp() override {
        ASSERT_EQ(folder.Sim("wire off"), 0);
        image = (folder.Path() / "day.bin").string();
        record = (folder.Path() / "record.csv").string();
        ASSERT_EQ(folder.Run({"image", "make", "--body", "12", "--seed", "5", image}), 0);
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            Reap(pid);
        }
        if (drain.joinable())
            drain.join();
        for (int fd : {in, out, err})
            if (fd >= 0)
                ::close(fd);
    }
    // The server's standard error is read all the time, so the server never
    // waits on a full pipe; this waits until it said `text` (or ended).
    std::string ServerSaid(const std::string& text) {
        std::unique_lock<std::mutex> hold(errLock);
        errChanged.wait(hold, [&] { return errEnded || errText.find(text) != std::string::npos; });
        return errText;
    }
    void DrainErrors() {
        drain = std::thread([this] {
            char buffer[4096];
            for (ssize_t got; (got = ::read(err, buffer, sizeof buffer)) > 0;) {
                std::lock_guard<std::mutex> hold(errLock);
                errText.append(buffer, size_t(got));
                errChanged.notify_all();
            }
            std::lock_guard<std::mutex> hold(errLock);
            errEnded = true;
            errChanged.notify_all();
        });
    }
    // A server on a free port of its own choosing; its port.
    int Listen(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--yes",       "serve",
                                      "--listen",    "127.0.0.1:0",
                                      "--port-file", (folder.Path() / "port").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = folder.StartPiped(args, &in, &out, &err);
        DrainErrors();
        startup = ServerSaid("serving on 127.0.0.1:");
        EXPECT_THAT(startup, HasSubstr("serving on 127.0.0.1:"));
        return std::stoi(ReadFile(folder.Path() / "port"));
    }
    std::string Token() {
        std::string line;
        std::getline(std::ifstream(folder.Path() / "burnwright-serve.token"), line);
        return line;
    }
    // The programmed chips the simulated writer holds.
    int ProgrammedChips() {
        std::string shown;
        folder.Sim("show", &shown);
        int count = 0;
        for (size_t at = 0; (at = shown.find(", programmed", at)) != std::string::npos; ++at)
            ++count;
        return count;
    }

    CliFolder folder;
    std::string image, record, startup;
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::thread drain;
    std::mutex errLock;
    std::condition_variable errChanged;
    std::string errText;
    bool errEnded = false;
};

TEST_F(CliServeTest, PipeSessionLoadsOnceAndProgramsChipAfterChip) {
    pid = folder.StartPiped({"--yes", "serve"}, &in, &out, &err);
    DrainErrors();
    auto ask = [&](const json& request) {
        const std::string line = request.dump() + "\n";
        EXPECT_EQ(::write(in, line.data(), line.size()), ssize_t(line.size()));
        return Answer(out);
    };
    json answer = ask({{"command", "open"}, {"body", 12}, {"file", image}, {"id", 7}});
    EXPECT_EQ(answer["exitCode"], 0) << answer;
    EXPECT_EQ(answer["id"], 7);
    answer = ask({{"command", "load"}});
    EXPECT_EQ(answer["bufferLoaded"], true) << answer;
    // Chip after chip on the loaded buffer: sockets 1-8, then 9-16.
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        answer = ask({{"command", "program"},
                      {"sockets", round == 1 ? "1-8" : "9-16"},
                      {"log-csv", record},
                      {"station", "bench-1"}});
        EXPECT_EQ(answer["exitCode"], 0) << answer;
        EXPECT_EQ(answer["counters"]["ok"], 8 * round);
        // No question and no reload: the buffer stayed loaded.
        EXPECT_EQ(answer["messages"], json::array());
        EXPECT_FALSE(answer.contains("load"));
        EXPECT_EQ(ProgrammedChips(), 8 * round);
    }
    answer = ask({{"command", "program"}, {"sockets", ""}});
    EXPECT_EQ(answer["exitCode"], 2);
    EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("not a socket list"));
    answer = ask({{"command", "flash"}});
    EXPECT_EQ(answer["exitCode"], 2);
    const std::string junk = "\x01\xff{not json\n";
    EXPECT_EQ(::write(in, junk.data(), junk.size()), ssize_t(junk.size()));
    EXPECT_EQ(Answer(out)["error"], "not a JSON document");
    answer = ask({{"command", "status"}});
    EXPECT_EQ(answer["bufferLoaded"], true) << answer;
    EXPECT_EQ(answer["counters"]["ok"], 16) << answer;
    EXPECT_EQ(ask({{"command", "quit"}})["command"], "quit");
    EXPECT_EQ(Reap(pid), 0);
    pid = -1;
    std::ifstream lines(record);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        if (count == 0)
            continue;
        EXPECT_THAT(line,
                    ::testing::EndsWith(",OK,OK,OK,-,OK," + std::to_string(count <= 8 ? 8 : 16) +
                                        ",0,1,bench-1"));
    }
    EXPECT_EQ(count, 17); // one header, 8 chips twice
}

TEST_F(CliServeTest, TcpClientProvesTheTokenAndOthersAreRefused) {
    const int port = Listen();
    EXPECT_THAT(startup, HasSubstr("created the token file"));
    const std::string token = Token();
    ASSERT_GE(token.size(), 32u);

    // No token: a command as the first line is refused, and the client sent away.
    int fd = Connect(port);
    json answer = Ask(fd, {{"command", "status"}});
    EXPECT_EQ(answer["error"], "wrong token; the first line must be the station's token");
    std::string rest;
    EXPECT_FALSE(ReadLine(fd, rest)); // disconnected
    ::close(fd);
    fd = Connect(port);
    EXPECT_EQ(Ask(fd, {{"token", token + "x"}})["exitCode"], 2);
    ::close(fd);

    const int controller = Connect(port);
    EXPECT_EQ(Ask(controller, {{"token", token}})["exitCode"], 0);
    const int second = Connect(port);
    answer = Answer(second);
    EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("one client at a time"));
    ::close(second);

    // Junk, then a line longer than any command, which ends the connection.
    Send(controller, std::string("\x00\x01\x02\xfe\n", 5));
    EXPECT_EQ(Answer(controller)["error"], "not a JSON document");
    answer = Ask(controller, {{"command", "open"}, {"body", 12}, {"file", image}});
    EXPECT_EQ(answer["exitCode"], 0) << answer;
    Send(controller, std::string(70 * 1024, 'a'));
    EXPECT_EQ(Answer(controller)["error"], "line too long");
    EXPECT_FALSE(ReadLine(controller, rest));
    ::close(controller);

    // The open was logged with the client's address; the refusals too.
    const std::string log = ReadFile(folder.Path() / "burnwrightLogFunc.txt");
    EXPECT_THAT(log, HasSubstr("client 127.0.0.1:"));
    EXPECT_THAT(log, HasSubstr(": open {\"body\":12,\"command\":\"open\""));
    EXPECT_THAT(log, HasSubstr(": wrong token, disconnected"));
}

TEST_F(CliServeTest, ClientThatLeavesMidPassLosesNoChip) {
    // In real time, so that the pass still runs when the controller leaves.
    folder.UseRealTime();
    ASSERT_EQ(folder.Sim("wire turnaround-ms=0,program-ns-per-byte=30000"), 0);
    const int port = Listen();
    const std::string token = Token();
    int fd = Connect(port);
    ASSERT_EQ(Ask(fd, {{"token", token}})["exitCode"], 0);
    Send(fd, json{{"command", "program"},
                  {"body", 12},
                  {"file", image},
                  {"load", true},
                  {"log-csv", record}}
                     .dump() +
                 "\n");
    // Once the station's progress shows the pass running, the controller
    // goes away.
    EXPECT_THAT(ServerSaid("Pass 1: step 1 of 3: Blank Check"), HasSubstr("Pass 1: step 1 of 3"));
    EXPECT_EQ(Ask(fd, {{"command", "status"}})["running"], "program");
    ::close(fd);

    // The next controller gets in once the station has seen the last one go.
    json welcome;
    for (int attempt = 0; attempt < 1000 && welcome["exitCode"] != 0; ++attempt) {
        fd = Connect(port);
        welcome = Ask(fd, {{"token", token}});
        if (welcome["exitCode"] != 0)
            ::close(fd);
    }
    ASSERT_EQ(welcome["exitCode"], 0) << welcome;
    json status;
    do
        status = Ask(fd, {{"command", "status"}});
    while (status["busy"] == true);
    EXPECT_EQ(status["counters"]["ok"], 16) << ServerSaid("");
    EXPECT_EQ(ProgrammedChips(), 16);
    std::ifstream lines(record);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        ++count;
    EXPECT_EQ(count, 17);
    EXPECT_EQ(Ask(fd, {{"command", "quit"}})["exitCode"], 0);
    EXPECT_EQ(Reap(pid), 0);
    pid = -1;
}

TEST_F(CliServeTest, ClientsThatNeverReadOrNeverSpeakOrGuessAreDropped) {
    const int port = Listen({"--idle-timeout", "1"});
    const std::string token = Token();

    // A client that sends and never reads: the station drops it before its
    // answers pile up, and the next client gets in.
    int greedy = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(greedy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Send(greedy, token + "\n");
    std::string lines;
    for (int i = 0; i < 2048; ++i)
        lines += "x\n";
    bool dropped = false;
    for (int i = 0; i < 2000 && !dropped; ++i)
        dropped = ::send(greedy, lines.data(), lines.size(), MSG_NOSIGNAL) < 0;
    EXPECT_TRUE(dropped) << "the station kept a client that never reads";
    ::close(greedy);
    EXPECT_THAT(ServerSaid("does not read its answers; dropped"),
                HasSubstr("does not read its answers; dropped"));

    // A client that never speaks is timed out.
    const int silent = Connect(port);
    json answer = Answer(silent);
    EXPECT_EQ(answer["error"], "idle for 1 s; disconnected");
    ::close(silent);

    // Guesses: three wrong tokens cost nothing, the fourth shuts the address out.
    for (int guess = 0; guess < 4; ++guess) {
        const int fd = Connect(port);
        EXPECT_EQ(Ask(fd, {{"token", "guess" + std::to_string(guess)}})["exitCode"], 2);
        ::close(fd);
    }
    const int locked = Connect(port);
    answer = Answer(locked);
    EXPECT_THAT(answer["error"].get<std::string>(),
                HasSubstr("too many wrong tokens from this address"));
    ::close(locked);

    ::kill(pid, SIGTERM);
    EXPECT_EQ(Reap(pid), 143);
    pid = -1;
}

TEST_F(CliServeTest, NetworkListeningNeedsItsOptionAndWarns) {
    int fd = -1;
    std::string text;
    pid = folder.StartPiped({"serve", "--listen", "0.0.0.0:0"}, &in, &out, &err);
    text = ReadAll(err);
    EXPECT_EQ(Reap(pid), 2);
    EXPECT_THAT(text, HasSubstr("is not a loopback address"));
    ::close(in), ::close(out), ::close(err);

    const fs::path tokenFile = folder.Path() / "my.token";
    std::ofstream(tokenFile) << "0123456789abcdef0123\n";
    pid = folder.StartPiped({"serve", "--listen", "0.0.0.0:0", "--allow-remote", "--token-file",
                             tokenFile.string(), "--port-file", (folder.Path() / "port").string()},
                            &in, &out, &err);
    text = ReadUntil(err, "serving on");
    EXPECT_THAT(text, HasSubstr("WARNING: listening on 0.0.0.0:0, beyond this machine. The "
                                "traffic, the token included, is not encrypted"));
    fd = Connect(std::stoi(ReadFile(folder.Path() / "port")));
    EXPECT_EQ(Ask(fd, {{"token", "0123456789abcdef0123"}})["exitCode"], 0);
    EXPECT_EQ(Ask(fd, {{"command", "quit"}})["exitCode"], 0);
    ::close(fd);
    EXPECT_EQ(Reap(pid), 0);
    pid = -1;
    EXPECT_FALSE(fs::exists(folder.Path() / "burnwright-serve.token"));
}

} // namespace
} // namespace clitest
