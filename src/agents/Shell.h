#pragma once

#include "agents/Agents.h"
#include "platform/Paths.h"
#include "support/Async.h"
#include "support/Expected.h"

#include <QCoroTask>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace ringlark {

// Finds and runs the agents' command-line programs the way the user's
// terminal would: a desktop application does not inherit the search path
// that the login profile sets up. The login shell runs once to report its
// environment; programs are then looked up in that environment's PATH and
// run with it. No instances; the caches are shared by the whole process.
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
        // How long the login shell may take to report its environment.
        std::chrono::milliseconds lookupBound{10000};
        // How long one run of an agent's program may take.
        std::chrono::milliseconds runBound{60000};
    };

    // How long a lookup, found or not, is answered from the cache.
    static constexpr std::chrono::duration<double> cacheLifetime{30.0};
    // A login shell that failed to report its environment is asked again after this.
    static constexpr std::chrono::duration<double> retryLifetime{300.0};

    // Shells differ in the syntax they accept; these are the families we speak.
    enum class Flavor { posix, fish, csh };
    static Flavor flavorOf(const QString& shell);
    // Arguments that make a shell of that flavour run its login profile and
    // print the resulting environment between two markers.
    static QStringList environmentArguments(Flavor flavor);
    // The environment printed between the markers, whatever the profile
    // printed around it; none without both markers.
    static std::optional<QProcessEnvironment> parseEnvironment(const QByteArray& output);

    // The environment the login shell sets up for `home`, with HOME = `home`.
    // Captured once per shell and home; a shell that is missing, fails or
    // overruns `lookupBound` (it is then killed with its process group) gives
    // way to /bin/sh, and that to the application's own environment. Blocks
    // on a cache miss: call off the GUI thread. Thread-safe.
    static QProcessEnvironment loginEnvironment(const QString& home, const Context& context);

    // Runs `executable` with `arguments` in the login environment, with HOME
    // set to `home`. The child runs on a background thread; the caller
    // suspends until it ends. A program that is missing or not executable
    // comes back as a non-zero status and message; a run that cannot start,
    // overruns `runBound` or is stopped by a quit fails with `commandFailed`.
    static QCoro::Task<Expected<Result, AgentError>> run(QString executable, QStringList arguments, QString home,
                                                         Context context);

    // The path of program `name` (e.g. "claude"), cached for `cacheLifetime`
    // per home and name, negative answers included. Thread-safe; may block
    // on the login shell when the cache misses: call off the GUI thread.
    static std::optional<QString> find(const QString& name, const QString& home, const QStringList& extra,
                                       const Context& context);

    // The uncached search behind `find`: ~/.local/bin, the system directories,
    // ~/.npm-global/bin, then `extra`, and finally the login environment's PATH.
    static std::optional<QString> locate(const QString& name, const QString& home, const QStringList& extra,
                                         const Context& context);

    // The first executable file `name` in the directories of a PATH value.
    static std::optional<QString> searchPath(const QString& name, const QString& path);
};

} // namespace ringlark
