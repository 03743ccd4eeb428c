#include "agents/AgentConnector.h"

#include "agents/ChildProcess.h"
#include "agents/ClaudeConfig.h"
#include "agents/CodexConfig.h"
#include "agents/FileFacts.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

namespace ringlark {

namespace {

QString describe(const QString& path, const QString& problem)
{
    return path + QStringLiteral(": ") + problem;
}

Expected<QByteArray, QString> readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unexpected(describe(path, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unexpected(describe(path, file.errorString()));
    return bytes;
}

// Written aside, then moved into place; an existing file is replaced.
Expected<Unit, AgentError> writeAtomically(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return unexpected(AgentError::io(describe(path, file.errorString())));
    if (file.write(bytes) != bytes.size()) {
        const QString problem = file.errorString();
        file.cancelWriting();
        return unexpected(AgentError::io(describe(path, problem)));
    }
    if (!file.commit())
        return unexpected(AgentError::io(describe(path, file.errorString())));
    return Unit{};
}

// The stamp in backup names: UTC, ISO 8601 without colons, e.g. 2026-12-05T124712Z.
QString backupStamp(std::chrono::system_clock::time_point time)
{
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(milliseconds.count(), Qt::UTC).toString(QStringLiteral("yyyy-MM-dd'T'HHmmss'Z'"));
}

// What connecting Claude Code learns before it runs anything.
struct ClaudePreparation {
    std::optional<AgentConnector> connector;
    std::optional<QString> claude;
    bool outdated = false;
    // The entry runs this helper already; only the approval was missing.
    bool registered = false;
    std::optional<AgentError> settingsError = std::nullopt;
};

// Backups sit next to the file they keep, e.g. config.toml.bak-ringlark-2026-12-05T124712Z.
QString backupPath(const QString& file, std::chrono::system_clock::time_point time)
{
    return file + QStringLiteral(".bak-ringlark-") + backupStamp(time);
}

// The directory, with its parents; one this call creates is for the owner only.
Expected<Unit, AgentError> makeDirectory(const QString& directory)
{
    const std::filesystem::path path(QFile::encodeName(directory).toStdString());
    std::error_code failed;
    const bool created = std::filesystem::create_directories(path, failed);
    if (!failed && created)
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, failed);
    if (failed)
        return unexpected(AgentError::io(describe(directory, QString::fromLocal8Bit(failed.message()))));
    return Unit{};
}

// Writes `bytes` to `file` unless they are what it holds, after a backup of
// any previous non-empty content.
Expected<Unit, AgentError> replaceWithBackup(const QString& file, const QByteArray& old, const QByteArray& bytes,
                                             const WallClock& clock)
{
    if (bytes == old)
        return Unit{};
    if (!old.isEmpty()) {
        if (auto written = writeAtomically(backupPath(file, clock()), old); !written)
            return written;
    }
    return writeAtomically(file, bytes);
}

// The bytes of `file`, empty when there is none; an error when it is there
// but cannot be read, so that it is never replaced unseen.
Expected<QByteArray, AgentError> existingBytes(const QString& file)
{
    if (!QFileInfo::exists(file))
        return QByteArray();
    auto bytes = readBytes(file);
    if (!bytes)
        return unexpected(AgentError::io(bytes.error()));
    return std::move(*bytes);
}

// Parsed facts of the agents' files, shared by every connector in the process.
// Never destroyed: a status check on a pool thread may still hold one when
// the process exits.
FileFacts<std::optional<QString>>& claudeServers()
{
    static auto* facts = new FileFacts<std::optional<QString>>(ClaudeConfig::serverCommand);
    return *facts;
}

FileFacts<bool>& claudeApprovals()
{
    static auto* facts = new FileFacts<bool>(ClaudeConfig::allowsRequestHuman);
    return *facts;
}

FileFacts<std::optional<CodexConfig::Server>>& codexServers()
{
    static auto* facts = new FileFacts<std::optional<CodexConfig::Server>>(CodexConfig::server);
    return *facts;
}

bool isConnectedOrInherited(const AgentStatus& status)
{
    return status.kind() == AgentStatus::Kind::connected || status.kind() == AgentStatus::Kind::inherited;
}

} // namespace

AgentConnector::AgentConnector(QString home, QString mcpExecutable, Services services)
    : m_home(std::move(home)), m_mcpExecutable(std::move(mcpExecutable)), m_services(std::move(services))
{
}

AgentConnector::AgentConnector(QString home, QString mcpExecutable)
    : AgentConnector(std::move(home), std::move(mcpExecutable), Services{})
{
}

AgentStatus AgentConnector::status(AgentKind of) const
{
    switch (of) {
    case AgentKind::claudeCode:
        return claudeStatus();
    case AgentKind::codex:
        return codexStatus();
    case AgentKind::t3:
        return t3Status();
    }
    return AgentStatus::notConnected();
}

AgentConnector AgentConnector::resolved() const
{
    AgentConnector copy = *this;
    if (!m_services.claudeConfigDir.isEmpty() && !m_services.codexHome.isEmpty())
        return copy;
    const QProcessEnvironment environment = Shell::loginEnvironment(m_home, m_services.shell);
    if (copy.m_services.claudeConfigDir.isEmpty())
        copy.m_services.claudeConfigDir = environment.value(QStringLiteral("CLAUDE_CONFIG_DIR"));
    if (copy.m_services.codexHome.isEmpty())
        copy.m_services.codexHome = environment.value(QStringLiteral("CODEX_HOME"));
    return copy;
}

std::optional<QString> AgentConnector::claudeExecutable() const
{
    const QString bundled = QDir(m_home).filePath(QStringLiteral(".claude/local/claude"));
    return Shell::find(QStringLiteral("claude"), m_home, {bundled}, m_services.shell);
}

QString AgentConnector::claudeJsonPath() const
{
    // With its own configuration folder, Claude Code keeps .claude.json there too.
    const QString directory = m_services.claudeConfigDir.isEmpty() ? m_home : m_services.claudeConfigDir;
    return QDir(directory).filePath(QStringLiteral(".claude.json"));
}

QString AgentConnector::claudeSettingsPath() const
{
    const QString directory = m_services.claudeConfigDir.isEmpty() ? QDir(m_home).filePath(QStringLiteral(".claude"))
                                                                    : m_services.claudeConfigDir;
    return QDir(directory).filePath(QStringLiteral("settings.json"));
}

QString AgentConnector::codexDirectory() const
{
    return m_services.codexHome.isEmpty() ? QDir(m_home).filePath(QStringLiteral(".codex")) : m_services.codexHome;
}

AgentStatus AgentConnector::claudeStatus() const
{
    if (!claudeExecutable())
        return AgentStatus::notInstalled();
    const auto command = claudeServers().get(claudeJsonPath()).value_or(std::nullopt);
    if (!command)
        return AgentStatus::notConnected();
    // An entry without a usable command still points somewhere other than here.
    if (*command != m_mcpExecutable)
        return AgentStatus::outdated(*command);
    const bool approved = claudeApprovals().get(claudeSettingsPath()).value_or(false);
    return approved ? AgentStatus::connected() : AgentStatus::unapproved(*command);
}

AgentStatus AgentConnector::codexStatus() const
{
    const QString directory = codexDirectory();
    // A .codex folder counts as installed even when no codex program is found.
    if (!QFileInfo::exists(directory) && !Shell::find(QStringLiteral("codex"), m_home, {}, m_services.shell))
        return AgentStatus::notInstalled();
    // A file Codex cannot load holds no server for it.
    const auto server =
        codexServers().get(QDir(directory).filePath(QStringLiteral("config.toml"))).value_or(std::nullopt);
    if (!server)
        return AgentStatus::notConnected();
    if (server->command != m_mcpExecutable)
        return AgentStatus::outdated(server->command);
    return server->approved ? AgentStatus::connected() : AgentStatus::unapproved(server->command);
}

AgentStatus AgentConnector::t3Status() const
{
    // T3 Code has no entry of its own; it uses those of the other two agents.
    QStringList from;
    if (isConnectedOrInherited(claudeStatus()))
        from.append(AgentKind(AgentKind::claudeCode).rawValue());
    if (isConnectedOrInherited(codexStatus()))
        from.append(AgentKind(AgentKind::codex).rawValue());
    return from.isEmpty() ? AgentStatus::notConnected() : AgentStatus::inherited(from);
}

bool AgentConnector::t3Installed(const QString& applicationsFolder)
{
    const QStringList names =
        QDir(applicationsFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (name.startsWith(QStringLiteral("T3 Code")) && name.endsWith(QStringLiteral(".app")))
            return true;
    }
    return false;
}

QCoro::Task<Expected<Unit, AgentError>> AgentConnector::connectClaude() const
{
    // The coroutine works on its own copy, so the caller's connector may go away meanwhile.
    return runConnectClaude(*this);
}

QCoro::Task<Expected<Unit, AgentError>> AgentConnector::runConnectClaude(AgentConnector self)
{
    // The lookup may ask the login shell and the check reads files: both
    // happen on a background thread. Named, not a temporary: g++ 12 destroys
    // a capturing closure built inside a co_await expression at the wrong address.
    auto prepare = [self] {
        ClaudePreparation prepared{self.resolved(), std::nullopt, false};
        prepared.claude = prepared.connector->claudeExecutable();
        if (prepared.claude) {
            const AgentStatus status = prepared.connector->claudeStatus();
            prepared.outdated = status.kind() == AgentStatus::Kind::outdated && !status.needsApproval();
            prepared.registered = status.needsApproval();
            if (auto allowed = prepared.connector->allowClaudeRequests(); !allowed)
                prepared.settingsError = allowed.error();
        }
        return prepared;
    };
    const ClaudePreparation prepared = co_await QtConcurrent::run(ChildProcesses::pool(), prepare);
    const auto& claude = prepared.claude;
    if (!claude)
        co_return unexpected(AgentError::cliNotFound(AgentKind(AgentKind::claudeCode).rawValue()));
    // Settings that must not be touched stop the connect before claude changes anything.
    if (prepared.settingsError)
        co_return unexpected(*prepared.settingsError);
    if (prepared.registered)
        co_return Unit{};
    self = *prepared.connector;
    const Shell::Context& shell = self.m_services.shell;

    // An entry at an old location must go first, or claude refuses the add.
    // Whatever the removal does, the add decides the outcome.
    if (prepared.outdated) {
        const QStringList removal{QStringLiteral("mcp"), QStringLiteral("remove"), QStringLiteral("--scope"),
                                  QStringLiteral("user"), QStringLiteral("ringlark")};
        co_await Shell::run(*claude, removal, self.m_home, shell);
    }

    const QStringList add{
        QStringLiteral("mcp"), QStringLiteral("add"), QStringLiteral("ringlark"),
        QStringLiteral("--scope"), QStringLiteral("user"),
        QStringLiteral("--env"), QStringLiteral("RINGLARK_AGENT=Claude Code"),
        QStringLiteral("--"), self.m_mcpExecutable, QStringLiteral("mcp"),
    };
    const auto added = co_await Shell::run(*claude, add, self.m_home, shell);
    if (!added)
        co_return unexpected(added.error());
    if (added->exitCode != 0)
        co_return unexpected(AgentError::commandFailed(added->output));
    co_return Unit{};
}

Expected<Unit, AgentError> AgentConnector::connectCodex() const
{
    const QString directory = codexDirectory();
    if (auto made = makeDirectory(directory); !made)
        return made;
    const QString file = QDir(directory).filePath(QStringLiteral("config.toml"));
    const auto old = existingBytes(file);
    if (!old)
        return unexpected(old.error());
    const auto edited = CodexConfig::upsert(*old, m_mcpExecutable);
    if (!edited)
        return unexpected(AgentError::io(describe(file, edited.error() + QStringLiteral("; left unchanged"))));
    return replaceWithBackup(file, *old, *edited, m_services.wallClock);
}

Expected<Unit, AgentError> AgentConnector::allowClaudeRequests() const
{
    const QString file = claudeSettingsPath();
    const auto old = existingBytes(file);
    if (!old)
        return unexpected(old.error());
    const auto edited = ClaudeConfig::allowRequestHuman(std::string_view(old->constData(), size_t(old->size())));
    if (!edited)
        return unexpected(AgentError::io(describe(file, edited.error() + QStringLiteral("; left unchanged"))));
    if (!*edited)
        return Unit{};
    if (auto made = makeDirectory(QFileInfo(file).path()); !made)
        return made;
    return replaceWithBackup(file, *old, **edited, m_services.wallClock);
}

} // namespace ringlark
