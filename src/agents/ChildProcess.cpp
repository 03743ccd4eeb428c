#include "agents/ChildProcess.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QThreadPool>

#include <csignal>
#include <unistd.h>

namespace ringlark {

namespace {

struct Registry {
    QMutex lock;
    QSet<qint64> groups;
    bool stopping = false;
};

// Never destroyed, like the pool whose threads use it.
Registry& registry()
{
    static auto* instance = new Registry;
    return *instance;
}

void killGroup(qint64 leader)
{
    // The child called setsid(), so its pid names its process group.
    ::kill(-static_cast<pid_t>(leader), SIGKILL);
}

// False when the application began to quit meanwhile; the caller then kills it.
bool enrol(qint64 leader)
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    if (r.stopping)
        return false;
    r.groups.insert(leader);
    return true;
}

void release(qint64 leader)
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    r.groups.remove(leader);
}

} // namespace

ChildOutcome runChild(const ChildRequest& request)
{
    ChildOutcome outcome;
    if (ChildProcesses::stopping()) {
        outcome.message = QStringLiteral("The application is quitting.");
        return outcome;
    }

    QProcess process;
    process.setProgram(request.program);
    process.setArguments(request.arguments);
    if (request.environment)
        process.setProcessEnvironment(*request.environment);
    switch (request.errors) {
    case ChildRequest::Errors::discard:
        process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case ChildRequest::Errors::merge:
        // One pipe for both streams keeps them interleaved as written.
        process.setProcessChannelMode(QProcess::MergedChannels);
        break;
    case ChildRequest::Errors::forward:
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        break;
    }
    if (request.forwardInput)
        process.setInputChannelMode(QProcess::ForwardedInputChannel);
    else
        process.setStandardInputFile(QProcess::nullDevice()); // never a terminal to hang on
    process.setChildProcessModifier([] { ::setsid(); });

    process.start();
    if (!process.waitForStarted(-1)) {
        outcome.message = process.errorString();
        return outcome;
    }
    const qint64 leader = process.processId();
    if (!enrol(leader))
        killGroup(leader);

    // Waiting keeps reading the pipes, so a chatty child never stalls on a full one.
    const QDeadlineTimer deadline(request.bound);
    const bool finished = process.waitForFinished(static_cast<int>(std::max<qint64>(0, deadline.remainingTime())));
    if (!finished) {
        killGroup(leader);
        process.waitForFinished(2000);
        outcome.end = ChildProcesses::stopping() ? ChildOutcome::End::stopped : ChildOutcome::End::overran;
    } else if (process.exitStatus() == QProcess::CrashExit) {
        outcome.end = ChildProcesses::stopping() ? ChildOutcome::End::stopped : ChildOutcome::End::crashed;
    } else {
        outcome.end = ChildOutcome::End::exited;
    }
    release(leader);
    outcome.exitCode = process.exitCode();
    outcome.output = process.readAllStandardOutput();
    return outcome;
}

void ChildProcesses::killAll()
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    r.stopping = true;
    for (const qint64 leader : std::as_const(r.groups))
        killGroup(leader);
}

bool ChildProcesses::stopping()
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    return r.stopping;
}

QThreadPool* ChildProcesses::pool()
{
    // Never deleted: a pool's destructor waits for its threads.
    static QThreadPool* const threads = [] {
        auto* created = new QThreadPool;
        created->setMaxThreadCount(4);
        return created;
    }();
    return threads;
}

void ChildProcesses::resetForTests()
{
    Registry& r = registry();
    QMutexLocker locker(&r.lock);
    r.stopping = false;
}

} // namespace ringlark
