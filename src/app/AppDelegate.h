#pragma once

#include "app/SingleInstance.h"
#include "app/Windows.h"
#include "support/Async.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>

namespace ringlark {

class AppModel;

// The application's life cycle: the single-instance rule, starting the model,
// the setup window at launch, reopening, and the orderly shut-down.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Where the single-instance lock and socket live.
        QString runtimeDirectory = SingleInstance::defaultDirectory();
        // The pause before the first-launch setup window (then one poll cycle).
        std::chrono::milliseconds setupDelay{400};
    };

    AppDelegate(AppModel& model, Windows& windows, Options options, QObject* parent = nullptr);

    // A test run hosts this process: nothing starts, no window opens.
    static bool isTestHost();

    // False when another copy already runs: it has been asked to reopen and
    // this copy should exit without starting anything.
    bool claimSingleInstance();

    // Starts the model and schedules the setup window.
    void start();

    // What the desktop's "launch it again" means: the setup window when no
    // window is visible or there is no tray, nothing otherwise.
    void reopen();

    // Ends the model: poll loop, its children, the daemon (waits up to 2 s).
    void terminate();

private:
    static QCoro::Task<> openSetupSoon(QPointer<AppDelegate> self, TaskHandle handle, std::chrono::milliseconds delay);

    AppModel& m_model;
    Windows& m_windows;
    Options m_options;
    SingleInstance* m_instance = nullptr;
    TaskHandle m_setupTask;
};

// Turns SIGINT, SIGTERM and SIGHUP (a logout) into QCoreApplication::quit on
// the event loop, so they run the same shut-down as the Quit item.
void quitOnSignals();

} // namespace ringlark
