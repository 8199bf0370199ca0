// The station behind `serve`: one kept session (window logic, claimed writer,
// loaded buffer) that takes request lines and answers each with one JSON
// document. Commands run one after the other, in the order they came, on a
// worker thread of the station's own, so the transport keeps reading: `stop`
// reaches a running pass (and drops the commands still waiting), `status`
// answers at once while a command runs.
#pragma once

#include "cli/console/Commands.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

class Station {
public:
    // Where an answer goes; called on the transport's thread for answers
    // given at once, on the worker thread for a command's result.
    using Reply = std::function<void(const std::string& line)>;

    Station(CommonOptions common, std::ostream& err);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Start-up on the writer; the exit code (the station serves even without
    // a writer, and attaches again at the next command).
    int Start();

    // One request line from `client` ("stdin" or an address). `reply` gets
    // exactly one answer for it, now or when its command has ended.
    void Submit(const std::string& line, const std::string& client, Reply reply);

    // A command runs or waits.
    bool Busy();
    // `quit` was answered: every command before it has ended.
    bool QuitRequested();
    // Waits until every command taken has ended and been answered.
    void WaitIdle();
    // Stops a running command at its next safe point, drops the waiting
    // ones, and waits for the end.
    void StopAndWait();

    // Commands that may wait behind a running one; more are refused.
    static constexpr size_t kMaxWaiting = 64;

private:
    struct Job {
        nlohmann::json request;
        std::string command;
        std::string client;
        Reply reply;
    };
    void Work();
    void Answer(const Job& job, nlohmann::json doc);
    nlohmann::json Run(const nlohmann::json& request, const std::string& command);
    nlohmann::json Status();
    bool EnsureAttached(nlohmann::json& doc);
    void Audit(const std::string& client, const std::string& command,
               const nlohmann::json& request);

    CommonOptions common_;
    std::ostream& err_;
    Output io_;
    std::unique_ptr<Session> session_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;
    bool busy_ = false;      // a job is being run
    bool answering_ = false; // its answer is being written (idle already for status)
    std::string running_;
    bool quit_ = false;
    bool quitting_ = false; // quit is waiting its turn
    bool stopAsked_ = false;
    bool ending_ = false;
    std::thread worker_;
};

// A request's error answer: the command (when known), exit code and reason.
nlohmann::json ErrorDocument(const std::string& command, int code, const std::string& error);

} // namespace cli
