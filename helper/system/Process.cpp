#include "helper/system/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace ringlark::helper {

std::optional<std::string> findExecutable(std::string_view name, std::string_view pathVariable)
{
    auto usable = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string_view::npos)
        return usable(std::string(name)) ? std::optional(std::string(name)) : std::nullopt;
    std::size_t start = 0;
    while (start <= pathVariable.size()) {
        const auto end = std::min(pathVariable.find(':', start), pathVariable.size());
        const auto directory = pathVariable.substr(start, end - start);
        if (!directory.empty()) {
            const std::string candidate = std::string(directory) + "/" + std::string(name);
            if (usable(candidate))
                return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<Child> spawnReading(const std::vector<std::string>& argv, ErrorOutput errors)
{
    int pipeEnds[2];
    if (argv.empty() || ::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return std::nullopt;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    if (errors == ErrorOutput::discard)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    else if (errors == ErrorOutput::capture)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeEnds[1]);
    if (failed != 0) {
        ::close(pipeEnds[0]);
        return std::nullopt;
    }
    return Child{pid, pipeEnds[0]};
}

int waitForChild(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult runCaptured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, ErrorOutput errors)
{
    RunResult result;
    auto child = spawnReading(argv, errors);
    if (!child)
        return result;
    result.started = true;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd watched{child->output, POLLIN, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue; // the deadline check ends the loop
        const auto count = ::read(child->output, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        if (result.output.size() < (1u << 20))
            result.output.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(child->output);

    // Output closed: the child is about to end, but give it only until the deadline.
    while (!result.timedOut) {
        int status = 0;
        const pid_t done = ::waitpid(child->pid, &status, WNOHANG);
        if (done == child->pid) {
            result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return result;
        }
        if (done < 0 && errno != EINTR)
            return result;
        if (Clock::now() >= deadline)
            result.timedOut = true;
        else
            ::usleep(2000);
    }
    ::kill(child->pid, SIGKILL);
    result.exitStatus = waitForChild(child->pid);
    return result;
}

} // namespace ringlark::helper
