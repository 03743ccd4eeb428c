#pragma once

// A private Xvfb and child programs on it, for the screen tests and bench.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ringlark::test {

// A child process whose stdout is read line by line.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }

    // `extraFd`, when given, is handed to the child as descriptor 3. `environment`
    // entries "NAME=value" set a variable, a bare "NAME" removes it.
    bool start(const std::vector<std::string>& argv, const std::string& display, int extraFd = -1, bool quiet = false,
               const std::vector<std::string>& environment = {})
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (extraFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
        if (quiet)
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> changes = environment;
        changes.insert(changes.begin(), display.empty() ? std::string("DISPLAY") : "DISPLAY=" + display);
        auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            bool replaced = false;
            for (const auto& change : changes)
                replaced = replaced || nameOf(change) == nameOf(*e);
            if (!replaced)
                env.emplace_back(*e);
        }
        for (const auto& change : changes)
            if (change.find('=') != std::string::npos)
                env.push_back(change);
        std::vector<char*> envp, args;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> copy = argv;
        for (auto& a : copy)
            args.push_back(a.data());
        args.push_back(nullptr);
        const int rc = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            m_pid = -1;
            return false;
        }
        m_out = out[0];
        return true;
    }

    // The next line of output, or nothing after `timeout` or at the end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto newline = m_buffer.find('\n'); newline != std::string::npos) {
                std::string line = m_buffer.substr(0, newline);
                m_buffer.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_out < 0)
                return std::nullopt;
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[512];
            const ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        if (m_out >= 0)
            close(m_out);
        m_out = -1;
    }

    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

// Xvfb on a display number it picks itself (-displayfd), so parallel tests
// never race for one.
class Xvfb {
public:
    static bool available() { return access("/usr/bin/Xvfb", X_OK) == 0 || std::system("command -v Xvfb >/dev/null 2>&1") == 0; }

    bool start(const std::string& screen = "1280x1024x24")
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return false;
        const bool started = m_server.start(
            {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, "", ready[1], true);
        close(ready[1]);
        if (!started) {
            close(ready[0]);
            return false;
        }
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{ready[0], POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0)
                continue;
            char chunk[16];
            const ssize_t n = read(ready[0], chunk, sizeof chunk);
            if (n <= 0)
                break;
            number.append(chunk, static_cast<std::size_t>(n));
            if (number.find('\n') != std::string::npos)
                break;
        }
        close(ready[0]);
        if (number.empty() || number.find('\n') == std::string::npos)
            return false;
        m_display = ":" + number.substr(0, number.find('\n'));
        return true;
    }

    void stop() { m_server.stop(); }
    const std::string& display() const { return m_display; }
    pid_t pid() const { return m_server.pid(); }

private:
    Child m_server;
    std::string m_display;
};

} // namespace ringlark::test
