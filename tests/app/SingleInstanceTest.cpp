#include "app/SingleInstance.h"

#include "support/EventLoop.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <gtest/gtest.h>

#include <QLockFile>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ringlark {
namespace {

using namespace std::chrono_literals;

TEST(SingleInstanceTest, ALockAndSocketLeftByADeadCopyDoNotStopTheNextLaunch)
{
    QTemporaryDir dir;
    // A copy that crashed: its lock names a dead process, and its socket file stays.
    const pid_t child = ::fork();
    if (child == 0) {
        QLockFile lock(dir.filePath("com.ringlark.mac.lock"));
        lock.tryLock(0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(dir.filePath("com.ringlark.mac.socket"));
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 1);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(QFile::exists(dir.filePath("com.ringlark.mac.lock")));
    ASSERT_TRUE(QFile::exists(dir.filePath("com.ringlark.mac.socket")));

    SingleInstance next(dir.path());
    EXPECT_EQ(next.claim(1000ms), SingleInstance::Outcome::first);

    // And a copy after it asks it to reopen and stands down. That copy blocks in
    // claim() while the first answers from its event loop, so it runs on another thread.
    QSignalSpy reopened(&next, &SingleInstance::reopenRequested);
    auto later = QtConcurrent::run([path = dir.path()] { return SingleInstance(path).claim(2000ms); });
    EXPECT_TRUE(reopened.wait(3000));
    later.waitForFinished();
    EXPECT_EQ(later.result(), SingleInstance::Outcome::alreadyRunning);
    EXPECT_EQ(reopened.count(), 1);
}

} // namespace
} // namespace ringlark
