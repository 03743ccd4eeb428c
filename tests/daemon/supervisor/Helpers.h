#pragma once

#include "support/Async.h"

#include <QCoroTask>
#include <QFile>
#include <QStringList>

namespace ringlark::test {

// Records the supervision log lines as "info: text" / "critical: text" while alive.
struct DaemonLogCapture {
    static inline QStringList lines;
    static inline QtMessageHandler previous = nullptr;

    DaemonLogCapture()
    {
        lines.clear();
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (qstrcmp(context.category, "com.ringlark.mac.daemon") != 0)
                return previous(type, context, text);
            lines << (type == QtInfoMsg ? "info: " : type == QtCriticalMsg ? "critical: " : "other: ") + text;
        });
    }
    ~DaemonLogCapture() { qInstallMessageHandler(previous); }
};

inline QCoro::Task<bool> answer(bool answered, std::chrono::milliseconds delay = {})
{
    if (delay.count() > 0)
        co_await sleepFor(delay);
    co_return answered;
}

inline void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

} // namespace ringlark::test
