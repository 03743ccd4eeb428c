#pragma once

#include <QLoggingCategory>

namespace ringlark {

// Supervision's log lines: info for launches and stale stops, critical for
// failures.
Q_DECLARE_LOGGING_CATEGORY(daemonLog)

} // namespace ringlark
