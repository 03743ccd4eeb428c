#include "helper/phone/Streaming.h"

#include "helper/api/Access.h"
#include "helper/screen/Windows.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace ringlark::helper::phone {

namespace {

using nlohmann::json;

json windowJson(const screen::WindowInfo& window)
{
    return {{"id", screen::formatWindowId(window.id)},
            {"title", window.title},
            {"app", window.app.empty() ? window.process : window.app},
            {"width", window.width},
            {"height", window.height}};
}

json windowList(const std::vector<screen::WindowInfo>& windows)
{
    auto list = json::array();
    for (const auto& window : windows)
        list.push_back(windowJson(window));
    return list;
}

http::Response jsonReply(int status, const json& body) { return http::json(status, dumpJson(body)); }

// The input event a body describes, or nothing when it describes none.
std::optional<screen::InputEvent> inputEvent(const json& body)
{
    const std::string type = body.is_object() && body.contains("type") && body["type"].is_string() ? body["type"] : "";
    auto number = [&](const char* key) -> std::optional<double> {
        if (!body.contains(key) || !body[key].is_number())
            return std::nullopt;
        const double value = body[key].get<double>();
        return std::isfinite(value) ? std::optional(value) : std::nullopt;
    };
    if (type == "tap") {
        const auto x = number("x"), y = number("y");
        if (!x || !y || *x < 0 || *x > 1 || *y < 0 || *y > 1)
            return std::nullopt;
        return screen::InputEvent::tap(*x, *y);
    }
    if (type == "text" && body.contains("text") && body["text"].is_string()) {
        std::string text = body["text"];
        if (text.empty() || characterCount(text) > 1000)
            return std::nullopt;
        return screen::InputEvent::typed(std::move(text));
    }
    if (type == "key" && body.contains("key") && body["key"].is_string()) {
        std::string key = body["key"];
        if (!screen::keysymForKeyName(key))
            return std::nullopt;
        return screen::InputEvent::pressed(std::move(key));
    }
    if (type == "scroll") {
        const auto dy = number("dy");
        if (!dy || std::abs(*dy) > 100000)
            return std::nullopt;
        return screen::InputEvent::scrolled(*dy);
    }
    return std::nullopt;
}

} // namespace

struct Streaming::Live {
    std::string id;
    std::string requestId;
    std::string deviceId;
    screen::WindowInfo window;
    std::unique_ptr<screen::Session> session;
    std::optional<ConnectionId> waiting; // the parked frame request
    std::uint64_t after = 0;             // the frame it already has
    bool afterKnown = false;             // a number handed out already (else any frame will do)
    std::uint64_t newest = 0;            // the highest frame number seen here
    EventLoop::TimerId waitTimer = 0;
    EventLoop::TimerId idleTimer = 0;
};

Streaming::Streaming(EventLoop& loop, Services services, Settings settings)
    : m_loop(loop), m_services(std::move(services)), m_settings(std::move(settings)),
      m_inputRate(m_settings.inputPerSecond, std::chrono::seconds(1))
{
}

Streaming::~Streaming()
{
    *m_alive = false;
    for (auto& [id, live] : m_sessions) {
        m_loop.cancel(live->waitTimer);
        m_loop.cancel(live->idleTimer);
        // A session's end may wait on the X server: never on the loop.
        m_services.background([session = std::shared_ptr<screen::Session>(std::move(live->session))] {});
    }
}

void Streaming::respond(ConnectionId connection, http::Response response)
{
    addSecurityHeaders(response);
    m_services.respond(connection, response);
}

std::optional<http::Response> Streaming::unavailable() const
{
    const auto permissions = m_settings.permissions ? m_settings.permissions() : std::nullopt;
    if (!permissions)
        return errorReply(503, "The computer is still finding out whether it can show windows; try again.");
    if (!permissions->screenRecording)
        return errorReply(503, permissions->reason.empty() ? "This computer cannot show its windows." : permissions->reason);
    return std::nullopt;
}

bool Streaming::handle(ConnectionId connection, const Device& device, const http::Request& request)
{
    const std::string& path = request.path;
    if (path == "/api/v1/windows") {
        if (request.method != "GET")
            respond(connection, errorReply(405, "Use GET."));
        else
            windows(connection);
        return true;
    }
    if (path == "/api/v1/sessions") {
        if (request.method != "POST")
            respond(connection, errorReply(405, "Use POST."));
        else
            start(connection, device, request);
        return true;
    }
    static constexpr std::string_view prefix = "/api/v1/sessions/";
    if (!path.starts_with(prefix))
        return false;
    const auto rest = std::string_view(path).substr(prefix.size());
    const auto slash = rest.find('/');
    const std::string id(rest.substr(0, slash));
    const auto action = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    auto found = m_sessions.find(id);
    // Another device's session is as good as none.
    if (found == m_sessions.end() || found->second->deviceId != device.id) {
        respond(connection, errorReply(410, "This view of the window has ended."));
        return true;
    }
    Live& live = *found->second;
    if (action.empty() && request.method == "DELETE") {
        end(id, "the phone left");
        respond(connection, jsonReply(200, json::object()));
    } else if (action == "frame" && request.method == "GET") {
        frame(connection, live, request);
    } else if (action == "input" && request.method == "POST") {
        input(connection, device, live, request);
    } else {
        respond(connection, errorReply(405, "This method is not allowed here."));
    }
    return true;
}

