#include "platform/linux/AutostartLoginItem.h"

#include "platform/linux/DesktopEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

namespace ringlark::platform {

namespace {

LoginItemError failure(const QString& what, const QString& path, const QString& reason)
{
    return {QStringLiteral("Could not %1 %2: %3").arg(what, QDir::toNativeSeparators(path), reason)};
}

} // namespace

QString autostartEntry(const QString& executable)
{
    // A tray icon needs a panel to dock in: the desktops that start entries in
    // parallel are asked to wait for it, and those that cannot are given a
    // short delay. TryExec lets a session skip an entry whose program is gone.
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Ringlark\n"
                          "Comment=Rings your phone when a coding agent needs you\n"
                          "Icon=com.ringlark.mac\n"
                          "TryExec=%1\n"
                          "Exec=%2\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n"
                          "X-GNOME-Autostart-Delay=2\n"
                          "X-MATE-Autostart-Delay=2\n"
                          "X-KDE-autostart-after=panel\n"
                          "X-LXQt-Need-Tray=true\n")
        .arg(escapeValue(executable), execValue(executable));
}

AutostartLoginItem::AutostartLoginItem(QString configDir, const QString& executablePath)
    : m_configDir(std::move(configDir)), m_executable(QFileInfo(executablePath).absoluteFilePath())
{
}

QString AutostartLoginItem::entryPath() const
{
    return m_configDir + QStringLiteral("/autostart/") + fileName;
}

Expected<Unit, LoginItemError> AutostartLoginItem::registerItem()
{
    const QString folder = m_configDir + QStringLiteral("/autostart");
    // std::filesystem, unlike QDir::mkpath, says why the folder is missing.
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error)
        return unexpected(failure(QStringLiteral("create"), folder, QString::fromLocal8Bit(error.message())));

    const QString path = entryPath();
    const QString contents = autostartEntry(m_executable);
    // Written whole or not at all, so a crash never leaves half an entry.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents.toUtf8()) < 0 || !file.commit())
        return unexpected(failure(QStringLiteral("write"), path, file.errorString()));
    return Unit{};
}

Expected<Unit, LoginItemError> AutostartLoginItem::unregisterItem()
{
    QFile file(entryPath());
    if (!file.exists() || file.remove())
        return Unit{};
    return unexpected(failure(QStringLiteral("remove"), file.fileName(), file.errorString()));
}

LoginItem::Status AutostartLoginItem::status() const
{
    const QString path = entryPath();
    if (!QFileInfo::exists(path))
        return Status::notRegistered;
    const auto entry = readDesktopEntry(path);
    if (!entry)
        return Status::notFound;
    if (entry->isHidden() || entry->value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false"))
        return Status::notRegistered;
    const auto command = execArguments(entry->value(QStringLiteral("Exec")));
    if (!command || command->isEmpty())
        return Status::notFound;
    // A relative program is found on the session's search path at login; an
    // absolute one that is gone (a moved or deleted build) starts nothing.
    const QFileInfo program(command->first());
    if (program.isAbsolute() && !(program.isFile() && program.isExecutable()))
        return Status::notFound;
    return Status::enabled;
}

QString xdgConfigHome(const QProcessEnvironment& env, const QString& home)
{
    const QString configured = env.value(QStringLiteral("XDG_CONFIG_HOME"));
    return QDir::isAbsolutePath(configured) ? configured : home + QStringLiteral("/.config");
}

} // namespace ringlark::platform
