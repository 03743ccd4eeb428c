#pragma once

#include <QLoggingCategory>
#include <QString>

namespace ringlark {

class AppModel;

Q_DECLARE_LOGGING_CATEGORY(stateLog)

// Logs every change the model publishes, one line per assignment, until the
// tray interface renders the same state.
void logPublishedState(AppModel& model);

} // namespace ringlark
