#pragma once

#include <QLoggingCategory>
#include <QString>

namespace ringlark {

class AppModel;

Q_DECLARE_LOGGING_CATEGORY(stateLog)

// Logs every change the model publishes, one line per assignment, for
// debugging; the category is off by default.
void logPublishedState(AppModel& model);

} // namespace ringlark
