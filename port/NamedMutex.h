// A mutex known by name across processes, used as a claim: whoever creates the
// name first holds it until it closes the mutex or its process ends, and every
// other creator, in this process or another, is told the name already exists.
//
// On POSIX systems a name is a lock file held with flock in one folder for the
// whole machine, so that every process of every user (a service, a program
// started through sudo, an operator's session) sees the same claims:
// - the folder given to the constructor, else (looked up at each Create) the
//   environment variable BURNWRIGHT_LOCK_DIR, else /run/lock (the system's
//   lock folder, root-owned and sticky), or /tmp on systems without it;
// - a folder named by the caller is created when missing, with mode 1777
//   (every user may add lock files, none may remove another's);
// - the folder must be a real directory (not a symlink) owned by root or by
//   this user, and lock files are opened without following symlinks and must
//   be plain files, so a planted link or file cannot redirect a claim;
// - lock files are made readable and writable by everyone (0666, whatever the
//   umask), so any user can take a claim that another user held before;
// - lock files are never removed: removing one would let a second holder lock
//   a new file of the same name while the first still holds the old one.
// Elsewhere the system's named mutexes are used; a folder (given or from
// BURNWRIGHT_LOCK_DIR) only sets them apart: names taken with one folder are
// seen by every program that names the same folder, and by no other.
#pragma once

#include <memory>
#include <string>

namespace port {

class NamedMutex {
public:
    enum class Outcome {
        Created,       // this object now holds the name
        AlreadyExists, // another holder has it; this object holds nothing
        Failed,        // the system refused (unsafe or unusable lock folder, ...); see Error
    };

    NamedMutex(); // in the default folder
    // Lock files in `lockFolder` instead of the default one.
    explicit NamedMutex(const std::string& lockFolder);
    ~NamedMutex(); // releases the name if held
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Never blocks. Releases any name held before.
    Outcome Create(const std::string& name);
    void Close();
    bool IsHeld() const;
    // Why the last Create failed; empty after any other outcome.
    const std::string& Error() const { return error_; }

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string lockFolder_; // empty: the default folder
    std::string error_;
};

// The folder that holds the claim lock files when none is given (POSIX).
std::string DefaultLockFolder();

} // namespace port
