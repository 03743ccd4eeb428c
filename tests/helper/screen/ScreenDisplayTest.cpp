#include "helper/screen/Permissions.h"
#include "helper/screen/Session.h"
#include "helper/screen/Windows.h"
#include "tests/helper/screen/Xvfb.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

// Last: Xlib's macros (None, Bool, Status) clash with GoogleTest's names.
#include <X11/Xlib.h>

using namespace ringlark::helper::screen;
using namespace std::chrono_literals;
using ringlark::test::Child;
using ringlark::test::Xvfb;

namespace {

// What a session hands back, collected across threads.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Frame> frames;
    std::vector<std::string> endings;

    Session::Callbacks callbacks()
    {
        return {[this](Frame frame) {
                    std::lock_guard lock(mutex);
                    frames.push_back(std::move(frame));
                    arrived.notify_all();
                },
            [this](std::string why) {
                std::lock_guard lock(mutex);
                endings.push_back(std::move(why));
                arrived.notify_all();
            }};
    }

    std::optional<Frame> frame(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, timeout, [&] { return !frames.empty(); }))
            return std::nullopt;
        Frame frame = std::move(frames.front());
        frames.pop_front();
        return frame;
    }

    std::optional<std::string> ending(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, timeout, [&] { return !endings.empty(); }))
            return std::nullopt;
        return endings.front();
    }
};

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;

    std::array<int, 3> at(int x, int y) const
    {
        const auto* p = rgb.data() + (std::size_t(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

Picture decode(const Frame& frame)
{
    Picture picture;
    tjhandle decoder = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(frame.jpeg.data());
    if (tjDecompressHeader3(decoder, bytes, frame.jpeg.size(), &picture.width, &picture.height, &subsampling,
            &colourspace)
        == 0) {
        picture.rgb.resize(std::size_t(picture.width) * picture.height * 3);
        if (tjDecompress2(decoder, bytes, frame.jpeg.size(), picture.rgb.data(), picture.width, 0, picture.height,
                TJPF_RGB, 0)
            != 0)
            picture = {};
    }
    tjDestroy(decoder);
    return picture;
}

void expectColour(const Picture& picture, int x, int y, std::array<int, 3> expected, const char* what)
{
    const auto actual = picture.at(x, y);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(actual[std::size_t(c)], expected[std::size_t(c)], 24)
            << what << " at " << x << "," << y << " channel " << c;
}

constexpr std::array<int, 3> kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kYellow{255, 255, 0},
    kWhite{255, 255, 255};

class ScreenDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Xvfb::available())
            GTEST_SKIP() << "Xvfb is not installed";
        std::signal(SIGPIPE, SIG_IGN); // as the daemon does: a dead X connection must not kill us
        ASSERT_TRUE(m_xvfb.start()) << "Xvfb did not start";
    }

    // Starts a test window and waits until it is drawn.
    WindowId openWindow(Child& child, const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv{SCREEN_TEST_WINDOW};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_TRUE(child.start(argv, m_xvfb.display()));
        auto line = child.readLine(5s);
        if (!line || line->rfind("ready 0x", 0) != 0) {
            ADD_FAILURE() << "the test window did not come up";
            return 0;
        }
        return *parseWindowId(line->substr(6));
    }

    std::unique_ptr<Session> startSession(WindowId window, Inbox& inbox)
    {
        Session::StartError error;
        auto session = Session::start({m_xvfb.display(), window}, inbox.callbacks(), &error);
        EXPECT_TRUE(session) << error.message;
        return session;
    }

    // A test window of the usual size with a session on it.
    struct Streamed {
        Child window;
        WindowId id = 0;
        Inbox inbox;
        std::unique_ptr<Session> session;
    };
    void stream(Streamed& streamed, const std::vector<std::string>& arguments = {"--geometry", "400x300+100+100"})
    {
        streamed.id = openWindow(streamed.window, arguments);
        streamed.session = startSession(streamed.id, streamed.inbox);
    }

    // The next line the window logs, skipping none.
    static std::string next(Child& child) { return child.readLine(3s).value_or("(nothing)"); }

    Xvfb m_xvfb;
};

