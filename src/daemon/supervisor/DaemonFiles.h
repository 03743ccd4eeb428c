#pragma once

#include <QString>

#include <cstdint>
#include <utility>

namespace ringlark {

// Where the helper lives and where it keeps its files.
struct DaemonFiles {
    QString executable;      // the helper inside the bundle
    QString configDirectory; // shared with the daemon

    QString logFile() const;    // the daemon's output
    QString rotatedLog() const; // the one older generation of the log
    QString pidFile() const;    // written by the daemon

    // The layout for a bundle directory (…/Ringlark.app) and a home directory.
    static DaemonFiles at(const QString& bundle, const QString& home);

    // The running application's own locations, computed once.
    static const DaemonFiles& standard();

    bool operator==(const DaemonFiles&) const = default;
};

// A log strictly larger than this is rotated before the next launch.
inline constexpr std::int64_t logRotationThreshold = 5'242'880;

// Where one launch of the daemon writes its output: the log, open for
// appending, or the null device. Owns its descriptor; move-only.
class LogTarget {
public:
    LogTarget() = default; // the null device
    explicit LogTarget(int fd) : m_fd(fd) {}
    LogTarget(LogTarget&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    LogTarget& operator=(LogTarget&& other) noexcept;
    ~LogTarget();

    // The open log, or -1 for the null device.
    int fd() const { return m_fd; }
    bool isNullDevice() const { return m_fd < 0; }

private:
    int m_fd = -1;
};

// Prepares the log for one launch. The directory is created 0700 (and
// tightened if it is looser); a directory that is a symbolic link or belongs
// to someone else is refused with one log line. An oversized log is rotated.
// The log is opened 0600 without following a symbolic link, so the daemon's
// output never lands in a file someone else chose. Never fails: anything
// amiss gives the null device.
LogTarget openLog(const DaemonFiles& files);

} // namespace ringlark
