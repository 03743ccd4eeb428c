#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace ringlark {

// One copy per user. The first copy holds a lock file and listens on a local
// socket beside it, both in the user's runtime directory; a later copy finds
// the lock taken, asks the first to reopen, and is told to exit. A copy that
// crashed leaves a lock naming a dead process, which the next launch takes
// over along with the socket name.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Outcome { first, alreadyRunning };

    // `directory` is where lock and socket live (the user's runtime directory
    // in production).
    explicit SingleInstance(QString directory, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Blocks for at most `wait` when another copy runs but does not answer
    // yet (it may still be starting); a second copy has nothing else to do.
    Outcome claim(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));

    QString serverName() const;
    static QString defaultDirectory();

signals:
    // Another copy was launched: the desktop's way of reopening the application.
    void reopenRequested();

private:
    void listen();
    static bool askToReopen(const QString& name, std::chrono::milliseconds wait);

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace ringlark
