#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace ringlark::platform {

// The "[Desktop Entry]" group of a freedesktop desktop entry file, with the
// string escapes (\s \n \t \r \\) of its values resolved. Other groups and
// comments are dropped; localised keys such as Name[de] are kept as written.
struct DesktopEntry {
    QHash<QString, QString> keys;

    QString value(const QString& key) const { return keys.value(key); }
    bool isHidden() const { return value(QStringLiteral("Hidden")) == QLatin1String("true"); }
};

// None when the text has no "[Desktop Entry]" group.
std::optional<DesktopEntry> parseDesktopEntry(const QString& text);

// None when the file cannot be read or has no "[Desktop Entry]" group.
std::optional<DesktopEntry> readDesktopEntry(const QString& path);

// Splits an Exec value into the program and its arguments. File and URL
// field codes are dropped (nothing is passed), %c becomes `name`, %k the
// entry's own `location`, %% a percent sign. None when a quote is left open.
std::optional<QStringList> execArguments(const QString& exec, const QString& name = {},
                                         const QString& location = {});

// A string value as written in the file: backslashes and control characters
// escaped, so it reads back unchanged.
QString escapeValue(const QString& value);

// The Exec value, as written in the file, that runs `program` with no
// arguments: quoted and escaped so that any path reads back unchanged.
QString execValue(const QString& program);

} // namespace ringlark::platform
