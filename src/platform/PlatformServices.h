#pragma once

#include "platform/LoginItem.h"
#include "platform/Privacy.h"
#include "platform/Workspace.h"

#include <QUrl>

#include <memory>

namespace ringlark::platform {

// The outside services the application uses, wired once at start-up; tests
// pass fakes instead.
struct PlatformServices {
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<LoginItem> loginItem;
    std::shared_ptr<Privacy> privacy;
};

// This system's services with their production settings. Needs the
// application object, since the login item names the running executable.
PlatformServices defaultServices();

// Tailscale's download page for this system.
QUrl tailscaleDownloadURL();

} // namespace ringlark::platform
