// Read-modify-write of a small text file that several threads and processes
// share. Each rewrite holds an in-process mutex and an exclusive flock on the
// file itself while it reads, edits and replaces it, so no update is lost.
//
// The file is replaced by a rename, which gives a new inode: a waiter that got
// the lock on the old inode sees that the path now names another file and
// locks again. A symlinked file is rewritten at the end of its link chain, so
// the link stays; the new file keeps the old one's mode (and owner, where the
// system allows it). Everything is flushed to disk before the rename.
#pragma once

#include <functional>
#include <string>

namespace port::posix {

enum class Edit {
    Write,     // store the edited text
    Unchanged, // nothing to store; the file stays as it is
};

// Calls `edit` with the file's current contents (empty when it does not exist
// yet) while holding the locks, and replaces the file with the edited text.
// Returns false, leaving the file as it was, when the file cannot be read, is
// marked read-only (no owner write bit) or cannot be replaced.
bool RewriteExclusively(const std::string& path, const std::function<Edit(std::string&)>& edit);

// The file a path names once symlinks are followed; `path` itself when it is
// no link. A chain longer than the system allows yields the last link reached.
std::string FollowLinks(const std::string& path);

} // namespace port::posix
