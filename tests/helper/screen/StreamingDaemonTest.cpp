// The phone's window view through the real `ringlark daemon` on a private Xvfb:
// what a paired phone sees and sends, how sessions end, who may use them, and
// that the daemon keeps answering while the X server does not.

#include "tests/helper/TailscaleStandIn.h"
#include "tests/helper/RawHttp.h"
#include "tests/helper/screen/Xvfb.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <turbojpeg.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ringlark::test::Child;
using ringlark::test::RawReply;
using ringlark::test::Xvfb;
using Clock = std::chrono::steady_clock;

const std::string kServeName = "phone-test.example.ts.net";
const std::string kOwner = "owner@example.com";
constexpr auto kIdle = 1500ms;      // RINGLARK_SESSION_IDLE_MS
constexpr auto kFrameWait = 2500ms; // RINGLARK_FRAME_WAIT_MS


int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string header(const RawReply& reply, std::string name)
{
    auto lower = [](std::string text) {
        for (char& c : text)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string head = lower(reply.head);
    const auto at = head.find("\r\n" + lower(name) + ":");
    if (at == std::string::npos)
        return {};
    const auto start = reply.head.find_first_not_of(' ', at + name.size() + 3);
    return reply.head.substr(start, reply.head.find("\r\n", start) - start);
}

std::uint64_t frameSeq(const RawReply& reply) { return std::strtoull(header(reply, "X-Frame-Seq").c_str(), nullptr, 10); }

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    std::array<int, 3> at(int x, int y) const
    {
        const auto* p = &rgb[std::size_t(y * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

Picture decode(const std::string& jpeg)
{
    Picture picture;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    if (tjDecompressHeader3(handle, bytes, jpeg.size(), &picture.width, &picture.height, &subsampling, &colourspace) == 0) {
        picture.rgb.resize(std::size_t(picture.width * picture.height * 3));
        if (tjDecompress2(handle, bytes, jpeg.size(), picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB, 0) != 0)
            picture = {};
    }
    tjDestroy(handle);
    return picture;
}

void expectColour(const Picture& picture, int x, int y, std::array<int, 3> expected, const char* what)
{
    const auto actual = picture.at(x, y);
    for (std::size_t c = 0; c < 3; ++c)
        EXPECT_NEAR(actual[c], expected[c], 24) << what << " at " << x << "," << y << " channel " << c;
}

class StreamingDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Xvfb::available())
            GTEST_SKIP() << "Xvfb is not installed";
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(m_xvfb.start()) << "Xvfb did not start";
        char pattern[] = "/tmp/ringlark-stream-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_home = pattern;
        std::filesystem::create_directories(m_home / "bin");
        std::ofstream(m_home / "bin" / "tailscale") << std::string(ringlark::test::tailscaleStandIn);
        std::filesystem::permissions(m_home / "bin" / "tailscale", std::filesystem::perms::owner_all);
        m_port = freePort();
        m_phonePort = freePort();
    }

    void TearDown() override
    {
        if (m_xvfb.pid() > 0)
            ::kill(m_xvfb.pid(), SIGCONT); // a stopped server would never take its SIGTERM
        m_daemon.stop();
        m_window.stop();
        m_xvfb.stop();
        if (!m_home.empty())
            std::filesystem::remove_all(m_home);
    }

    std::vector<std::string> environment() const
    {
        return {"HOME=" + m_home.string(), "PATH=" + (m_home / "bin").string() + ":/usr/bin:/bin",
                "RINGLARK_PORT=" + std::to_string(m_port), "RINGLARK_PHONE_PORT=" + std::to_string(m_phonePort),
                "RINGLARK_TEST_HOOKS=1", "RINGLARK_SESSION_IDLE_MS=" + std::to_string(kIdle.count()),
                "RINGLARK_FRAME_WAIT_MS=" + std::to_string(kFrameWait.count()), "RINGLARK_ORPHAN_GRACE_MS",
                m_sessionType.empty() ? "XDG_SESSION_TYPE" : "XDG_SESSION_TYPE=" + m_sessionType, "WAYLAND_DISPLAY"};
    }

    void startDaemon()
    {
        ASSERT_TRUE(m_daemon.start({RINGLARK_HELPER_PATH, "daemon"}, m_xvfb.display(), -1, false, environment()));
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            std::ifstream file(m_home / ".ringlark" / "daemon.token");
            std::getline(file, m_token);
            if (!m_token.empty() && token("GET", "/v1/status").status == 200)
                return;
            std::this_thread::sleep_for(20ms);
        }
        FAIL() << "the daemon did not answer";
    }

    // The test window, drawn; its id as the daemon writes it.
    std::string openWindow(Child& child, const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv{SCREEN_TEST_WINDOW};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_TRUE(child.start(argv, m_xvfb.display()));
        const auto line = child.readLine(5s).value_or("");
        EXPECT_EQ(line.rfind("ready 0x", 0), 0u) << "the test window did not come up";
        return line.size() > 6 ? line.substr(6) : "";
    }
    std::string openProbe() { return openWindow(m_window, {"--class", "StreamProbe", "--title", "Probe", "--geometry", "400x300+50+60"}); }

    RawReply token(const std::string& method, const std::string& path, const std::string& body = {})
    {
        return ringlark::test::exchangeOn(ringlark::test::connectTcp(m_port),
                                          ringlark::test::requestText(method, path, m_token, "127.0.0.1:" + std::to_string(m_port), body));
    }
    json status() { return json::parse(token("GET", "/v1/status").body, nullptr, false); }

    // A phone's request on a connection of its own, left open for the reply.
    int send(const std::string& method, const std::string& path, const std::string& cookie, const json& body = nullptr)
    {
        std::string extra = "Tailscale-User-Login: " + kOwner + "\r\n";
        if (!cookie.empty())
            extra += "Cookie: " + cookie + "\r\n";
        std::string text;
        if (method != "GET") {
            extra += "Origin: http://" + kServeName + ":8643\r\nX-Ringlark-Phone: 1\r\n";
            text = body.is_null() ? "{}" : body.dump();
        }
        const int fd = ringlark::test::connectTcp(m_phonePort);
        ringlark::test::sendAll(fd, ringlark::test::requestText(method, path, "", kServeName + ":8643", text, extra));
        return fd;
    }
    RawReply phone(const std::string& method, const std::string& path, const std::string& cookie,
                   const json& body = nullptr, std::chrono::milliseconds timeout = 5s)
    {
        const int fd = send(method, path, cookie, body);
        RawReply reply = ringlark::test::readReply(fd, timeout);
        ::close(fd);
        return reply;
    }

    // Pairs a phone as the browser does; its cookie.
    std::string pair(const std::string& name)
    {
        std::string code;
        const auto deadline = Clock::now() + 15s;
        while (code.empty() && Clock::now() < deadline) {
            const auto reply = token("GET", "/v1/pairing");
            const auto url = json::parse(reply.body, nullptr, false);
            if (reply.status == 200 && url.is_object())
                code = url.value("url", "").substr(url.value("url", "").find("c=") + 2);
            else
                std::this_thread::sleep_for(50ms);
        }
        const auto reply = phone("POST", "/api/v1/pair", "", {{"code", code}, {"name", name}});
        EXPECT_EQ(reply.status, 200) << reply.body;
        const std::string cookie = header(reply, "Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }

    std::string createRequest(const std::string& app)
    {
        const auto reply = token("POST", "/v1/requests", json{{"reason", "Approve the sign-in"}, {"app", app}}.dump());
        EXPECT_EQ(reply.status, 201) << reply.body;
        return json::parse(reply.body, nullptr, false).value("id", "");
    }

    std::string startSession(const std::string& request, const std::string& cookie)
    {
        const auto reply = phone("POST", "/api/v1/sessions", cookie, {{"request", request}});
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body, nullptr, false).value("id", "");
    }
    std::string framePath(const std::string& session, std::uint64_t after)
    {
        return "/api/v1/sessions/" + session + "/frame?after=" + std::to_string(after);
    }
    RawReply input(const std::string& session, const std::string& cookie, const json& event)
    {
        return phone("POST", "/api/v1/sessions/" + session + "/input", cookie, event);
    }
    json permissionsCommand()
    {
        Child command;
        command.start({RINGLARK_HELPER_PATH, "permissions"}, m_xvfb.display(), -1, false, environment());
        return json::parse(command.readLine(5s).value_or(""), nullptr, false);
    }
    std::string next(Child& window) { return window.readLine(3s).value_or("(nothing)"); }

    Xvfb m_xvfb;
    Child m_window, m_daemon;
    std::filesystem::path m_home;
    std::string m_sessionType; // empty: unset
    std::string m_token;
    int m_port = 0, m_phonePort = 0;
};

TEST_F(StreamingDaemon, PhoneSeesTheRequestsWindowAndDrivesIt)
{
    const std::string windowId = openProbe();
    // On top of the probe and listed first: the request's app must still win.
    Child decoy;
    openWindow(decoy, {"--class", "Decoy", "--pattern", "solid:808080", "--geometry", "200x150+600+60"});
    startDaemon();
    ASSERT_FALSE(HasFatalFailure());

    const json permissions = status()["permissions"];
    EXPECT_EQ(permissions, json({{"screen_recording", true}, {"accessibility", true}}));
    EXPECT_EQ(permissionsCommand(), permissions) << "ringlark permissions and the status agree";

    const std::string cookie = pair("Phone one");
    const std::string request = createRequest("StreamProbe");
    const json windows = json::parse(phone("GET", "/api/v1/windows", cookie).body, nullptr, false)["windows"];
    ASSERT_TRUE(windows.is_array());
    EXPECT_NE(std::find(windows.begin(), windows.end(),
                        json{{"id", windowId}, {"title", "Probe"}, {"app", "StreamProbe"}, {"width", 400}, {"height", 300}}),
              windows.end())
        << windows;

    const auto started = phone("POST", "/api/v1/sessions", cookie, {{"request", request}});
    ASSERT_EQ(started.status, 200) << started.body;
    const json session = json::parse(started.body);
    EXPECT_EQ(session["window"]["id"], windowId);
    const std::string id = session["id"];
    EXPECT_EQ(status()["session_active"], true);

    auto first = phone("GET", framePath(id, 0), cookie);
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(header(first, "Content-Type"), "image/jpeg");
    const std::uint64_t seq = frameSeq(first);
    EXPECT_GE(seq, 1u);
    Picture picture = decode(first.body);
    ASSERT_EQ(picture.width, 400);
    ASSERT_EQ(picture.height, 300);
    expectColour(picture, 50, 50, {255, 0, 0}, "top left");
    expectColour(picture, 350, 50, {0, 255, 0}, "top right");
    expectColour(picture, 50, 250, {0, 0, 255}, "bottom left");
    expectColour(picture, 350, 250, {255, 255, 0}, "bottom right");

    // Nothing changes: the request waits, then gets 204 once, and the session
    // outlives the wait although it is longer than the idle end.
    int parked = send("GET", framePath(id, seq), cookie);
    const auto parkedAt = Clock::now();
    EXPECT_EQ(ringlark::test::readReply(parked, 1000ms).status, 0) << "answered although nothing changed";
    const auto waited = ringlark::test::readReply(parked, 3000ms);
    EXPECT_EQ(waited.status, 204);
    EXPECT_GE(Clock::now() - parkedAt, kFrameWait - 100ms);
    EXPECT_EQ(ringlark::test::readReply(parked, 300ms).status, 0) << "a parked request is answered once";
    ::close(parked);
    EXPECT_EQ(status()["session_active"], true);

    // A newer request takes the place of a parked one, which gets 204 at once;
    // the tap's picture answers the newer one, with a higher number.
    parked = send("GET", framePath(id, seq), cookie);
    std::this_thread::sleep_for(200ms);
    const int newer = send("GET", framePath(id, seq), cookie);
    EXPECT_EQ(ringlark::test::readReply(parked, 2s).status, 204);
    EXPECT_EQ(input(id, cookie, {{"type", "tap"}, {"x", 0.25}, {"y", 0.25}}).status, 200);
    EXPECT_EQ(next(m_window), "press 1 100 75");
    const auto tapped = ringlark::test::readReply(newer, 3s);
    ASSERT_EQ(tapped.status, 200);
    EXPECT_GT(frameSeq(tapped), seq);
    expectColour(decode(tapped.body), 100, 75, {255, 255, 255}, "the tap's mark");
    EXPECT_EQ(ringlark::test::readReply(parked, 300ms).status, 0) << "the replaced request got a second answer";
    ::close(parked);
    ::close(newer);

    EXPECT_EQ(input(id, cookie, {{"type", "text"}, {"text", "123456"}}).status, 200);
    EXPECT_EQ(input(id, cookie, {{"type", "key"}, {"key", "Return"}}).status, 200);
    for (const char* key : {"key 0x31", "key 0x32", "key 0x33", "key 0x34", "key 0x35", "key 0x36", "key 0xff0d"})
        EXPECT_EQ(next(m_window), key);

    // No window matches the app: the phone gets the list and picks from it.
    const std::string unmatched = createRequest("NoSuchApp");
    const auto offered = phone("POST", "/api/v1/sessions", cookie, {{"request", unmatched}});
    EXPECT_EQ(offered.status, 409);
    EXPECT_NE(offered.body.find(windowId), std::string::npos) << offered.body;
    const std::pair<const char*, int> choices[] = {{"nonsense", 400}, {"0x1", 404}, {"", 200}};
    for (auto [window, expected] : choices) {
        const auto reply = phone("POST", "/api/v1/sessions", cookie,
                                 {{"request", unmatched}, {"window", *window ? window : windowId}});
        EXPECT_EQ(reply.status, expected) << window << ": " << reply.body;
    }
}

TEST_F(StreamingDaemon, SessionsEndWhenUnwatchedOrWithTheirRequestOrWindow)
{
    openProbe();
    startDaemon();
    ASSERT_FALSE(HasFatalFailure());
    const std::string cookie = pair("Phone one");
    const std::string request = createRequest("StreamProbe");

    {
        SCOPED_TRACE("nobody asks for frames");
        const std::string id = startSession(request, cookie);
        ASSERT_EQ(phone("GET", framePath(id, 0), cookie).status, 200);
        const auto asked = Clock::now();
        std::this_thread::sleep_for(kIdle * 2 / 3);
        EXPECT_EQ(status()["session_active"], true);
        while (status()["session_active"] == true && Clock::now() - asked < kIdle + 2s)
            std::this_thread::sleep_for(50ms);
        EXPECT_GE(Clock::now() - asked, kIdle * 95 / 100);
        EXPECT_EQ(status()["session_active"], false);
        EXPECT_EQ(phone("GET", framePath(id, 1), cookie).status, 410);
    }
    {
        SCOPED_TRACE("the phone drops its parked frame request");
        const std::string id = startSession(request, cookie);
        const auto first = phone("GET", framePath(id, 0), cookie);
        ::close(send("GET", framePath(id, frameSeq(first)), cookie));
        const auto closed = Clock::now();
        while (status()["session_active"] == true && Clock::now() - closed < kIdle + 2s)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(status()["session_active"], false) << "the idle end starts again once the request is gone";
    }
    {
        SCOPED_TRACE("the request ends");
        const std::string id = startSession(request, cookie);
        const int parked = send("GET", framePath(id, frameSeq(phone("GET", framePath(id, 0), cookie))), cookie);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(token("POST", "/v1/requests/" + request + "/resolve", "{}").status, 200);
        EXPECT_EQ(ringlark::test::readReply(parked, 2s).status, 410);
        ::close(parked);
        EXPECT_EQ(phone("POST", "/api/v1/sessions", cookie, {{"request", request}}).status, 404);
    }
    {
        SCOPED_TRACE("the phone is removed on the computer");
        const std::string other = pair("Phone two");
        const std::string id = startSession(createRequest("StreamProbe"), other);
        const int parked = send("GET", framePath(id, frameSeq(phone("GET", framePath(id, 0), other))), other);
        std::this_thread::sleep_for(100ms);
        const std::string device = other.substr(other.find('=') + 1, other.find('.') - other.find('=') - 1);
        EXPECT_EQ(token("DELETE", "/v1/devices/" + device, "{}").status, 200);
        EXPECT_EQ(ringlark::test::readReply(parked, 2s).status, 410);
        ::close(parked);
        EXPECT_EQ(status()["session_active"], false);
    }
    {
        SCOPED_TRACE("the window closes");
        const std::string id = startSession(createRequest("StreamProbe"), cookie);
        const int parked = send("GET", framePath(id, frameSeq(phone("GET", framePath(id, 0), cookie))), cookie);
        std::this_thread::sleep_for(100ms);
        m_window.stop();
        EXPECT_EQ(ringlark::test::readReply(parked, 3s).status, 410);
        ::close(parked);
        EXPECT_EQ(status()["session_active"], false);
        EXPECT_EQ(phone("GET", framePath(id, 0), cookie).status, 410);
    }
}

TEST_F(StreamingDaemon, SessionsBelongToOnePhoneAndAreRationed)
{
    openProbe();
    startDaemon();
    ASSERT_FALSE(HasFatalFailure());
    const std::string mine = pair("Phone one"), theirs = pair("Phone two");
    ASSERT_NE(mine, theirs);
    const std::string request = createRequest("StreamProbe");
    const std::string id = startSession(request, mine);
    startSession(request, theirs);
    EXPECT_EQ(phone("POST", "/api/v1/sessions", mine, {{"request", request}}).status, 429) << "two at most";

    EXPECT_EQ(phone("GET", framePath(id, 0), theirs).status, 410);
    EXPECT_EQ(input(id, theirs, {{"type", "tap"}, {"x", 0.5}, {"y", 0.5}}).status, 410);
    EXPECT_EQ(phone("DELETE", "/api/v1/sessions/" + id, theirs).status, 410);
    EXPECT_EQ(phone("GET", framePath(id, 0), mine).status, 200) << "the owner's session goes on";

    // Frames and input together stay within the input limit, not under a lower one.
    int accepted = 0;
    for (int i = 0; i < 50; ++i)
        accepted += input(id, mine, {{"type", "scroll"}, {"dy", 0}}).status == 200;
    EXPECT_EQ(accepted, 50);
    EXPECT_EQ(input(id, mine, {{"type", "scroll"}, {"dy", 0}}).status, 429);

    EXPECT_EQ(phone("DELETE", "/api/v1/sessions/" + id, mine).status, 200);
    EXPECT_EQ(phone("GET", framePath(id, 0), mine).status, 410);
    EXPECT_EQ(phone("POST", "/api/v1/sessions", mine, {{"request", request}}).status, 200) << "a place is free again";
}

TEST_F(StreamingDaemon, DaemonAnswersWhileTheXServerDoesNot)
{
    openProbe();
    // Started while the server takes connections but answers nothing.
    ASSERT_EQ(::kill(m_xvfb.pid(), SIGSTOP), 0);
    const auto launched = Clock::now();
    startDaemon();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_LT(Clock::now() - launched, 4s) << "the status waited for the X server";
    EXPECT_EQ(status()["permissions"], json({{"screen_recording", false}, {"accessibility", false}}));
    const std::string cookie = pair("Phone one");
    const std::string request = createRequest("StreamProbe");
    const auto refused = phone("POST", "/api/v1/sessions", cookie, {{"request", request}});
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("does not answer"), std::string::npos) << refused.body;
    ::kill(m_xvfb.pid(), SIGCONT);
    const auto resumed = Clock::now();
    while (status()["permissions"]["screen_recording"] != true && Clock::now() - resumed < 3s)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(status()["permissions"], json({{"screen_recording", true}, {"accessibility", true}}));

    // Stopped again under a live session.
    const std::string id = startSession(request, cookie);
    ASSERT_EQ(phone("GET", framePath(id, 0), cookie).status, 200);

    ASSERT_EQ(::kill(m_xvfb.pid(), SIGSTOP), 0);
    const int listing = send("GET", "/api/v1/windows", cookie); // blocks the screen worker, not the loop
    EXPECT_EQ(input(id, cookie, {{"type", "tap"}, {"x", 0.5}, {"y", 0.5}}).status, 200);
    std::this_thread::sleep_for(100ms); // the session's thread now waits on the server
    const auto before = Clock::now();
    EXPECT_EQ(phone("DELETE", "/api/v1/sessions/" + id, cookie, nullptr, 1s).status, 200);
    EXPECT_EQ(status()["session_active"], false);
    EXPECT_EQ(token("GET", "/v1/requests").status, 200);
    EXPECT_LT(Clock::now() - before, 1s); // a session ended on the loop would hold it up to 2 s

    ::kill(m_xvfb.pid(), SIGCONT);
    EXPECT_EQ(ringlark::test::readReply(listing, 5s).status, 200) << "the listing finishes once the server answers";
    ::close(listing);
}

TEST_F(StreamingDaemon, WaylandSessionCannotStream)
{
    openProbe();
    m_sessionType = "wayland";
    startDaemon();
    ASSERT_FALSE(HasFatalFailure());

    const json permissions = status()["permissions"];
    EXPECT_EQ(permissions, json({{"screen_recording", false}, {"accessibility", false}}));
    EXPECT_EQ(permissionsCommand(), permissions);
    const std::string cookie = pair("Phone one");
    const auto refused = phone("POST", "/api/v1/sessions", cookie, {{"request", createRequest("StreamProbe")}});
    EXPECT_EQ(refused.status, 503);
    const std::string why = json::parse(refused.body, nullptr, false).value("error", "");
    EXPECT_NE(why.find("Wayland session"), std::string::npos) << why;
    EXPECT_NE(why.find("X11"), std::string::npos) << why;
    EXPECT_EQ(phone("GET", "/api/v1/windows", cookie).status, 503);
}

} // namespace
