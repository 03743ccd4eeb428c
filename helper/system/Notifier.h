#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ringlark::helper {

// What the desktop shows of a help request.
struct DesktopNotice {
    std::string id;
    std::string reason;
    std::optional<std::string> title;
    std::optional<std::string> agent;
    std::optional<std::string> ask;
    std::optional<std::string> app;
};

// The command line that shows a request on the desktop. With actions, the
// notification offers "Done", and a click on it (the default action) opens
// the application; notify-send prints the name of what was chosen.
std::vector<std::string> notifySendArguments(const std::string& program, const DesktopNotice& request,
                                             bool withActions);

// Rings the desktop through notify-send when it is on the PATH, and marks a
// request done when the person chooses "Done" on its notification. Nothing
// here blocks the caller: each notification is watched by a thread of its own.
class Notifier {
public:
    struct Options {
        std::string pathVariable;
        std::function<void(const std::string& id)> onDone;
        std::function<void()> onOpen = {};
    };

    explicit Notifier(Options options);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void announce(const DesktopNotice& request);
    // A plain notice without actions, such as that the phone now sees a window.
    void inform(const std::string& summary, const std::string& body);
    // The request ended some other way: stop watching its notification.
    void retract(const std::string& id);
    // Stops every watcher, waiting briefly for them.
    void shutdown();

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace ringlark::helper
