#include "platform/linux/DesktopEntry.h"

#include <QFile>

namespace ringlark::platform {

namespace {

// Only these escapes belong to the value level; any other backslash is left
// for the Exec quoting rules, which run afterwards.
QString unescapeValue(const QString& raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw[i];
        if (c != u'\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        switch (raw[i + 1].unicode()) {
        case 's': out += u' '; break;
        case 'n': out += u'\n'; break;
        case 't': out += u'\t'; break;
        case 'r': out += u'\r'; break;
        case '\\': out += u'\\'; break;
        default: out += c; continue; // keep the backslash, reread the next char normally
        }
        ++i;
    }
    return out;
}

bool isFieldCodeArgument(const QString& arg)
{
    static const QString dropped = QStringLiteral("fFuUdDnNvmi");
    return arg.size() == 2 && arg[0] == u'%' && dropped.contains(arg[1]);
}

QString expandFieldCodes(const QString& arg, const QString& name, const QString& location)
{
    QString out;
    for (qsizetype i = 0; i < arg.size(); ++i) {
        if (arg[i] != u'%' || i + 1 == arg.size()) {
            out += arg[i];
            continue;
        }
        const QChar code = arg[++i];
        if (code == u'%')
            out += u'%';
        else if (code == u'c')
            out += name;
        else if (code == u'k')
            out += location;
        // Any other code stands for files or URLs we never pass.
    }
    return out;
}

} // namespace

QString escapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size() + 8);
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\r': out += QLatin1String("\\r"); break;
        default: out += c;
        }
    }
    return out;
}

std::optional<DesktopEntry> parseDesktopEntry(const QString& text)
{
    DesktopEntry entry;
    bool seen = false;
    bool inGroup = false;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[')) {
            // Only the first such group counts; a repeated one is malformed.
            inGroup = !seen && trimmed == QLatin1String("[Desktop Entry]");
            seen = seen || inGroup;
            continue;
        }
        const qsizetype eq = trimmed.indexOf(u'=');
        if (!inGroup || eq <= 0)
            continue;
        const QString key = trimmed.left(eq).trimmed().toString();
        if (!entry.keys.contains(key))
            entry.keys.insert(key, unescapeValue(trimmed.mid(eq + 1).trimmed().toString()));
    }
    if (!seen)
        return std::nullopt;
    return entry;
}

std::optional<DesktopEntry> readDesktopEntry(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseDesktopEntry(QString::fromUtf8(file.readAll()));
}

std::optional<QStringList> execArguments(const QString& exec, const QString& name, const QString& location)
{
    // Tokenise first, so that a quoted "%f" is never taken as a whole
    // field-code argument and dropped.
    struct Token {
        QString text;
        bool quoted = false;
    };
    QList<Token> tokens;
    Token current;
    bool inToken = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (inQuotes) {
            if (c == u'"') {
                inQuotes = false;
            } else if (c == u'\\' && i + 1 < exec.size() && QStringView(u"\"`$\\").contains(exec[i + 1])) {
                current.text += exec[++i];
            } else {
                current.text += c;
            }
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inToken)
                tokens.append(std::exchange(current, {}));
            inToken = false;
        } else if (c == u'"') {
            inQuotes = inToken = current.quoted = true;
        } else {
            current.text += c;
            inToken = true;
        }
    }
    if (inQuotes)
        return std::nullopt;
    if (inToken)
        tokens.append(current);

    QStringList args;
    for (const Token& token : tokens) {
        if (token.quoted || !isFieldCodeArgument(token.text))
            args.append(expandFieldCodes(token.text, name, location));
    }
    return args;
}

QString execValue(const QString& program)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (QStringView(u"\"`$\\").contains(c))
            quoted += u'\\';
        quoted += c;
        // Percent signs are expanded inside quotes too.
        if (c == u'%')
            quoted += u'%';
    }
    quoted += u'"';
    return escapeValue(quoted);
}

} // namespace ringlark::platform