TEST_F(ScreenDisplay, ProbeSeesTheServersExtensions)
{
    const Permissions ok = probePermissions({m_xvfb.display(), "x11", ""});
    EXPECT_TRUE(ok.screenRecording);
    EXPECT_TRUE(ok.accessibility);
    EXPECT_EQ(ok.reason, "");

    const Permissions wayland = probePermissions({m_xvfb.display(), "wayland", "wayland-0"});
    EXPECT_FALSE(wayland.screenRecording);
    EXPECT_FALSE(wayland.accessibility);

    // Nothing listens there: refused at once instead of hanging.
    const auto before = std::chrono::steady_clock::now();
    const Permissions dead = probePermissions({":4093", "x11", ""});
    EXPECT_FALSE(dead.screenRecording);
    EXPECT_NE(dead.reason.find("cannot be opened"), std::string::npos) << dead.reason;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST_F(ScreenDisplay, ListsTheWindowWithTitleClassAndProcess)
{
    Child window, other;
    const WindowId id = openWindow(window, {"--title", "Ledger — café", "--class", "LedgerApp", "--geometry", "400x300+100+100"});
    const WindowId otherId = openWindow(other, {"--title", "Other", "--class", "OtherApp", "--geometry", "200x100+600+100"});
    ASSERT_NE(id, 0u);

    std::string error;
    auto windows = listWindows(m_xvfb.display(), &error);
    ASSERT_TRUE(windows) << error;
    auto found = std::find_if(windows->begin(), windows->end(), [&](const WindowInfo& w) { return w.id == id; });
    ASSERT_NE(found, windows->end());
    EXPECT_EQ(found->title, "Ledger — café"); // _NET_WM_NAME wins over WM_NAME
    EXPECT_EQ(found->app, "LedgerApp");
    EXPECT_EQ(found->pid, window.pid());
    EXPECT_EQ(found->process, std::string("screen_test_window").substr(0, 15));
    EXPECT_EQ(found->width, 400);
    EXPECT_EQ(found->height, 300);
    EXPECT_FALSE(found->minimised);
    EXPECT_EQ(windows->front().id, otherId); // topmost first
    EXPECT_EQ(matchWindow(*windows, "ledgerapp"), id);
    EXPECT_EQ(matchWindow(*windows, "café"), id);

    window.stop();
    windows = listWindows(m_xvfb.display(), &error);
    ASSERT_TRUE(windows);
    EXPECT_EQ(matchWindow(*windows, "ledgerapp"), std::nullopt);
}

TEST_F(ScreenDisplay, StartRefusesWhatCannotBeStreamed)
{
    Inbox inbox;
    Session::StartError error;
    EXPECT_FALSE(Session::start({m_xvfb.display(), 0x3fffff1}, inbox.callbacks(), &error));
    EXPECT_EQ(error.kind, Session::StartError::Kind::Window);
    EXPECT_FALSE(Session::start({":4093", 0x200001}, inbox.callbacks(), &error));
    EXPECT_EQ(error.kind, Session::StartError::Kind::Display);
}

TEST_F(ScreenDisplay, FramesShowTheWindowAndNothingThatCoversIt)
{
    Child window, cover;
    const WindowId id = openWindow(window, {"--geometry", "400x300+100+100"});
    Inbox inbox;
    auto session = startSession(id, inbox);
    ASSERT_TRUE(session);

    session->requestFrame(0);
    auto first = inbox.frame(3s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->seq, 1u);
    EXPECT_EQ(first->width, 400);
    EXPECT_EQ(first->height, 300);
    Picture picture = decode(*first);
    ASSERT_EQ(picture.width, 400);
    expectColour(picture, 50, 50, kRed, "top left");
    expectColour(picture, 350, 50, kGreen, "top right");
    expectColour(picture, 50, 250, kBlue, "bottom left");
    expectColour(picture, 350, 250, kYellow, "bottom right");
    expectColour(picture, 200 - 32 + 4, 150 - 32 + 4, {0, 0, 0}, "checker");
    expectColour(picture, 200 - 32 + 12, 150 - 32 + 4, kWhite, "checker");

    // A magenta window over the bottom right, then a change the window draws.
    openWindow(cover, {"--pattern", "solid:ff00ff", "--geometry", "300x200+250+200", "--class", "Cover"});
    session->input(InputEvent::tap(0.25, 0.25));
    EXPECT_EQ(next(window), "press 1 100 75");
    session->requestFrame(1);
    auto second = inbox.frame(3s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->seq, 2u);
    picture = decode(*second);
    expectColour(picture, 100, 75, kWhite, "the tap's mark");
    expectColour(picture, 350, 250, kYellow, "under the cover");
    expectColour(picture, 175, 250, kBlue, "under the cover's corner");
}

TEST_F(ScreenDisplay, NewFramesOnlyWhenTheWindowChanges)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);
    s.session->requestFrame(0);
    auto first = s.inbox.frame(3s);
    ASSERT_TRUE(first);

    s.session->requestFrame(first->seq);
    const auto cpuBefore = std::clock();
    EXPECT_FALSE(s.inbox.frame(400ms)) << "a frame although nothing changed";
    // Waiting costs nothing: no polling, no timer ticks.
    EXPECT_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.05);

    s.session->input(InputEvent::tap(0.5, 0.9));
    EXPECT_EQ(next(s.window), "press 1 200 270");
    auto second = s.inbox.frame(3s);
    ASSERT_TRUE(second) << "the change produced no frame";
    EXPECT_EQ(second->seq, first->seq + 1);

    // Asking again for what is there now resends it without a capture.
    s.session->requestFrame(0);
    auto again = s.inbox.frame(3s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->seq, second->seq);
    EXPECT_EQ(again->jpeg, second->jpeg);

    // A resize gets a frame of the new size.
    Display* display = XOpenDisplay(m_xvfb.display().c_str());
    ASSERT_TRUE(display);
    XResizeWindow(display, s.id, 200, 150);
    XSync(display, False);
    XCloseDisplay(display);
    s.session->requestFrame(second->seq);
    auto resized = s.inbox.frame(3s);
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->width, 200);
    EXPECT_EQ(resized->height, 150);
}

