#include "daemon/api/DaemonAccess.h"

#include <unistd.h>

namespace ringlark {

DaemonAccess DaemonAccess::inDirectory(const QString& configDirectory)
{
    return inDirectory(configDirectory, QByteArrayLiteral("/proc/net"), ::geteuid());
}

} // namespace ringlark
