// Runs burnwright-cli and the simulator tool as child processes in a test
// folder of their own: a simulated writer bus in a state file, the program's
// settings file and logs beside it, and a private claim folder.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path);

// The settings file as sections of keys; false when a line is neither a
// section header, a key with its value, nor blank, or the last line is cut.
bool ParseSettings(const std::string& text,
                   std::map<std::string, std::map<std::string, std::string>>& sections);

class CliFolder {
public:
    explicit CliFolder(const std::string& name); // a fresh folder, bus with writer 0
    ~CliFolder();
    CliFolder(const CliFolder&) = delete;
    CliFolder& operator=(const CliFolder&) = delete;

    const fs::path& Path() const { return folder_; }
    // The programs started from now on wait in real time (the writer model
    // too), for tests that act while the program waits; virtual time, in
    // which every wait passes at once, otherwise.
    void UseRealTime() { realTime_ = true; }
    fs::path StateFile() const { return folder_ / "bus.state"; }

    // The simulator tool on the state file; its exit status and output.
    int Sim(const std::string& args, std::string* output = nullptr) const;
    // Takes every chip of writer `member` out and puts a blank one in.
    void FreshChips(int member) const;

    // Starts burnwright-cli with `args`, standard output into `outFile`,
    // standard error into a pipe the caller reads (StderrFd).
    pid_t Start(const std::vector<std::string>& args, const fs::path& outFile, int* stderrFd) const;
    // Starts it with standard input, output and error on pipes of the caller.
    pid_t StartPiped(const std::vector<std::string>& args, int* inFd, int* outFd, int* errFd) const;
    // Runs it to the end: its exit code (-1 when killed) and standard error.
    int Run(const std::vector<std::string>& args, std::string* err = nullptr) const;

    // The settings file's counters; false when the file does not parse.
    bool Counters(long& ok, long& fail) const;

private:
    // The environment of a started program.
    std::vector<std::string> Environment() const;

    fs::path folder_;
    bool realTime_ = false;
};

// Reads `fd` until `bytes` bytes arrived or it ends; the bytes read.
std::string ReadUpTo(int fd, size_t bytes);
// Reads `fd` up to and with the next line break (or its end); the line
// without the break. False at the end of `fd` before any byte.
bool ReadLine(int fd, std::string& line);
// Reads lines of `fd` until one holds `text` (or `fd` ends); everything read.
std::string ReadUntil(int fd, const std::string& text);
// Reads `fd` to its end.
std::string ReadAll(int fd);
// Waits for `pid`; its exit code, or -1 when a signal ended it.
int Reap(pid_t pid);

} // namespace clitest
