#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helper/phone/push/Ntfy.h"
#include "helper/phone/push/VapidKey.h"

namespace httplib {
class ClientImpl;
}

namespace ringlark::helper::push {

// A browser's push subscription as PushSubscription.toJSON() gives it.
struct Subscription {
    std::string endpoint;
    std::string p256dh;  // base64url
    std::string auth;    // base64url
};

struct Outcome {
    int status = 0;     // the HTTP status; 0 when nothing was delivered
    std::string error;  // empty on success

    bool delivered() const { return status >= 200 && status < 300; }
    // The push service says the subscription is no more: forget it.
    bool gone() const { return status == 404 || status == 410; }
};

// Sends Web Push messages and ntfy publishes on worker threads of its own, so
// the caller's loop never waits on the network. `done` runs on a worker
// thread; the daemon passes a function that posts the outcome to its loop.
class PushSender {
public:
    using Done = std::function<void(Outcome)>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    struct Options {
        bool testMode = false;  // allows endpoints and ntfy servers on this computer, over http too
        std::chrono::milliseconds timeout{5000};  // connect, and each read or write
        std::string subject;                      // the VAPID contact, "https://<machine>.<tailnet>.ts.net"
        std::size_t queueLimit = 64;              // beyond this the oldest waiting message is dropped
        std::size_t workers = 2;
        std::string caFile;                       // trust anchors; the system's by default
        std::string caDir = "/etc/ssl/certs";
        Clock clock;                              // system_clock::now when empty
    };

    PushSender(Options options, const VapidKey& key);
    // Drops what still waits (without calling its `done`), stops requests in
    // flight and waits for the workers; `done` of an interrupted request runs
    // before this returns.
    ~PushSender();
    PushSender(const PushSender&) = delete;
    PushSender& operator=(const PushSender&) = delete;

    // `payload` is the plaintext (payloadFor), `topic` at most 32 base64url
    // characters (topicFor) or empty.
    void send(Subscription subscription, std::string payload, std::string topic, Done done);
    void publishNtfy(HttpRequest request, Done done);

private:
    struct Job {
        bool webPush = true;
        Subscription subscription;
        std::string payload;
        std::string topic;
        HttpRequest request;
        Done done;
    };

    void enqueue(Job job);
    void work();
    Outcome run(const Job& job);
    Outcome webPush(const Job& job);
    Outcome post(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers,
                 const std::string& body, const std::string& contentType);
    static void report(const Done& done, Outcome outcome);

    const Options options_;
    const VapidKey key_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::vector<Done> dropped_;
    std::set<httplib::ClientImpl*> active_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace ringlark::helper::push
