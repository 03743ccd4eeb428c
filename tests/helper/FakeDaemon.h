#pragma once

// A daemon stand-in on the private Unix socket of a temporary home: it checks the
// token, keeps requests in memory and records what the MCP mode asked of it.

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace ringlark::test {

class FakeDaemon {
    QTemporaryDir m_homeDir; // first: `home` names it

public:
    FakeDaemon() : home(m_homeDir.path().toStdString()), directory(home / ".ringlark")
    {
        std::filesystem::create_directories(directory);
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
        writeToken("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
        m_server.set_address_family(AF_UNIX);
        m_server.new_task_queue = [] { return new httplib::ThreadPool(256); };
        install();
        m_server.bind_to_port((directory / "daemon.sock").string(), 80);
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~FakeDaemon()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_server.stop();
        m_thread.join();
    }

    // Replaces the token, as a restarted daemon does; the old one is refused from now on.
    // With `accepted` false only the file changes: the daemon keeps wanting the old one.
    void writeToken(const std::string& value, bool accepted = true)
    {
        const auto file = directory / "daemon.token";
        const auto temporary = directory / "daemon.token.new";
        std::ofstream(temporary) << value << "\n";
        std::filesystem::permissions(temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::filesystem::rename(temporary, file);
        std::lock_guard lock(m_mutex);
        if (accepted)
            m_token = value;
    }

    // Every creation is answered with this status and text instead (e.g. 429).
    void refuseWith(int status, std::string text)
    {
        std::lock_guard lock(m_mutex);
        m_refusal = {status, std::move(text)};
    }

    void end(const std::string& id, const std::string& status, const std::optional<std::string>& answer = {})
    {
        std::lock_guard lock(m_mutex);
        auto& request = m_requests.at(id);
        if (request["status"] == "pending") {
            request["status"] = status;
            if (answer)
                request["answer"] = *answer;
        }
        m_changed.notify_all();
    }

    std::vector<std::string> ids() const { return locked([&] { return m_order; }); }
    nlohmann::json request(const std::string& id) const { return locked([&] { return m_requests.at(id); }); }
    int refusedTokens() const { return locked([&] { return m_refusedTokens; }); }
    int postsSeen() const { return locked([&] { return m_posts; }); }

    // Until `count` requests exist, or `id` has `status`; bounded.
    bool awaitCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_order.size() >= count; });
    }
    bool awaitStatus(const std::string& id, const std::string& status,
                     std::chrono::milliseconds timeout = std::chrono::seconds(3)) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_requests.at(id)["status"] == status; });
    }

    const std::filesystem::path home;
    const std::filesystem::path directory;

private:
    template <typename Read>
    std::invoke_result_t<Read> locked(Read read) const
    {
        std::lock_guard lock(m_mutex);
        return read();
    }

    bool authorised(const httplib::Request& request, httplib::Response& response)
    {
        std::lock_guard lock(m_mutex);
        if (request.get_header_value("X-Ringlark-Token") == m_token)
            return true;
        ++m_refusedTokens;
        response.status = 403;
        response.set_content("The token is wrong.", "text/plain");
        return false;
    }

    void install()
    {
        m_server.Post("/v1/requests", [this](const httplib::Request& request, httplib::Response& response) {
            if (!authorised(request, response))
                return;
            std::lock_guard lock(m_mutex);
            ++m_posts;
            if (m_refusal) {
                response.status = m_refusal->first;
                response.set_content(m_refusal->second, "text/plain");
                return;
            }
            auto record = nlohmann::json::parse(request.body);
            record["id"] = "r" + std::to_string(m_order.size() + 1);
            record["status"] = "pending";
            m_order.push_back(record["id"]);
            m_requests[record["id"]] = record;
            m_changed.notify_all();
            response.status = 201;
            response.set_content(record.dump(), "application/json");
        });
        m_server.Post(R"(/v1/requests/([^/]+)/withdraw)", [this](const httplib::Request& request,
                                                                httplib::Response& response) {
            if (!authorised(request, response))
                return;
            std::lock_guard lock(m_mutex);
            auto found = m_requests.find(request.matches[1]);
            if (found == m_requests.end()) {
                response.status = 404;
                return;
            }
            if (found->second["status"] == "pending")
                found->second["status"] = "withdrawn";
            m_changed.notify_all();
            response.set_content(found->second.dump(), "application/json");
        });
        m_server.Get(R"(/v1/requests/([^/]+)/wait)", [this](const httplib::Request& request,
                                                           httplib::Response& response) {
            if (!authorised(request, response))
                return;
            // Long polls are kept short here so that few threads serve many waiters.
            const auto timeout = std::min(std::chrono::milliseconds(std::stoll(request.get_param_value("timeout_ms"))),
                                          std::chrono::milliseconds(300));
            std::unique_lock lock(m_mutex);
            auto found = m_requests.find(request.matches[1]);
            if (found == m_requests.end()) {
                response.status = 404;
                return;
            }
            m_changed.wait_for(lock, timeout, [&] { return m_stopping || found->second["status"] != "pending"; });
            response.set_content(found->second.dump(), "application/json");
        });
    }

    httplib::Server m_server;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_token;
    std::optional<std::pair<int, std::string>> m_refusal;
    std::map<std::string, nlohmann::json> m_requests;
    std::vector<std::string> m_order;
    int m_refusedTokens = 0;
    int m_posts = 0;
    bool m_stopping = false;
};

} // namespace ringlark::test
