#include "helper/system/Notifier.h"

#include "helper/system/Process.h"

#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace ringlark::helper {

namespace {

// Notification bodies may be read as markup.
std::string escapeMarkup(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

constexpr pid_t starting = 0;
constexpr pid_t retracted = -1;

} // namespace

std::vector<std::string> notifySendArguments(const std::string& program, const DesktopNotice& request,
                                             bool withActions)
{
    std::string summary;
    if (request.title && !request.title->empty())
        summary = *request.title;
    else if (request.agent && !request.agent->empty())
        summary = *request.agent + " needs you";
    else
        summary = "An agent needs you";
    std::string body = escapeMarkup(request.reason);
    if (request.ask && !request.ask->empty())
        body += "\nAsks: " + escapeMarkup(*request.ask);
    if (request.app && !request.app->empty())
        body += "\nIn " + escapeMarkup(*request.app);

    std::vector<std::string> arguments{program, "--app-name=Ringlark", "--icon=dialog-question"};
    if (withActions) {
        arguments.push_back("--action=default=Open Ringlark");
        arguments.push_back("--action=done=Done");
        arguments.push_back("--wait");
    }
    arguments.insert(arguments.end(), {"--", summary, body});
    return arguments;
}

struct Notifier::State {
    Options options;
    std::mutex mutex;
    std::condition_variable idle;
    std::map<std::string, pid_t> watched; // request id → notify-send, or starting/retracted
    int watchers = 0;
    bool stopping = false;
    std::optional<bool> actions; // whether this notify-send offers --action

    bool supportsActions(const std::string& program)
    {
        {
            std::lock_guard lock(mutex);
            if (actions)
                return *actions;
        }
        const auto help = runCaptured({program, "--help"}, std::chrono::seconds(2));
        std::lock_guard lock(mutex);
        actions = help.output.find("--action") != std::string::npos;
        return *actions;
    }

    void watch(const std::string& program, const DesktopNotice& request)
    {
        auto child = spawnReading(notifySendArguments(program, request, supportsActions(program)), ErrorOutput::discard);
        bool keep = false;
        {
            std::lock_guard lock(mutex);
            keep = child && !stopping && watched[request.id] == starting;
            if (keep)
                watched[request.id] = child->pid;
        }
        if (child && !keep)
            ::kill(child->pid, SIGTERM);
        if (child) {
            std::string line;
            char c = 0;
            while (::read(child->output, &c, 1) == 1) {
                if (c != '\n') {
                    line += c;
                    continue;
                }
                if (line == "done" && options.onDone)
                    options.onDone(request.id);
                if (line == "default" && options.onOpen)
                    options.onOpen();
                line.clear();
            }
            ::close(child->output);
        }
        {
            std::lock_guard lock(mutex);
            watched.erase(request.id);
        }
        if (child)
            waitForChild(child->pid); // after the erase, so no kill can reach a reused pid
        std::lock_guard lock(mutex);
        --watchers;
        idle.notify_all();
    }
};

Notifier::Notifier(Options options) : m_state(std::make_shared<State>())
{
    m_state->options = std::move(options);
}

Notifier::~Notifier() { shutdown(); }

void Notifier::announce(const DesktopNotice& request)
{
    auto program = findExecutable("notify-send", m_state->options.pathVariable);
    if (!program)
        return;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping)
            return;
        m_state->watched[request.id] = starting;
        ++m_state->watchers;
    }
    std::thread([state = m_state, program = *program, request] { state->watch(program, request); }).detach();
}

void Notifier::inform(const std::string& summary, const std::string& body)
{
    auto program = findExecutable("notify-send", m_state->options.pathVariable);
    if (!program)
        return;
    std::vector<std::string> arguments{*program, "--app-name=Ringlark", "--icon=video-display", "--", summary,
                                       escapeMarkup(body)};
    // notify-send without --wait returns at once; the thread keeps even a slow one off the caller.
    std::thread([arguments = std::move(arguments)] { runCaptured(arguments, std::chrono::seconds(5)); }).detach();
}

void Notifier::retract(const std::string& id)
{
    std::lock_guard lock(m_state->mutex);
    auto found = m_state->watched.find(id);
    if (found == m_state->watched.end())
        return;
    if (found->second > 0)
        ::kill(found->second, SIGTERM);
    else
        found->second = retracted;
}

void Notifier::shutdown()
{
    std::unique_lock lock(m_state->mutex);
    m_state->stopping = true;
    for (auto& [id, pid] : m_state->watched) {
        if (pid > 0)
            ::kill(pid, SIGTERM);
    }
    m_state->idle.wait_for(lock, std::chrono::seconds(1), [&] { return m_state->watchers == 0; });
}

} // namespace ringlark::helper
