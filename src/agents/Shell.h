#pragma once

#include "agents/Agents.h"
#include "platform/Paths.h"
#include "support/Async.h"
#include "support/Expected.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace ringlark {

// Finds and runs the agents' command-line programs the way the user's
// terminal would: a desktop application does not inherit the search path
// that the login profile sets up. No instances; the lookup cache is shared
// by the whole process.
class Shell {
public:
    Shell() = delete;

    struct Result {
        int exitCode = 0;
        // Standard output and error as written, UTF-8 repaired and trimmed.
        QString output;
        bool operator==(const Result&) const = default;
    };

    // What a lookup or run depends on outside the process.
    struct Context {
        QString loginShell = platform::loginShell();
        SteadyClock clock = systemSteadyClock();
        // Package-manager directories probed between ~/.local/bin and ~/.npm-global/bin.
        QStringList systemBinDirectories{QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin")};
        // How long the login shell may take to answer `command -v`.
        std::chrono::milliseconds lookupBound{10000};
    };

    // How long a lookup, found or not, is answered from the cache.
    static constexpr std::chrono::duration<double> cacheLifetime{30.0};

    // Runs `executable` with `arguments` through the login shell, with HOME set
    // to `home`. The child runs on a pool thread; the caller suspends until it
    // ends. A program that is missing or not executable comes back as the
    // shell's non-zero status and message; only a shell that cannot start at
    // all fails, with `commandFailed`.
    static QCoro::Task<Expected<Result, AgentError>> run(QString executable, QStringList arguments, QString home,
                                                         QString loginShell = platform::loginShell());

    // The path of program `name` (e.g. "claude"), cached for `cacheLifetime`
    // per home and name, negative answers included. Thread-safe; may block
    // on the login shell when the cache misses.
    static std::optional<QString> find(const QString& name, const QString& home, const QStringList& extra,
                                       const Context& context);
    static std::optional<QString> find(const QString& name, const QString& home, const QStringList& extra);

    // The uncached search behind `find`: ~/.local/bin, the system directories,
    // ~/.npm-global/bin, then `extra`, and finally `command -v` in the login shell.
    static std::optional<QString> locate(const QString& name, const QString& home, const QStringList& extra,
                                         const Context& context);
};

} // namespace ringlark
