#pragma once

// The phone listener's routes, on the daemon's loop: the app's files, pairing,
// the live request list, answers, push subscriptions and the paired devices.
// Streaming a window is another object's; this one hands it the requests.
//
// On 127.0.0.1:<phone port>, reached through tailscale serve as
// https://<machine>.<tailnet>.ts.net:8643. Under /api/v1:
//   POST   pair {"code","name"}            pairs this browser: sets the device cookie
//   GET    requests?since=<v>&timeout_ms=  {"version","requests"}; parked while the version is `since`
//   POST   requests/{id}/answer {"text"}   resolves the request with the text for the agent
//   POST   requests/{id}/dismiss {}        dismisses it (also with ?cap=<capability>, the relay's button)
//   GET    push                            {"vapid_public_key","subscribed"}
//   PUT    push {"endpoint","keys"}        this device's push subscription
//   GET    devices                         {"devices":[...]}
//   DELETE devices/{id} {}                 forgets a device (this one or another)
// Pages: /, /pair, /r/<id>, /sw.js, /manifest.webmanifest and the app's assets.

#include "helper/api/Records.h"
#include "helper/api/RequestStore.h"
#include "helper/net/EventLoop.h"
#include "helper/net/HttpServer.h"
#include "helper/phone/Devices.h"
#include "helper/phone/Pairing.h"
#include "helper/phone/PhoneAccess.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

namespace ringlark::helper::phone {

// When a parked poll of `timeout` ends: moved earlier onto a five-second grid,
// so that many phones' polls end, and come back, in the same wakeups. Short
// waits keep their time.
EventLoop::Clock::time_point pollDeadline(EventLoop::Clock::time_point now, std::chrono::milliseconds timeout);

class PhoneServer {
public:
    using ConnectionId = HttpServer::ConnectionId;

    struct Services {
        std::function<void(ConnectionId, const http::Response&)> respond;
        // The last known Tailscale state, when one is known.
        std::function<std::optional<TailscaleInfo>()> tailscale;
        // Ends an open request as the daemon does for every client.
        std::function<std::optional<HelpRequest>(const std::string& id, std::string_view status,
                                                 std::optional<std::string> answer)>
            end;
        std::function<void()> devicesChanged;
        // Forgets a device everywhere (its streaming sessions too, and
        // deviceRemoved here); false when unknown. Unset: the store alone.
        std::function<bool(const std::string& id)> forgetDevice;
        // Whether `capability` lets the relay's button dismiss request `id`.
        std::function<bool(const std::string& id, std::string_view capability)> dismissAllowed;
        // Routes of the streaming side: true when it took the request.
        std::function<bool(ConnectionId, const Device&, const http::Request&)> streaming;
        std::function<void(ConnectionId)> streamingClosed;
    };
    struct Settings {
        bool testHooks = false;
        std::string vapidPublicKey; // base64url; empty when pushes cannot be signed
        std::chrono::milliseconds maxWait{30000};
        std::size_t maxAnswerCharacters = 1000;
        std::function<EventLoop::Clock::time_point()> clock = EventLoop::Clock::now;
    };

    PhoneServer(EventLoop& loop, RequestStore& requests, DeviceStore& devices, PairingCodes& codes, Services services,
                Settings settings);
    ~PhoneServer();
    PhoneServer(const PhoneServer&) = delete;
    PhoneServer& operator=(const PhoneServer&) = delete;

    void handle(const HttpServer::Exchange& exchange, http::Request request);
    void connectionClosed(ConnectionId connection, bool awaiting);
    // The list of open requests changed: parked polls are answered.
    void requestsChanged();
    // A device was forgotten: its parked polls are refused now, not answered later.
    void deviceRemoved(const std::string& id);

    // Where the tailnet reaches this listener, once Tailscale is usable.
    std::optional<Site> site() const;
    std::size_t parkedPolls() const { return m_parked.size(); }

private:
    void route(ConnectionId connection, const http::Request& request);
    void page(ConnectionId connection, const http::Request& request);
    void pair(ConnectionId connection, const http::Request& request);
    void list(ConnectionId connection, const Device& device, const http::Request& request);
    void endRequest(ConnectionId connection, const std::string& id, std::string_view status,
                    std::optional<std::string> answer);
    void answer(ConnectionId connection, const std::string& id, const http::Request& request);
    void push(ConnectionId connection, const Device& device, const http::Request& request);
    void devices(ConnectionId connection, const Device& device, const http::Request& request);
    void answerList(ConnectionId connection);
    void respond(ConnectionId connection, http::Response response);

    EventLoop& m_loop;
    RequestStore& m_requests;
    DeviceStore& m_devices;
    PairingCodes& m_codes;
    Services m_services;
    Settings m_settings;
    RateLimit m_perDevice{20, std::chrono::seconds(1)};
    struct Parked {
        EventLoop::TimerId timer;
        std::string device;
    };
    std::unordered_map<ConnectionId, Parked> m_parked;
};

} // namespace ringlark::helper::phone
