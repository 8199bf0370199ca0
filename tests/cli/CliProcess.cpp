#include "tests/cli/CliProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace clitest {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

// The program's argument and environment vectors, built before the fork: the
// child only duplicates descriptors and execs.
class ExecLine {
public:
    ExecLine(const std::vector<std::string>& args, std::vector<std::string> environment)
        : environment_(std::move(environment)), argv_{BURNWRIGHT_CLI} {
        argv_.insert(argv_.end(), args.begin(), args.end());
        for (auto& entry : environment_)
            envp_.push_back(entry.data());
        envp_.push_back(nullptr);
        for (auto& arg : argv_)
            raw_.push_back(arg.data());
        raw_.push_back(nullptr);
    }
    [[noreturn]] void Exec() {
        ::execve(raw_[0], raw_.data(), envp_.data());
        ::_exit(127);
    }

private:
    std::vector<std::string> environment_;
    std::vector<std::string> argv_;
    std::vector<char*> envp_;
    std::vector<char*> raw_;
};

} // namespace

bool ParseSettings(const std::string& text,
                   std::map<std::string, std::map<std::string, std::string>>& sections) {
    if (!text.empty() && text.back() != '\n')
        return false;
    std::istringstream in(text);
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return false;
            section = line.substr(1, line.size() - 2);
            sections[section];
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || section.empty())
            return false;
        sections[section][line.substr(0, equals)] = line.substr(equals + 1);
    }
    return true;
}

CliFolder::CliFolder(const std::string& name)
    : folder_(fs::temp_directory_path() /
              ("burnwright-" + name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "claims");
    fs::copy_file(BURNWRIGHT_PROFILE, folder_ / "OTPBodyProfile.xml");
    Sim("add-writer 0");
}

CliFolder::~CliFolder() {
    fs::remove_all(folder_);
}

int CliFolder::Sim(const std::string& args, std::string* output) const {
    const fs::path out = folder_ / "sim.txt";
    const std::string command = std::string(BURNWRIGHT_SIM) + " " + StateFile().string() + " " +
                                args + " >" + out.string() + " 2>&1";
    const int status = std::system(command.c_str());
    if (output)
        *output = ReadFile(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CliFolder::FreshChips(int member) const {
    Sim("fresh-chips " + std::to_string(member));
}

pid_t CliFolder::Start(const std::vector<std::string>& args, const fs::path& outFile,
                       int* stderrFd) const {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    ExecLine line(args, Environment());
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        line.Exec();
    }
    ::close(pipeFds[1]);
    *stderrFd = pipeFds[0];
    return pid;
}

std::vector<std::string> CliFolder::Environment() const {
    const std::map<std::string, std::string> own{
        {"BURNWRIGHT_WRITER", "sim:" + StateFile().string()},
        {"BURNWRIGHT_PROGRAM_PATH", (folder_ / "burnwright").string()},
        {"BURNWRIGHT_LOCK_DIR", (folder_ / "claims").string()},
        // The program's waits and the writer model's pass at once, unless
        // the test acts while the program waits.
        {"BURNWRIGHT_SIM_TIME", realTime_ ? "real" : "virtual"}};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!own.count(text.substr(0, text.find('='))))
            environment.push_back(text);
    }
    for (const auto& [key, value] : own)
        environment.push_back(key + "=" + value);
    return environment;
}

pid_t CliFolder::StartPiped(const std::vector<std::string>& args, int* inFd, int* outFd,
                            int* errFd) const {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0)
        return -1;
    ExecLine line(args, Environment());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        line.Exec();
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    *inFd = in[1];
    *outFd = out[0];
    *errFd = err[0];
    return pid;
}

int CliFolder::Run(const std::vector<std::string>& args, std::string* err) const {
    int fd = -1;
    const pid_t pid = Start(args, folder_ / "out.txt", &fd);
    const std::string text = ReadAll(fd);
    ::close(fd);
    if (err)
        *err = text;
    return Reap(pid);
}

bool CliFolder::Counters(long& ok, long& fail) const {
    std::map<std::string, std::map<std::string, std::string>> sections;
    if (!ParseSettings(ReadFile(folder_ / "burnwright.ini"), sections))
        return false;
    const auto& general = sections["General"];
    const auto okAt = general.find("OtpCounterOk");
    const auto failAt = general.find("OtpCounterFail");
    if (okAt == general.end() || failAt == general.end())
        return false;
    char* end = nullptr;
    ok = std::strtol(okAt->second.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    fail = std::strtol(failAt->second.c_str(), &end, 10);
    return *end == '\0';
}

std::string ReadUpTo(int fd, size_t bytes) {
    std::string text;
    char buffer[256];
    while (text.size() < bytes) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, bytes - text.size()));
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    return text;
}

bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, &c, 1)) == 1 && c != '\n')
        line += c;
    return got == 1 || !line.empty();
}

std::string ReadUntil(int fd, const std::string& text) {
    std::string all, line;
    while (ReadLine(fd, line)) {
        all += line + "\n";
        if (line.find(text) != std::string::npos)
            return all;
    }
    return all;
}

std::string ReadAll(int fd) {
    return ReadUpTo(fd, std::string::npos);
}

int Reap(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace clitest
