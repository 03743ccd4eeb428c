#pragma once

#include "agents/Agents.h"
#include "support/Files.h"

#include <ostream>

namespace ringlark {

// Readable failure output for statuses.
inline void PrintTo(const AgentStatus& status, std::ostream* out) { *out << status.describe().toStdString(); }

} // namespace ringlark
