#include "agents/CodexConfig.h"

#include <QStringList>

namespace ringlark::CodexConfig {

namespace {

const QString serverTable = QStringLiteral("mcp_servers.ringlark");
const QString serverSubTablePrefix = QStringLiteral("mcp_servers.ringlark.");

bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

// Trims spaces and tabs (any Unicode space separator counts as a space).
QString trimmed(const QString& text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isBlank(text[start]))
        ++start;
    while (end > start && isBlank(text[end - 1]))
        --end;
    return text.mid(start, end - start);
}

// A line's content as the rules see it. A carriage return ending the line
// belongs to a CR LF line break, so it is set aside; the line itself, when
// kept, keeps it.
QString trimmedLine(const QString& line)
{
    return trimmed(line.endsWith(u'\r') ? line.chopped(1) : line);
}

// The table name of a header line ("[name]" or "[[name]]", anything after the
// first "]" ignored), or none when the line is not a header.
std::optional<QString> headerName(const QString& line)
{
    const QString text = trimmedLine(line);
    if (!text.startsWith(u'['))
        return std::nullopt;
    const qsizetype close = text.indexOf(u']');
    if (close < 0)
        return std::nullopt;
    QString name = text.mid(1, close - 1);
    if (name.startsWith(u'['))
        name.remove(0, 1);
    return trimmed(name);
}

bool isServerOrSubTable(const QString& name)
{
    return name == serverTable || name.startsWith(serverSubTablePrefix);
}

QString quoted(QString text)
{
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u'"', QStringLiteral("\\\""));
    return u'"' + text + u'"';
}

} // namespace

std::optional<QString> parseTomlString(const QString& value)
{
    if (value.size() < 2)
        return std::nullopt;
    const QChar quote = value[0];
    if (quote != u'"' && quote != u'\'')
        return std::nullopt;
    QString collected;
    bool escaped = false;
    for (qsizetype i = 1; i < value.size(); ++i) {
        const QChar c = value[i];
        if (!escaped && c == u'\\' && quote == u'"') {
            escaped = true;
        } else if (!escaped && c == quote) {
            return collected;
        } else {
            collected += c;
            escaped = false;
        }
    }
    return std::nullopt;
}

std::optional<QString> command(const QString& in)
{
    static const QString key = QStringLiteral("command");
    bool inServer = false;
    for (const QString& line : in.split(u'\n')) {
        if (const auto name = headerName(line)) {
            inServer = *name == serverTable;
            continue;
        }
        if (!inServer)
            continue;
        const QString text = trimmedLine(line);
        if (!text.startsWith(key))
            continue;
        const QString rest = trimmed(text.mid(key.size()));
        if (!rest.startsWith(u'='))
            continue; // a longer key such as "command_timeout"
        return parseTomlString(trimmed(rest.mid(1)));
    }
    return std::nullopt;
}

QString upsert(const QString& in, const QString& command)
{
    QStringList kept;
    bool skipping = false;
    for (const QString& line : in.split(u'\n')) {
        if (const auto name = headerName(line)) {
            skipping = isServerOrSubTable(*name);
            if (skipping)
                continue;
        } else if (skipping) {
            continue;
        }
        kept.append(line);
    }

    QString result = kept.join(u'\n');
    while (result.endsWith(QStringLiteral("\n\n")))
        result.chop(1);
    if (!result.isEmpty()) {
        if (!result.endsWith(u'\n'))
            result += u'\n';
        result += u'\n';
    }
    return result + block(command) + u'\n';
}

QString block(const QString& command)
{
    return QStringList{
        QStringLiteral("[mcp_servers.ringlark]"),
        QStringLiteral("command = ") + quoted(command),
        QStringLiteral("args = [\"mcp\"]"),
        QStringLiteral("tool_timeout_sec = 660"),
        QString(),
        QStringLiteral("[mcp_servers.ringlark.env]"),
        QStringLiteral("RINGLARK_AGENT = \"Codex\""),
    }.join(u'\n');
}

} // namespace ringlark::CodexConfig
