#pragma once

// The phone's view of the window an agent is stuck on, on the daemon's loop:
// which windows there are, sessions on one of them, frames parked until the
// window changes, and taps and typing sent back. Everything that talks to
// the X server runs on the screen worker or on a session's own thread.
//
// Under /api/v1, for a paired device:
//   GET    windows                           {"windows":[{"id","title","app","width","height"}]}
//   POST   sessions {"request","window"?}    {"id","window"}; 409 with the windows when none matches
//   DELETE sessions/{id} {}                  ends it
//   GET    sessions/{id}/frame?after=<n>     a JPEG numbered in X-Frame-Seq, once the window changed
//                                            after frame n; 204 after a while without change; 410 once ended
//   POST   sessions/{id}/input {...}         tap, text, key or scroll

#include "helper/api/Records.h"
#include "helper/net/EventLoop.h"
#include "helper/net/HttpServer.h"
#include "helper/phone/Devices.h"
#include "helper/phone/PhoneAccess.h"
#include "helper/screen/Permissions.h"
#include "helper/screen/Session.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace ringlark::helper::phone {

class Streaming {
public:
    using ConnectionId = HttpServer::ConnectionId;
    using Job = std::function<void()>;

    struct Services {
        std::function<void(ConnectionId, const http::Response&)> respond;
        std::function<void(Job)> post;       // onto the loop, from any thread
        std::function<void(Job)> background; // onto the screen worker
        std::function<std::optional<HelpRequest>(const std::string& id)> findRequest;
        std::function<void(const std::string& windowTitle)> announce; // a session began
        std::function<void()> changed;                               // a session began or ended
    };
    struct Settings {
        std::string display;
        std::function<std::optional<screen::Permissions>()> permissions; // as last probed
        std::size_t maxSessions = 2;
        std::chrono::milliseconds idleEnd{60000};   // without a frame request
        std::chrono::milliseconds frameWait{25000}; // a parked frame request
        std::size_t inputPerSecond = 50;            // per device
        std::function<std::string()> newId;
    };

    Streaming(EventLoop& loop, Services services, Settings settings);
    ~Streaming();
    Streaming(const Streaming&) = delete;
    Streaming& operator=(const Streaming&) = delete;

    // True when the request was one of these routes.
    bool handle(ConnectionId connection, const Device& device, const http::Request& request);
    void connectionClosed(ConnectionId connection);
    // Sessions for a request end with it.
    void requestEnded(const std::string& requestId);
    void deviceForgotten(const std::string& deviceId);
    bool active() const { return !m_sessions.empty(); }

private:
    struct Live;

    void windows(ConnectionId connection);
    void start(ConnectionId connection, const Device& device, const http::Request& request);
    void frame(ConnectionId connection, Live& live, const http::Request& request);
    void input(ConnectionId connection, const Device& device, Live& live, const http::Request& request);
    void end(const std::string& sessionId, const std::string& why);
    void endWhere(const std::function<bool(const Live&)>& which, const std::string& why);
    void answerWaiting(Live& live, http::Response reply); // the parked frame request, once
    void armIdle(Live& live);
    void respond(ConnectionId connection, http::Response response);
    std::optional<http::Response> unavailable() const;

    EventLoop& m_loop;
    Services m_services;
    Settings m_settings;
    RateLimit m_inputRate;
    std::size_t m_starting = 0;
    std::unordered_map<std::string, std::unique_ptr<Live>> m_sessions;
    // Set to false when this object goes, so late jobs from other threads do nothing.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace ringlark::helper::phone