TEST_F(ScreenDisplay, DenseTextFramesStayWithinTheBudgetAndReadable)
{
    Child window;
    const WindowId id = openWindow(window, {"--pattern", "text", "--geometry", "1280x800+0+0"});
    Inbox inbox;
    auto session = startSession(id, inbox);
    ASSERT_TRUE(session);
    const std::size_t budget = Session::Options{}.frameBudget;

    std::uint64_t seq = 0;
    for (int tap = 0; tap <= 6; ++tap) {
        SCOPED_TRACE(tap);
        session->requestFrame(seq);
        if (tap > 0) {
            session->input(InputEvent::tap(0.5, 0.5)); // scrolls the text a line
            EXPECT_EQ(next(window), "press 1 640 400");
        }
        auto frame = inbox.frame(3s);
        ASSERT_TRUE(frame);
        EXPECT_GT(frame->seq, seq);
        seq = frame->seq;
        EXPECT_LE(frame->jpeg.size(), budget);
        // Shrunk no further than text stays legible, aspect kept.
        EXPECT_GE(frame->width, 640);
        EXPECT_EQ(frame->width * 800, frame->height * 1280);

        // Still text: dark strokes on white, lines apart. A frame shrunk into
        // mush would lose the light gaps between the lines.
        const Picture picture = decode(*frame);
        ASSERT_EQ(picture.width, frame->width);
        int dark = 0, light = 0, lightRows = 0;
        for (int y = 0; y < picture.height; ++y) {
            int rowLight = 0;
            for (int x = 0; x < picture.width; ++x) {
                const int luma = picture.at(x, y)[1];
                dark += luma < 96;
                rowLight += luma > 200;
            }
            light += rowLight;
            lightRows += rowLight > picture.width * 95 / 100;
        }
        const double pixels = double(picture.width) * picture.height;
        EXPECT_GT(dark / pixels, 0.03);
        EXPECT_GT(light / pixels, 0.5);
        EXPECT_GT(lightRows, picture.height / 20) << "no clear gaps between the lines";
    }
    // Each tap made exactly one frame: the repaint's tail did not make another.
    session->requestFrame(seq);
    EXPECT_FALSE(inbox.frame(300ms));
}

