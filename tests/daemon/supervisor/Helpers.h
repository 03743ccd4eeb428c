#pragma once

#include "support/Async.h"

#include <QCoroTask>
#include <QFile>
#include <QStringList>

namespace ringlark::test {

// Records the supervision log lines as "info: text" / "critical: text" while alive.
class DaemonLogCapture {
public:
    DaemonLogCapture() { lines().clear(); previous() = qInstallMessageHandler(&handle); }
    ~DaemonLogCapture() { qInstallMessageHandler(previous()); }

    static QStringList& lines()
    {
        static QStringList recorded;
        return recorded;
    }

private:
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (qstrcmp(context.category, "com.ringlark.mac.daemon") == 0)
            lines() << (type == QtInfoMsg ? "info: " : type == QtCriticalMsg ? "critical: " : "other: ") + text;
        else if (previous())
            previous()(type, context, text);
    }
};

inline QCoro::Task<bool> answer(bool answered) { co_return answered; }

inline QCoro::Task<bool> answerLater(bool answered, std::chrono::milliseconds delay)
{
    co_await sleepFor(delay);
    co_return answered;
}

inline void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

inline void writeScript(const QString& path, const QString& body)
{
    writeFile(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace ringlark::test
