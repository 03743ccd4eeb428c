#pragma once

// The daemon's per-user directory and the files it keeps there, written so
// that no other user and no planted symbolic link can steer them.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper {

// Makes `directory` a private directory of this user: created with mode 0700
// when missing, tightened to 0700 when looser. A symbolic link, anything but a
// directory, or another user's directory is refused: the reason, in one line.
std::optional<std::string> preparePrivateDirectory(const std::filesystem::path& directory);

// Replaces directory/name with `content`, mode 0600: written to a new file of
// its own (never through a link), then renamed over the old one.
bool writeAtomically(const std::filesystem::path& directory, const std::string& name, std::string_view content);

// Reads a small file without following a link; nothing when it is missing,
// a link, not a regular file or larger than `limit`.
std::optional<std::string> readPlainFile(const std::filesystem::path& file, std::size_t limit = 4096);

// Removes a pid file only while it names `pid`: a newer daemon may own it.
void removePidFileIfOurs(const std::filesystem::path& file, pid_t pid);

// 32 random bytes from the kernel as 64 lower-case hex digits; empty if the
// kernel gave none.
std::string newToken();

// Room for a connection per waiting agent: the soft descriptor limit is often
// 1024. Raises it towards `wanted`, never past the hard limit.
void raiseDescriptorLimit(std::size_t wanted);

} // namespace ringlark::helper
