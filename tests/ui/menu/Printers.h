#pragma once

#include <QString>

#include <ostream>

// Readable failures for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
