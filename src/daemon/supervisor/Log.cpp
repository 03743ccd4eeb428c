#include "daemon/supervisor/Log.h"

namespace ringlark {

Q_LOGGING_CATEGORY(daemonLog, "com.ringlark.mac.daemon", QtInfoMsg)

} // namespace ringlark
