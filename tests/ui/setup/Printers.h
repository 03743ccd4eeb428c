#pragma once

#include "ui/setup/SetupRows.h"

#include <QString>

#include <ostream>

// Readable failure messages for the values these tests compare.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace ringlark::setup {

inline void PrintTo(StepState state, std::ostream* out)
{
    *out << (state == StepState::done ? "done" : state == StepState::todo ? "todo" : "pending");
}
} // namespace ringlark::setup
