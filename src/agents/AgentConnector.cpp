#include "agents/AgentConnector.h"

#include "agents/ChildProcess.h"
#include "agents/CodexConfig.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <nlohmann/json.hpp>

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

// Strict decoding: a file with invalid UTF-8 is not taken as text at all.
// A byte order mark stays in the text, so writing it back keeps the bytes.
std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
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
};

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

AgentStatus AgentConnector::claudeStatus() const
{
    if (!claudeExecutable())
        return AgentStatus::notInstalled();
    const auto bytes = readBytes(QDir(m_home).filePath(QStringLiteral(".claude.json")));
    if (!bytes)
        return AgentStatus::notConnected();
    const auto json = nlohmann::json::parse(bytes->cbegin(), bytes->cend(), nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return AgentStatus::notConnected();
    const auto servers = json.find("mcpServers");
    if (servers == json.end() || !servers->is_object())
        return AgentStatus::notConnected();
    const auto entry = servers->find("ringlark");
    if (entry == servers->end() || !entry->is_object())
        return AgentStatus::notConnected();
    // An entry without a usable command still points somewhere other than here.
    QString command;
    if (const auto value = entry->find("command"); value != entry->end() && value->is_string())
        command = QString::fromStdString(value->get_ref<const std::string&>());
    return command == m_mcpExecutable ? AgentStatus::connected() : AgentStatus::outdated(command);
}

AgentStatus AgentConnector::codexStatus() const
{
    const QString directory = QDir(m_home).filePath(QStringLiteral(".codex"));
    // A .codex folder counts as installed even when no codex program is found.
    if (!QFileInfo::exists(directory) && !Shell::find(QStringLiteral("codex"), m_home, {}, m_services.shell))
        return AgentStatus::notInstalled();
    QString text;
    if (const auto bytes = readBytes(QDir(directory).filePath(QStringLiteral("config.toml"))))
        text = decodeUtf8(*bytes).value_or(QString());
    const auto command = CodexConfig::command(text);
    if (!command)
        return AgentStatus::notConnected();
    return *command == m_mcpExecutable ? AgentStatus::connected() : AgentStatus::outdated(*command);
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
        prepared.outdated =
            prepared.claude && prepared.connector->claudeStatus().kind() == AgentStatus::Kind::outdated;
        return prepared;
    };
    const ClaudePreparation prepared = co_await QtConcurrent::run(ChildProcesses::pool(), prepare);
    const auto& claude = prepared.claude;
    if (!claude)
        co_return unexpected(AgentError::cliNotFound(AgentKind(AgentKind::claudeCode).rawValue()));
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
    const QString directory = QDir(m_home).filePath(QStringLiteral(".codex"));
    std::error_code created;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(directory).toStdString()), created);
    if (created)
        return unexpected(AgentError::io(describe(directory, QString::fromLocal8Bit(created.message()))));

    const QString file = QDir(directory).filePath(QStringLiteral("config.toml"));
    QByteArray oldBytes;
    QString oldText;
    // A file that is there but unreadable or not UTF-8 would otherwise be
    // replaced by the block alone; refuse instead and leave it as it is.
    if (QFileInfo::exists(file)) {
        auto bytes = readBytes(file);
        if (!bytes)
            return unexpected(AgentError::io(bytes.error()));
        const auto text = decodeUtf8(*bytes);
        if (!text)
            return unexpected(AgentError::io(describe(file, QStringLiteral("not valid UTF-8 text"))));
        oldBytes = std::move(*bytes);
        oldText = *text;
    }

    const QString newText = CodexConfig::upsert(oldText, m_mcpExecutable);
    if (newText == oldText)
        return Unit{};

    if (!oldText.isEmpty()) {
        const QString backup =
            QDir(directory).filePath(QStringLiteral("config.toml.bak-ringlark-") + backupStamp(m_services.wallClock()));
        if (auto written = writeAtomically(backup, oldBytes); !written)
            return written;
    }
    return writeAtomically(file, newText.toUtf8());
}

} // namespace ringlark