TEST_F(ScreenDisplay, TapsAndScrollsLandWhereAsked)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);

    s.session->input(InputEvent::tap(0.25, 0.5));
    EXPECT_EQ(next(s.window), "press 1 100 150");
    s.session->input(InputEvent::tap(1.5, -3)); // clamped into the s.window
    EXPECT_EQ(next(s.window), "press 1 399 0");
    s.session->input(InputEvent::scrolled(120));
    EXPECT_EQ(next(s.window), "press 5 399 0");
    EXPECT_EQ(next(s.window), "press 5 399 0");
    s.session->input(InputEvent::scrolled(-10));
    EXPECT_EQ(next(s.window), "press 4 399 0");
}

TEST_F(ScreenDisplay, TypedTextArrivesAsTyped)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);

    s.session->input(InputEvent::typed("123456"));
    s.session->input(InputEvent::pressed("Return"));
    s.session->input(InputEvent::typed("A!"));
    std::vector<std::string> keys;
    for (int i = 0; i < 9; ++i)
        keys.push_back(next(s.window));
    EXPECT_EQ(keys, (std::vector<std::string>{"key 0x31", "key 0x32", "key 0x33", "key 0x34", "key 0x35", "key 0x36",
                        "key 0xff0d", "key 0x41", "key 0x21"}));
}

TEST_F(ScreenDisplay, CharactersOffTheKeymapArriveAndTheKeymapIsRestored)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);

    s.session->input(InputEvent::typed("éжé"));
    EXPECT_EQ(next(s.window), "key 0xe9");
    EXPECT_EQ(next(s.window), "key 0x1000436");
    EXPECT_EQ(next(s.window), "key 0xe9");
    s.session.reset();

    Display* display = XOpenDisplay(m_xvfb.display().c_str());
    ASSERT_TRUE(display);
    int min = 0, max = 0, per = 0;
    XDisplayKeycodes(display, &min, &max);
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(min), max - min + 1, &per);
    ASSERT_TRUE(map);
    KeySym* end = map + (max - min + 1) * per;
    EXPECT_EQ(std::find(map, end, 0x1000436ul), end) << "a borrowed key is still mapped";
    EXPECT_EQ(std::find(map, end, 0xe9ul), end) << "a borrowed key is still mapped";
    XFree(map);
    XCloseDisplay(display);
}

TEST_F(ScreenDisplay, ClosingTheWindowEndsTheSession)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);
    s.session->requestFrame(0);
    ASSERT_TRUE(s.inbox.frame(3s));
    s.session->requestFrame(1);

    s.window.stop();
    EXPECT_EQ(s.inbox.ending(3s), "The window was closed.");
    s.session->input(InputEvent::typed("ignored")); // harmless after the end
    s.session->requestFrame(1);
}

TEST_F(ScreenDisplay, LosingTheDisplayEndsTheSessionNotTheProcess)
{
    Streamed s;
    stream(s);
    ASSERT_TRUE(s.session);
    s.session->requestFrame(0);
    ASSERT_TRUE(s.inbox.frame(3s));

    m_xvfb.stop();
    EXPECT_EQ(s.inbox.ending(3s), "The connection to the X display was lost.");
    s.session.reset();
    SUCCEED() << "still running";
}

} // namespace

// The same under a window manager: windows are reparented into frames, the
// client list comes from EWMH, and raising and focusing go through it.
class ScreenManagedDisplay : public ScreenDisplay {
protected:
    void SetUp() override
    {
        ScreenDisplay::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (access("/usr/bin/openbox", X_OK) != 0)
            GTEST_SKIP() << "openbox is not installed";
        ASSERT_TRUE(m_wm.start({"openbox", "--sm-disable"}, m_xvfb.display(), -1, true));
        ASSERT_TRUE(waitUntilManaging()) << "openbox did not come up";
    }

