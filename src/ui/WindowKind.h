#pragma once

#include <functional>

namespace ringlark {

// The application's two ordinary windows. Views ask for one through a
// `ShowWindow` callback, so they never depend on the window manager itself.
enum class WindowKind { setup, pairing };

using ShowWindow = std::function<void(WindowKind)>;

} // namespace ringlark
