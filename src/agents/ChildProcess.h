#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class QThreadPool;

namespace ringlark {

// One run of a child program that must never outlive its bound or the
// application. The child leads a session of its own, so whatever it starts
// (a login profile's helpers, a network client's workers) goes down with it.
struct ChildRequest {
    enum class Errors { discard, merge, forward };

    QString program;
    QStringList arguments;
    // Empty: the application's own environment.
    std::optional<QProcessEnvironment> environment;
    std::chrono::milliseconds bound{10000};
    Errors errors = Errors::discard;
    // Standard input from the null device, or the application's own.
    bool forwardInput = false;
};

struct ChildOutcome {
    enum class End {
        exited,     // ran to its end; `exitCode` holds its status
        crashed,    // ended by a signal not of our making
        notStarted, // `message` says why
        overran,    // killed when its bound passed
        stopped,    // killed because the application quits
    };

    End end = End::notStarted;
    int exitCode = 0;
    QByteArray output; // standard output, with standard error when merged
    QString message;
};

// Runs the child to its end and blocks the calling thread meanwhile: call it
// on `ChildProcesses::pool()`, never on the GUI thread.
ChildOutcome runChild(const ChildRequest& request);

// Every child started through `runChild` that is still alive.
class ChildProcesses {
public:
    ChildProcesses() = delete;

    // Kills every live child with its process group, and refuses to start
    // new ones from then on. Safe from any thread; called at quit.
    static void killAll();
    static bool stopping();

    // The threads that wait for children. The application does not wait for
    // them at exit, so a hung child can never hold up a quit.
    static QThreadPool* pool();

    // Lets a test process start children again after `killAll`.
    static void resetForTests();
};

} // namespace ringlark