    // Openbox drops windows mapped while it is still starting, even after it
    // announces itself: wait until it has framed a window of ours.
    bool waitUntilManaging()
    {
        Display* display = XOpenDisplay(m_xvfb.display().c_str());
        if (!display)
            return false;
        const Atom wmState = XInternAtom(display, "WM_STATE", False);
        bool managed = false;
        for (int attempt = 0; attempt < 20 && !managed; ++attempt) {
            Window probe = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
            XMapWindow(display, probe);
            XSync(display, False);
            for (int i = 0; i < 10 && !managed; ++i) {
                std::this_thread::sleep_for(20ms);
                Atom type = None;
                int format = 0;
                unsigned long count = 0, left = 0;
                unsigned char* data = nullptr;
                if (XGetWindowProperty(display, probe, wmState, 0, 2, False, AnyPropertyType, &type, &format, &count,
                        &left, &data)
                        == Success
                    && data) {
                    managed = count > 0;
                    XFree(data);
                }
            }
            XDestroyWindow(display, probe);
            XSync(display, False);
        }
        XCloseDisplay(display);
        return managed;
    }

    void TearDown() override { m_wm.stop(); }

    Child m_wm;
};

TEST_F(ScreenManagedDisplay, ListsStreamsAndTypesThroughTheWindowManager)
{
    Child window, cover;
    const WindowId id = openWindow(window, {"--title", "Managed", "--class", "ManagedApp", "--geometry", "400x300+100+100"});
    const WindowId coverId = openWindow(cover, {"--title", "Cover", "--class", "Cover", "--pattern", "solid:ff00ff", "--geometry", "400x300+100+100"});

    std::string error;
    auto windows = listWindows(m_xvfb.display(), &error);
    ASSERT_TRUE(windows) << error;
    ASSERT_EQ(windows->size(), 2u);
    EXPECT_EQ(windows->at(0).id, coverId); // the client windows, not their frames, topmost first
    EXPECT_EQ(windows->at(1).id, id);
    EXPECT_EQ(windows->at(1).title, "Managed");

    // Minimised, it is still listed, and a session brings it back.
    Display* display = XOpenDisplay(m_xvfb.display().c_str());
    ASSERT_TRUE(display);
    XIconifyWindow(display, id, DefaultScreen(display));
    XSync(display, False);
    XCloseDisplay(display);
    for (int i = 0; i < 40; ++i) {
        windows = listWindows(m_xvfb.display(), &error);
        if (windows && windows->size() == 2 && windows->back().minimised)
            break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(windows && windows->size() == 2);
    EXPECT_TRUE(std::any_of(windows->begin(), windows->end(), [&](const WindowInfo& w) { return w.id == id && w.minimised; }));

    Inbox inbox;
    auto session = startSession(id, inbox);
    ASSERT_TRUE(session);
    // Shown again, the window starts blank until it has repainted: frames
    // follow until it has.
    Picture picture;
    std::uint64_t seq = 0;
    for (int i = 0; i < 10 && (picture.width == 0 || picture.at(50, 50)[0] < 200); ++i) {
        session->requestFrame(seq);
        auto frame = inbox.frame(3s);
        ASSERT_TRUE(frame);
        seq = frame->seq;
        picture = decode(*frame);
    }
    ASSERT_EQ(picture.width, 400);
    expectColour(picture, 50, 50, kRed, "top left");
    expectColour(picture, 350, 250, kYellow, "bottom right");

    session->input(InputEvent::tap(0.75, 0.25));
    EXPECT_EQ(next(window), "press 1 300 75");
    session->input(InputEvent::typed("ok"));
    EXPECT_EQ(next(window), "key 0x6f");
    EXPECT_EQ(next(window), "key 0x6b");

    window.stop();
    EXPECT_EQ(inbox.ending(3s), "The window was closed.");
}
