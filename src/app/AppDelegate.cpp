#include "app/AppDelegate.h"

#include "model/AppModel.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ringlark {

namespace {

const QString setupShownKey = QStringLiteral("setupShown");

} // namespace

AppDelegate::AppDelegate(AppModel& model, Windows& windows, Options options, QObject* parent)
    : QObject(parent), m_model(model), m_windows(windows), m_options(std::move(options))
{
}

bool AppDelegate::isTestHost()
{
    return qEnvironmentVariableIsSet("RINGLARK_UNDER_TEST");
}

bool AppDelegate::claimSingleInstance()
{
    m_instance = new SingleInstance(m_options.runtimeDirectory, this);
    if (m_instance->claim() == SingleInstance::Outcome::alreadyRunning)
        return false;
    connect(m_instance, &SingleInstance::reopenRequested, this, &AppDelegate::reopen);
    return true;
}

void AppDelegate::start()
{
    m_model.start();
    QSettings settings;
    // Asked before any poll cycle has completed, so needsSetup is still true
    // and the window opens at every launch.
    if (settings.value(setupShownKey, false).toBool() && !m_model.needsSetup())
        return;
    settings.setValue(setupShownKey, true);
    m_setupTask = makeTaskHandle();
    openSetupSoon(QPointer<AppDelegate>(this), m_setupTask, m_options.setupDelay);
}

QCoro::Task<> AppDelegate::openSetupSoon(QPointer<AppDelegate> self, TaskHandle handle,
                                          std::chrono::milliseconds delay)
{
    co_await sleepFor(delay, handle);
    if (!self || handle->isCancelled())
        co_return;
    co_await self->m_model.poll();
    if (!self || handle->isCancelled())
        co_return;
    self->m_windows.show(Windows::Kind::setup);
}

void AppDelegate::reopen()
{
    // Without a tray the setup window is the way in: always bring it up.
    if (m_windows.standalone() || !m_windows.anyVisible())
        m_windows.show(Windows::Kind::setup);
}

void AppDelegate::terminate()
{
    if (m_setupTask)
        m_setupTask->cancel();
    // Cancels the poll loop, ends the model's children and stops the daemon;
    // a second call does nothing.
    m_model.shutDown();
}

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[0], &byte, 1);
}

} // namespace

void quitOnSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char byte;
        [[maybe_unused]] auto n = ::read(signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

} // namespace ringlark
