#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringlark::helper {

// The first executable file called `name` in the directories of `pathVariable`.
std::optional<std::string> findExecutable(std::string_view name, std::string_view pathVariable);

struct Child {
    pid_t pid = -1;
    int output = -1; // read end of the child's standard output
};

// Starts argv[0] (a path) with standard input from /dev/null and standard
// output into a pipe. The child inherits no other descriptor (the daemon's
// listening socket above all), default signal handling and no blocked signals;
// its standard error is discarded, shared with ours, or read with the output.
enum class ErrorOutput { discard, share, capture };
std::optional<Child> spawnReading(const std::vector<std::string>& argv, ErrorOutput errors);

// Exit status of a finished child: its code, or 128 + the signal that ended it.
int waitForChild(pid_t pid);

struct RunResult {
    bool started = false;
    bool timedOut = false;
    int exitStatus = -1;
    std::string output;
};

// Runs a program to its end, killing it when `timeout` passes first.
RunResult runCaptured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                      ErrorOutput errors = ErrorOutput::discard);

} // namespace ringlark::helper
