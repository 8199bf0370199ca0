// Writing a whole file so that it is on the disk, not only in the system's
// cache, when the call returns: for files that replace others by renaming.
#pragma once

#include <string>
#include <string_view>

namespace port {

// Creates or truncates `path`, writes `bytes` and flushes them to the disk.
// False with the system's reason in `error` when any step fails.
bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string& error);

} // namespace port
