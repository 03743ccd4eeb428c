#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>

namespace ringlark {

// The coding agents the application knows, each with its display name.
// Usable like an enumeration (`AgentKind::codex`, `switch (kind)`, map keys).
class AgentKind {
public:
    enum Value { claudeCode, codex, t3 };

    constexpr AgentKind(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // Every kind, in the order the rows and status refreshes go through them.
    static constexpr std::array<AgentKind, 3> allCases() { return {claudeCode, codex, t3}; }

    // Exact, case-sensitive match of a display name.
    static std::optional<AgentKind> fromRawValue(const QString& raw);

    // The display name: "Claude Code", "Codex", "T3 Code".
    QString rawValue() const;
    // What views tell kinds apart by; the display name.
    QString id() const { return rawValue(); }

private:
    Value m_value;
};

inline size_t qHash(AgentKind kind, size_t seed = 0) { return qHash(kind.rawValue(), seed); }

// Where an agent's connection to the helper's MCP server stands.
class AgentStatus {
public:
    enum class Kind { notInstalled, notConnected, connected, outdated, inherited };

    static AgentStatus notInstalled() { return AgentStatus(Kind::notInstalled); }
    static AgentStatus notConnected() { return AgentStatus(Kind::notConnected); }
    static AgentStatus connected() { return AgentStatus(Kind::connected); }
    // `command` is what the agent's entry runs now; it may be empty.
    static AgentStatus outdated(QString command);
    // An `outdated` entry that runs `command`, the current helper, but whose
    // agent still asks the user before each call of the helper's tool.
    static AgentStatus unapproved(QString command);
    // T3 Code reached through the named agents ("Claude Code", "Codex", in that order).
    static AgentStatus inherited(QStringList from);

    Kind kind() const { return m_kind; }
    const QString& command() const { return m_command; }
    const QStringList& from() const { return m_from; }
    // Set only for `unapproved`: what is out of date is the approval, not the path.
    bool needsApproval() const { return m_needsApproval; }

    // Readable form for logs and test output, e.g. "outdated(/old/path)".
    QString describe() const;

    // Payloads of other cases stay empty, so member-wise equality is by case and payload.
    bool operator==(const AgentStatus&) const = default;

private:
    explicit AgentStatus(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    QString m_command;
    QStringList m_from;
    bool m_needsApproval = false;
};

// What can go wrong while connecting an agent; each carries its user-facing text.
class AgentError {
public:
    enum class Kind { cliNotFound, commandFailed, io };

    // `agent` is a display name, e.g. "Claude Code".
    static AgentError cliNotFound(QString agent) { return {Kind::cliNotFound, std::move(agent)}; }
    static AgentError commandFailed(QString message) { return {Kind::commandFailed, std::move(message)}; }
    static AgentError io(QString message) { return {Kind::io, std::move(message)}; }

    Kind kind() const { return m_kind; }
    const QString& payload() const { return m_payload; }

    // Exactly what the user is shown.
    QString message() const;

    bool operator==(const AgentError&) const = default;

private:
    AgentError(Kind kind, QString payload) : m_kind(kind), m_payload(std::move(payload)) {}

    Kind m_kind;
    QString m_payload;
};

} // namespace ringlark

template <>
struct std::hash<ringlark::AgentKind> {
    size_t operator()(ringlark::AgentKind kind) const noexcept { return ringlark::qHash(kind); }
};
