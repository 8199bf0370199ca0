// Read-modify-write of a small text file that several threads and processes
// share. Each rewrite holds a lock that every thread and process takes for the
// same file while it reads, edits and replaces it, so no update is lost. The
// new text is flushed to disk in a temporary file beside the old one, which
// then replaces the old one in one step, so a crash never leaves it half
// written.
//
// POSIX: the lock is an in-process mutex and an exclusive flock on the file
// itself; the rename gives a new inode, so a waiter that got the lock on the
// old inode sees that the path now names another file and locks again. A
// symlinked file is rewritten at the end of its link chain, so the link stays;
// the new file keeps the old one's mode (and owner, where the system allows it).
// Windows: the lock is a named mutex of the file's full path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace port {

enum class Edit {
    Write,     // store the edited text
    Unchanged, // nothing to store; the file stays as it is
    Failed,    // the edit could not be made; the file stays as it is, the rewrite fails
};

// No file this program shares is larger than this; what goes on past it (a
// device that never ends) is refused instead of read until memory runs out.
inline constexpr size_t kMaxSharedFileBytes = size_t{1} << 30;

// Calls `edit` with the file's current contents (empty when it does not exist
// yet) while holding the locks, and replaces the file with the edited text.
// Returns false, leaving the file as it was, when the file cannot be read
// (also when it holds more than `maxBytes`), is marked read-only or cannot be
// replaced.
bool RewriteExclusively(const std::string& path, const std::function<Edit(std::string&)>& edit,
                        size_t maxBytes = kMaxSharedFileBytes);

// The old contents while a rewrite in pieces holds the locks.
class RewriteInput {
public:
    virtual ~RewriteInput() = default;
    // The file's size when the locks were taken (0 when it did not exist).
    virtual uint64_t Size() const = 0;
    // Tells this version of the file from any other: a rewrite that finds
    // the identity it wrote itself finds the file as it left it. Empty when
    // the file did not exist.
    virtual std::string Identity() const = 0;
    // Reads `length` bytes at `offset`; false when they cannot all be read.
    virtual bool ReadAt(uint64_t offset, char* data, size_t length) = 0;
};

// The new contents, appended to the temporary file that replaces the old one.
class RewriteOutput {
public:
    virtual ~RewriteOutput() = default;
    // False when the bytes cannot be written; the rewrite then fails.
    virtual bool Write(std::string_view bytes) = 0;
};

// RewriteExclusively for files too large to hold whole in memory: `edit`
// reads the old contents and writes the new ones in pieces, under the same
// locks. With Edit::Unchanged the file stays as it was, whatever was written.
// `written`, when given, gets the identity of the new file.
bool RewriteExclusivelyInPieces(const std::string& path,
                                const std::function<Edit(RewriteInput&, RewriteOutput&)>& edit,
                                std::string* written = nullptr);

// Reads the whole file into `text`, sharing it with a rewrite that replaces it
// meanwhile. False (and `text` empty) when it does not exist, cannot be read
// or holds more than `maxBytes`.
bool ReadSharedFile(const std::string& path, std::string& text,
                    size_t maxBytes = kMaxSharedFileBytes);

} // namespace port
