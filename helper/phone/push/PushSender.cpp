#include "helper/phone/push/PushSender.h"

#include <algorithm>
#include <memory>

#include <httplib.h>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/Ece.h"
#include "helper/phone/push/Endpoint.h"
#include "helper/phone/push/Vapid.h"

namespace ringlark::helper::push {

namespace {

// A push service keeps an undelivered notice this long: after ten minutes a
// request has likely been answered at the computer.
constexpr const char* kTimeToLive = "600";
constexpr std::size_t kMaxTopic = 32;
constexpr std::size_t kMaxShownReply = 200;

bool validTopic(std::string_view topic)
{
    return topic.size() <= kMaxTopic && std::all_of(topic.begin(), topic.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

std::string describe(httplib::Error error)
{
    switch (error) {
    case httplib::Error::Connection: return "could not connect";
    case httplib::Error::ConnectionTimeout: return "timed out connecting";
    case httplib::Error::Read: return "no answer in time";
    case httplib::Error::Write: return "could not send the request";
    case httplib::Error::SSLConnection: return "the secure connection failed";
    case httplib::Error::SSLServerVerification: return "the server's certificate did not verify";
    case httplib::Error::SSLLoadingCerts: return "could not load the trusted certificates";
    default: return httplib::to_string(error);
    }
}

// Enough of a refusal's body to tell why (services answer with a short reason),
// as printable text.
std::string shownReply(const std::string& body)
{
    std::string shown = body.substr(0, kMaxShownReply);
    std::replace_if(shown.begin(), shown.end(), [](unsigned char c) { return c < 0x20 || c >= 0x7f; }, ' ');
    return shown;
}

} // namespace

PushSender::PushSender(Options options, const VapidKey& key) : options_(std::move(options)), key_(key)
{
    const std::size_t count = std::max<std::size_t>(1, options_.workers);
    for (std::size_t i = 0; i < count; ++i)
        workers_.emplace_back([this] { work(); });
}

PushSender::~PushSender()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        dropped_.clear();
        for (httplib::ClientImpl* client : active_)
            client->stop();
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void PushSender::send(Subscription subscription, std::string payload, std::string topic, Done done)
{
    Job job;
    job.subscription = std::move(subscription);
    job.payload = std::move(payload);
    job.topic = std::move(topic);
    job.done = std::move(done);
    enqueue(std::move(job));
}

void PushSender::publishNtfy(HttpRequest request, Done done)
{
    Job job;
    job.webPush = false;
    job.request = std::move(request);
    job.done = std::move(done);
    enqueue(std::move(job));
}

void PushSender::enqueue(Job job)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        // The newest notice matters most; the oldest waiting one is likely stale.
        if (queue_.size() >= std::max<std::size_t>(1, options_.queueLimit)) {
            dropped_.push_back(std::move(queue_.front().done));
            queue_.pop_front();
        }
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void PushSender::work()
{
    for (;;) {
        std::vector<Done> dropped;
        std::optional<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || !dropped_.empty(); });
            if (stopping_)
                return;
            dropped.swap(dropped_);
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        for (const Done& done : dropped)
            report(done, Outcome{0, "dropped: too many messages waiting"});
        if (!job)
            continue;
        Outcome outcome;
        try {
            outcome = run(*job);
        } catch (const std::exception& e) {
            // An escaped exception would end the whole daemon from this thread.
            outcome = Outcome{0, std::string("unexpected failure: ") + e.what()};
        }
        report(job->done, std::move(outcome));
    }
}

void PushSender::report(const Done& done, Outcome outcome)
{
    if (!done)
        return;
    try {
        done(std::move(outcome));
    } catch (...) {
        // A throwing callback must not take the worker down.
    }
}

Outcome PushSender::run(const Job& job)
{
    if (job.webPush)
        return webPush(job);
    const std::optional<UrlParts> server = splitUrl(job.request.url);
    if (!server || (server->scheme != "https" && !(options_.testMode && isLoopbackHost(server->host))))
        return Outcome{0, "the ntfy server must be an https URL"};
    return post(job.request.url, job.request.headers, job.request.body, job.request.contentType);
}

Outcome PushSender::webPush(const Job& job)
{
    const Subscription& subscription = job.subscription;
    if (const std::optional<std::string> problem = endpointProblem(subscription.endpoint, options_.testMode))
        return Outcome{0, *problem};
    const std::optional<std::string> uaPublic = base64UrlDecode(subscription.p256dh);
    const std::optional<std::string> auth = base64UrlDecode(subscription.auth);
    if (!uaPublic || !auth)
        return Outcome{0, "the subscription's keys are not base64url"};
    if (!validTopic(job.topic))
        return Outcome{0, "the push topic must be at most 32 base64url characters"};
    const Expected<std::string> body = encrypt(job.payload, *uaPublic, *auth);
    if (!body)
        return Outcome{0, body.error()};
    const std::optional<UrlParts> parts = splitUrl(subscription.endpoint);
    const auto now = options_.clock ? options_.clock() : std::chrono::system_clock::now();
    const Expected<std::string> jwt = vapidJwt(key_, parts->origin, options_.subject, now);
    if (!jwt)
        return Outcome{0, jwt.error()};

    std::vector<std::pair<std::string, std::string>> headers = {
        {"TTL", kTimeToLive},
        {"Urgency", "high"},
        {"Content-Encoding", "aes128gcm"},
        {"Authorization", vapidAuthorization(*jwt, key_)},
    };
    if (!job.topic.empty())
        headers.emplace_back("Topic", job.topic);
    return post(subscription.endpoint, headers, *body, "application/octet-stream");
}

Outcome PushSender::post(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& body, const std::string& contentType)
{
    const std::optional<UrlParts> parts = splitUrl(url);
    if (!parts)
        return Outcome{0, "not an http(s) URL"};
    std::unique_ptr<httplib::ClientImpl> client;
    if (parts->scheme == "https") {
        auto tls = std::make_unique<httplib::SSLClient>(parts->host, parts->port);
        tls->set_ca_cert_path(options_.caFile, options_.caFile.empty() ? options_.caDir : std::string());
        tls->enable_server_certificate_verification(true);
        client = std::move(tls);
    } else {
        client = std::make_unique<httplib::ClientImpl>(parts->host, parts->port);
    }
    client->set_connection_timeout(options_.timeout);
    client->set_read_timeout(options_.timeout);
    client->set_write_timeout(options_.timeout);
    client->set_follow_location(false);

    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return Outcome{0, "stopped"};
        active_.insert(client.get());
    }
    httplib::Headers sent(headers.begin(), headers.end());
    const httplib::Result result = client->Post(parts->target, sent, body, contentType);
    {
        std::lock_guard lock(mutex_);
        active_.erase(client.get());
    }

    const std::string where = parts->host + ": ";
    if (!result)
        return Outcome{0, where + describe(result.error())};
    Outcome outcome{result->status, {}};
    if (!outcome.delivered())
        outcome.error = where + "answered " + std::to_string(result->status) + " " + shownReply(result->body);
    return outcome;
}

} // namespace ringlark::helper::push