void Streaming::windows(ConnectionId connection)
{
    if (auto refused = unavailable())
        return respond(connection, std::move(*refused));
    m_services.background([this, alive = m_alive, post = m_services.post, connection, display = m_settings.display] {
        std::string error;
        auto windows = screen::listWindows(display, &error);
        post([this, alive, connection, windows = std::move(windows), error] {
            if (!*alive)
                return;
            if (!windows)
                return respond(connection, errorReply(503, error));
            respond(connection, jsonReply(200, {{"windows", windowList(*windows)}}));
        });
    });
}

void Streaming::start(ConnectionId connection, const Device& device, const http::Request& request)
{
    if (auto refused = unavailable())
        return respond(connection, std::move(*refused));
    const auto body = json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("request") || !body["request"].is_string())
        return respond(connection, errorReply(400, "Name the request whose window to show."));
    const std::string requestId = body["request"];
    const auto helpRequest = m_services.findRequest(requestId);
    if (!helpRequest || !helpRequest->isOpen())
        return respond(connection, errorReply(404, "This request is no longer waiting."));
    std::optional<screen::WindowId> chosen;
    if (body.contains("window")) {
        chosen = body["window"].is_string() ? screen::parseWindowId(body["window"].get<std::string>()) : std::nullopt;
        if (!chosen)
            return respond(connection, errorReply(400, "The window id is malformed."));
    }
    if (m_sessions.size() + m_starting >= m_settings.maxSessions)
        return respond(connection, errorReply(429, "Two windows are shown already; stop one first."));

    ++m_starting;
    const std::string app = helpRequest->app.value_or("");
    // Named before it exists: its callbacks come from its own thread and find it by this.
    const std::string sessionName = m_settings.newId();
    auto started = [this, alive = m_alive, connection, requestId, deviceId = device.id, sessionName](
                       std::unique_ptr<screen::Session> session, screen::WindowInfo window, http::Response refusal) {
        if (!*alive)
            return;
        --m_starting;
        const auto stillOpen = m_services.findRequest(requestId);
        if (session && (!stillOpen || !stillOpen->isOpen())) {
            m_services.background([gone = std::shared_ptr<screen::Session>(std::move(session))] {});
            refusal = errorReply(404, "This request is no longer waiting.");
        }
        if (!session)
            return respond(connection, std::move(refusal));
        auto live = std::make_unique<Live>();
        live->id = sessionName;
        live->requestId = requestId;
        live->deviceId = deviceId;
        live->window = window;
        live->session = std::move(session);
        Live& added = *live;
        m_sessions.emplace(added.id, std::move(live));
        armIdle(added);
        respond(connection, jsonReply(200, {{"id", added.id}, {"window", windowJson(window)}}));
        if (m_services.announce)
            m_services.announce(window.title.empty() ? window.app : window.title);
        if (m_services.changed)
            m_services.changed();
    };
    // On other threads only `post` is used, never this object, which may be gone by then.
    m_services.background([this, alive = m_alive, post = m_services.post, display = m_settings.display, chosen, app,
                           started, sessionName] {
        std::string error;
        auto windows = screen::listWindows(display, &error);
        auto reply = [post, started](std::unique_ptr<screen::Session> session, screen::WindowInfo window,
                                     http::Response refusal) {
            auto shared = std::make_shared<std::unique_ptr<screen::Session>>(std::move(session));
            post([started, shared, window, refusal]() mutable { started(std::move(*shared), window, refusal); });
        };
        if (!windows)
            return reply(nullptr, {}, errorReply(503, error));
        const auto target = chosen ? chosen : screen::matchWindow(*windows, app);
        if (!target)
            return reply(nullptr, {},
                         jsonReply(409, {{"error", app.empty() ? "Choose the window to show."
                                                               : "No window matches " + app + "; choose one."},
                                         {"windows", windowList(*windows)}}));
        screen::WindowInfo window;
        for (const auto& each : *windows)
            if (each.id == *target)
                window = each;
        if (!window.id)
            return reply(nullptr, {}, errorReply(404, "That window is gone."));

        screen::Session::Callbacks callbacks;
        callbacks.frame = [this, alive, post, sessionName](screen::Frame frame) {
            auto shared = std::make_shared<screen::Frame>(std::move(frame));
            post([this, alive, sessionName, shared] {
                if (!*alive)
                    return;
                auto found = m_sessions.find(sessionName);
                if (found == m_sessions.end())
                    return;
                Live& live = *found->second;
                live.newest = std::max(live.newest, shared->seq);
                // A frame meant for a request that was replaced meanwhile may
                // be one the phone has already.
                if (!live.waiting || (live.afterKnown && shared->seq <= live.after))
                    return;
                http::Response reply;
                reply.contentType = "image/jpeg";
                reply.body = std::move(shared->jpeg);
                reply.headers.emplace_back("X-Frame-Seq", std::to_string(shared->seq));
                answerWaiting(live, std::move(reply));
            });
        };
        callbacks.ended = [this, alive, post, sessionName](std::string why) {
            post([this, alive, sessionName, why] {
                if (*alive)
                    end(sessionName, why);
            });
        };
        screen::Session::StartError startError;
        auto session = screen::Session::start({display, window.id}, callbacks, &startError);
        if (!session)
            return reply(nullptr, {},
                         errorReply(startError.kind == screen::Session::StartError::Kind::Window ? 404 : 503,
                                    startError.message));
        reply(std::move(session), window, {});
    });
}

