#pragma once

#include <QString>

#include <cstdint>

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

// Prepares the log for one launch: creates the directory, rotates an
// oversized log, and checks that the log can be appended to. Gives the path
// to append the child's output to, or the null device when the log cannot be
// opened. Never fails.
QString openLog(const DaemonFiles& files);

} // namespace ringlark
