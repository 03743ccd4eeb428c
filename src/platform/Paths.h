#pragma once

#include <QString>

namespace ringlark::platform {

// Where applications are installed: /Applications on macOS, /opt on Linux
// (where `cmake --install` puts the bundle).
QString applicationsFolder();

// The user's login shell, through which agent programs are found and run so
// they see the same environment as in a terminal.
QString loginShell();

} // namespace ringlark::platform