void Streaming::frame(ConnectionId connection, Live& live, const http::Request& request)
{
    const auto after = request.queryValue("after").value_or("0");
    if (after.empty() || after.size() > 19 || after.find_first_not_of("0123456789") != std::string::npos)
        return respond(connection, errorReply(400, "after must be a frame number."));
    // One frame in flight: a newer request replaces the waiting one.
    if (live.waiting)
        answerWaiting(live, http::Response{204, {}, {}, {}, false});
    live.waiting = connection;
    live.after = std::stoull(after);
    live.afterKnown = live.after <= live.newest;
    // A phone waiting for a change is watching: the idle end starts once it stops waiting.
    m_loop.cancel(live.idleTimer);
    live.idleTimer = 0;
    const std::string id = live.id;
    live.waitTimer = m_loop.at(EventLoop::Clock::now() + m_settings.frameWait, [this, id] {
        auto found = m_sessions.find(id);
        if (found == m_sessions.end() || !found->second->waiting)
            return;
        found->second->waitTimer = 0;
        answerWaiting(*found->second, http::Response{204, {}, {}, {}, false});
    });
    live.session->requestFrame(live.after);
}

void Streaming::answerWaiting(Live& live, http::Response reply)
{
    const ConnectionId connection = *live.waiting;
    live.waiting.reset();
    m_loop.cancel(live.waitTimer);
    live.waitTimer = 0;
    armIdle(live);
    respond(connection, std::move(reply));
}

void Streaming::input(ConnectionId connection, const Device& device, Live& live, const http::Request& request)
{
    if (!m_inputRate.allow(device.id, EventLoop::Clock::now()))
        return respond(connection, errorReply(429, "Too many taps and keys; slow down."));
    const auto event = inputEvent(json::parse(request.body, nullptr, false));
    if (!event)
        return respond(connection, errorReply(400, "Send a tap, text, key or scroll."));
    armIdle(live);
    live.session->input(*event);
    respond(connection, jsonReply(200, json::object()));
}

void Streaming::armIdle(Live& live)
{
    if (live.waiting)
        return; // started once the parked request is answered or dropped
    m_loop.cancel(live.idleTimer);
    const std::string id = live.id;
    live.idleTimer = m_loop.at(EventLoop::Clock::now() + m_settings.idleEnd,
                               [this, id] { end(id, "no frame was asked for in a while"); });
}

void Streaming::end(const std::string& sessionId, const std::string& why)
{
    auto found = m_sessions.find(sessionId);
    if (found == m_sessions.end())
        return;
    std::unique_ptr<Live> live = std::move(found->second);
    m_sessions.erase(found);
    m_loop.cancel(live->idleTimer);
    m_loop.cancel(live->waitTimer);
    if (live->waiting)
        respond(*live->waiting, errorReply(410, "The window is gone: " + why + "."));
    m_services.background([session = std::shared_ptr<screen::Session>(std::move(live->session))] {});
    if (m_services.changed)
        m_services.changed();
}

void Streaming::connectionClosed(ConnectionId connection)
{
    for (auto& [id, live] : m_sessions) {
        if (live->waiting == connection) {
            live->waiting.reset();
            m_loop.cancel(live->waitTimer);
            live->waitTimer = 0;
            armIdle(*live);
        }
    }
}

void Streaming::endWhere(const std::function<bool(const Live&)>& which, const std::string& why)
{
    std::vector<std::string> ending;
    for (const auto& [id, live] : m_sessions)
        if (which(*live))
            ending.push_back(id);
    for (const auto& id : ending)
        end(id, why);
}

void Streaming::requestEnded(const std::string& requestId)
{
    endWhere([&](const Live& live) { return live.requestId == requestId; }, "the request ended");
}

void Streaming::deviceForgotten(const std::string& deviceId)
{
    endWhere([&](const Live& live) { return live.deviceId == deviceId; }, "the phone was removed");
}

} // namespace ringlark::helper::phone
