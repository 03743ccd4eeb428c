#pragma once

#include <QCoroTask>
#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace ringlark::test {

// Records the supervision log lines while alive.
class DaemonLogCapture {
public:
    struct Line {
        QtMsgType type;
        QString text;
        bool operator==(const Line&) const = default;
    };

    DaemonLogCapture() : m_previous(qInstallMessageHandler(&DaemonLogCapture::handle))
    {
        lines().clear();
        previous() = m_previous;
    }
    ~DaemonLogCapture() { qInstallMessageHandler(m_previous); }

    static std::vector<Line>& lines()
    {
        static std::vector<Line> recorded;
        return recorded;
    }
    int count(const QString& text) const
    {
        return static_cast<int>(std::count_if(lines().begin(), lines().end(), [&](const Line& l) { return l.text == text; }));
    }

private:
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (context.category && qstrcmp(context.category, "com.ringlark.mac.daemon") == 0)
            lines().push_back({type, text});
        else if (previous())
            previous()(type, context, text);
    }

    QtMessageHandler m_previous;
};

inline QCoro::Task<bool> answer(bool answered) { co_return answered; }

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
