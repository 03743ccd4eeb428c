#include "helper/screen/Session.h"

#include "helper/screen/Capture.h"
#include "helper/screen/FrameGate.h"
#include "helper/screen/Jpeg.h"
#include "helper/screen/Typist.h"
#include "helper/screen/XConnection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xcomposite.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace ringlark::helper::screen {
namespace {

constexpr std::size_t kMaxQueuedInputs = 256;
constexpr auto kFocusWait = std::chrono::milliseconds(300);
constexpr auto kStopWait = std::chrono::seconds(2);
// A repaint's notifications arrive within a few milliseconds of each other
// (see DamageSettle); the cap keeps a window that never stops streaming.
constexpr auto kDamageQuiet = std::chrono::milliseconds(4);
constexpr auto kDamageLongest = std::chrono::milliseconds(32);

const char* const kWindowClosed = "The window was closed.";
const char* const kDisplayLost = "The connection to the X display was lost.";

} // namespace

struct Session::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;
    std::optional<std::uint64_t> request;
    std::deque<InputEvent> inputs;
    enum class Phase { Starting, Running, Finished } phase = Phase::Starting;
    std::optional<StartError> startError;

    // Held while a callback runs, so ~Session can switch them off for good.
    std::mutex callbackMutex;
    bool callbacksLive = true;
    Callbacks callbacks;

    int wakeFd = -1;
    std::thread thread;

    ~Shared()
    {
        if (wakeFd >= 0)
            close(wakeFd);
    }

    void wake()
    {
        const std::uint64_t one = 1;
        ssize_t ignored = write(wakeFd, &one, sizeof one);
        (void)ignored;
    }
};

namespace {

// Everything that runs on the session's thread.
class Streamer {
public:
    Streamer(std::shared_ptr<Session::Shared> shared, Session::Options options)
        : m_shared(std::move(shared))
        , m_options(std::move(options))
        , m_budget({m_options.frameBudget, m_options.quality, m_options.floorQuality})
    {
    }

    void run()
    {
        std::optional<Session::StartError> failure = setUp();
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->startError = failure;
            m_shared->phase = failure ? Session::Shared::Phase::Finished : Session::Shared::Phase::Running;
        }
        m_shared->changed.notify_all();
        if (!failure)
            loop();
        tearDown();
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->phase = Session::Shared::Phase::Finished;
        }
        m_shared->changed.notify_all();
    }

private:
    std::optional<Session::StartError> setUp()
    {
        using Kind = Session::StartError::Kind;
        std::string error;
        m_display = openDisplay(m_options.display, &error);
        if (!m_display)
            return Session::StartError{Kind::Display, error};
        int eventBase = 0, errorBase = 0, major = 0, minor = 4;
        if (!XCompositeQueryExtension(m_display, &eventBase, &errorBase)
            || !XCompositeQueryVersion(m_display, &major, &minor) || (major == 0 && minor < 2))
            return Session::StartError{Kind::Display, "The X server lacks the Composite extension."};
        m_window = m_options.window;
        {
            ErrorTrap trap(m_display);
            XWindowAttributes attributes;
            if (m_window == 0 || m_window == DefaultRootWindow(m_display)
                || !XGetWindowAttributes(m_display, m_window, &attributes) || attributes.c_class != InputOutput)
                return Session::StartError{Kind::Window, "There is no such window."};
            m_screen = XScreenNumberOfScreen(attributes.screen);
            m_width = attributes.width;
            m_height = attributes.height;
        }
        m_capture.emplace(m_display, m_window);
        if (!m_capture->start(&error))
            return Session::StartError{connectionLost(m_display) ? Kind::Display : Kind::Window, error};
        if (XTestQueryExtension(m_display, &eventBase, &errorBase, &major, &minor))
            m_typist.emplace(m_display);
        m_activeWindowAtom = XInternAtom(m_display, "_NET_ACTIVE_WINDOW", False);
        m_managed = windowManagerActivates();
        activate();
        XSync(m_display, False);
        if (connectionLost(m_display))
            return Session::StartError{Kind::Display, kDisplayLost};
        return std::nullopt;
    }

    void tearDown()
    {
        if (!m_display)
            return;
        m_typist.reset();
        m_capture.reset();
        closeDisplay(m_display);
        m_display = nullptr;
    }

    void loop()
    {
        const int xfd = ConnectionNumber(m_display);
        while (!m_ended) {
            while (!m_ended && XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                handle(event);
            }
            if (connectionLost(m_display))
                end(kDisplayLost);
            if (m_ended)
                break;

            std::optional<std::uint64_t> request;
            std::deque<InputEvent> inputs;
            {
                std::lock_guard lock(m_shared->mutex);
                if (m_shared->stop)
                    break;
                request.swap(m_shared->request);
                inputs.swap(m_shared->inputs);
            }
            for (const InputEvent& event : inputs) {
                if (m_ended)
                    break;
                apply(event);
            }
            if (request && !m_ended)
                serve(m_gate.request(*request));
            if (m_ended)
                break;
            if (request || !inputs.empty())
                continue; // what they caused may already sit in Xlib's queue

            int timeout = -1;
            if (m_captureDue) {
                const auto now = DamageSettle::Clock::now();
                const auto readyAt = m_settle.readyAt();
                if (now >= readyAt) {
                    m_captureDue = false;
                    if (!m_hidden)
                        captureAndSend();
                    continue;
                }
                timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(readyAt - now).count());
            }
            if (XEventsQueued(m_display, QueuedAfterFlush) > 0)
                continue;
            pollfd fds[2] = {{xfd, POLLIN, 0}, {m_shared->wakeFd, POLLIN, 0}};
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
                end(kDisplayLost);
                break;
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t count = 0;
                ssize_t ignored = read(m_shared->wakeFd, &count, sizeof count);
                (void)ignored;
            }
        }
    }

    void handle(const XEvent& event)
    {
        if (event.type == m_capture->damageEventType()) {
            m_settle.damaged(DamageSettle::Clock::now());
            serve(m_gate.changed());
            return;
        }
        switch (event.type) {
        case DestroyNotify:
            if (event.xdestroywindow.window == m_window)
                end(kWindowClosed);
            break;
        case UnmapNotify:
            if (event.xunmap.window == m_window) {
                m_capture->reset();
                m_hidden = true;
            }
            break;
        case MapNotify:
            if (event.xmap.window == m_window) {
                m_capture->reset();
                m_hidden = false;
                serve(m_gate.changed());
            }
            break;
        case ConfigureNotify:
            if (event.xconfigure.window == m_window
                && (event.xconfigure.width != m_width || event.xconfigure.height != m_height)) {
                m_width = event.xconfigure.width;
                m_height = event.xconfigure.height;
                m_capture->reset();
                serve(m_gate.changed());
            }
            break;
        case ReparentNotify:
            if (event.xreparent.window == m_window)
                m_capture->reset();
            break;
        case MappingNotify: {
            XMappingEvent mapping = event.xmapping;
            XRefreshKeyboardMapping(&mapping);
            if (m_typist && mapping.request != MappingPointer)
                m_typist->reload();
            break;
        }
        default:
            break;
        }
    }

    void serve(FrameGate::Action action)
    {
        switch (action) {
        case FrameGate::Action::Wait:
            return;
        case FrameGate::Action::SendLast:
            m_gate.sent();
            deliver(m_last);
            return;
        case FrameGate::Action::Capture:
            if (m_hidden)
                return;
            // The loop captures once the window has stopped drawing; until
            // then every change it makes must notify us again.
            m_captureDue = true;
            if (DamageSettle::Clock::now() < m_settle.readyAt())
                m_capture->clearDamage();
            return;
        }
    }

    void captureAndSend()
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            ImageView view;
            switch (m_capture->grab(view)) {
            case WindowCapture::Grab::Ok: {
                Jpeg jpeg;
                std::string error;
                m_settle.captured();
                if (!m_encoder.encode(view, m_options.maxWidth, m_budget, jpeg, &error)) {
                    end("The picture could not be encoded: " + error);
                    return;
                }
                m_last = Frame{m_gate.captured(), std::move(jpeg.bytes), jpeg.width, jpeg.height};
                deliver(m_last);
                return;
            }
            case WindowCapture::Grab::NotShown:
                m_hidden = true; // until it is mapped again
                return;
            case WindowCapture::Grab::Gone:
                end(kWindowClosed);
                return;
            case WindowCapture::Grab::Failed:
                if (connectionLost(m_display)) {
                    end(kDisplayLost);
                    return;
                }
                m_capture->reset(); // resized under our feet: once more with a fresh pixmap
                break;
            }
        }
        end("The window cannot be captured.");
    }

    void deliver(const Frame& frame)
    {
        std::lock_guard lock(m_shared->callbackMutex);
        if (m_shared->callbacksLive && m_shared->callbacks.frame)
            m_shared->callbacks.frame(frame);
    }

    void end(const std::string& why)
    {
        if (m_ended)
            return;
        m_ended = true;
        std::lock_guard lock(m_shared->callbackMutex);
        if (m_shared->callbacksLive && m_shared->callbacks.ended)
            m_shared->callbacks.ended(why);
    }

    // --- focus and input ---

    bool windowManagerActivates()
    {
        ErrorTrap trap(m_display);
        const Window root = DefaultRootWindow(m_display);
        const Atom check = XInternAtom(m_display, "_NET_SUPPORTING_WM_CHECK", False);
        const Atom supported = XInternAtom(m_display, "_NET_SUPPORTED", False);
        auto items = [&](Window window, Atom name, Atom type) {
            std::vector<unsigned long> values;
            Atom actual = None;
            int format = 0;
            unsigned long count = 0, remaining = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(m_display, window, name, 0, 4096, False, type, &actual, &format, &count,
                    &remaining, &data)
                    == Success
                && data) {
                if (format == 32) {
                    auto* longs = reinterpret_cast<unsigned long*>(data);
                    values.assign(longs, longs + count);
                }
                XFree(data);
            }
            return values;
        };
        auto wm = items(root, check, XA_WINDOW);
        if (wm.empty())
            return false;
        auto self = items(wm.front(), check, XA_WINDOW);
        if (self.empty() || self.front() != wm.front())
            return false;
        auto atoms = items(root, supported, XA_ATOM);
        return std::find(atoms.begin(), atoms.end(), m_activeWindowAtom) != atoms.end();
    }

    Window topLevel(Window window)
    {
        const Window root = DefaultRootWindow(m_display);
        for (int depth = 0; depth < 16; ++depth) {
            Window rootReturn = None, parent = None;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(m_display, window, &rootReturn, &parent, &children, &count))
                return None;
            if (children)
                XFree(children);
            if (parent == root || parent == None)
                return window;
            window = parent;
        }
        return None;
    }

    // Raised and given the keyboard: through the window manager when one
    // runs (it may have to bring the window back from another workspace),
    // and directly too, which is all there is without one.
    void activate()
    {
        ErrorTrap trap(m_display);
        const Window root = DefaultRootWindow(m_display);
        if (m_managed) {
            XEvent message{};
            message.xclient.type = ClientMessage;
            message.xclient.window = m_window;
            message.xclient.message_type = m_activeWindowAtom;
            message.xclient.format = 32;
            message.xclient.data.l[0] = 2; // from a pager: the user asked for it
            message.xclient.data.l[1] = CurrentTime;
            XSendEvent(m_display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
        }
        XWindowAttributes attributes;
        if (XGetWindowAttributes(m_display, m_window, &attributes) && attributes.map_state == IsViewable) {
            if (Window top = topLevel(m_window))
                XRaiseWindow(m_display, top);
            XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
        }
    }

    bool hasFocus()
    {
        ErrorTrap trap(m_display);
        Window focus = None;
        int revert = 0;
        XGetInputFocus(m_display, &focus, &revert);
        const Window root = DefaultRootWindow(m_display);
        // The focus may sit on a child of the window (a toolkit's focus proxy).
        for (int depth = 0; depth < 16 && focus != None && focus != PointerRoot && focus != root; ++depth) {
            if (focus == m_window)
                return true;
            Window rootReturn = None, parent = None;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(m_display, focus, &rootReturn, &parent, &children, &count))
                return false;
            if (children)
                XFree(children);
            focus = parent;
        }
        return false;
    }

    // Keys must never reach another window: wait a moment for the window
    // manager to hand over the focus, and give up if it does not.
    bool ensureFocus()
    {
        if (hasFocus())
            return true;
        activate();
        const auto deadline = std::chrono::steady_clock::now() + kFocusWait;
        while (std::chrono::steady_clock::now() < deadline) {
            if (hasFocus())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return hasFocus();
    }

    // The root position of a point inside the window, once the spot shows
    // the window itself: another application's window in the way is sent
    // below by raising ours; a menu or tooltip (override-redirect) is taken
    // to be the application's own.
    std::optional<std::pair<int, int>> pointInWindow(double x, double y)
    {
        ErrorTrap trap(m_display);
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_display, m_window, &attributes) || attributes.map_state != IsViewable)
            return std::nullopt;
        auto pixel = tapPixel(x, y, attributes.width, attributes.height);
        if (!pixel)
            return std::nullopt;
        const Window root = DefaultRootWindow(m_display);
        const Window top = topLevel(m_window);
        int rootX = 0, rootY = 0;
        const auto showsWindow = [&] {
            Window child = None;
            // Asked afresh each time: raising may move the window too.
            if (!XTranslateCoordinates(m_display, m_window, root, pixel->x, pixel->y, &rootX, &rootY, &child))
                return false;
            int ignoredX = 0, ignoredY = 0;
            Window atPoint = None;
            XTranslateCoordinates(m_display, root, root, rootX, rootY, &ignoredX, &ignoredY, &atPoint);
            if (atPoint == top)
                return true;
            XWindowAttributes other;
            return atPoint != None && XGetWindowAttributes(m_display, atPoint, &other) && other.override_redirect;
        };
        if (showsWindow())
            return std::pair{rootX, rootY};
        // A window manager raises in its own time.
        activate();
        const auto deadline = std::chrono::steady_clock::now() + kFocusWait;
        do {
            XSync(m_display, False);
            if (showsWindow())
                return std::pair{rootX, rootY};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

    void apply(const InputEvent& event)
    {
        if (!m_typist)
            return; // no XTEST: the view works, input does not
        switch (event.kind) {
        case InputEvent::Kind::Tap:
            if (auto point = pointInWindow(event.x, event.y)) {
                XTestFakeMotionEvent(m_display, m_screen, point->first, point->second, CurrentTime);
                m_typist->click(1);
            }
            break;
        case InputEvent::Kind::Scroll: {
            const int clicks = scrollClicks(event.dy);
            if (clicks == 0)
                break;
            // Wheel events go to the window under the pointer: keep it there.
            Window rootReturn = None, child = None;
            int rootX = 0, rootY = 0, x = 0, y = 0;
            unsigned int mask = 0;
            XWindowAttributes attributes;
            const bool inside = XQueryPointer(m_display, m_window, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask)
                && XGetWindowAttributes(m_display, m_window, &attributes) && x >= 0 && y >= 0
                && x < attributes.width && y < attributes.height;
            auto point = inside ? pointInWindow((x + 0.5) / attributes.width, (y + 0.5) / attributes.height)
                                : pointInWindow(0.5, 0.5);
            if (!point)
                break;
            XTestFakeMotionEvent(m_display, m_screen, point->first, point->second, CurrentTime);
            for (int i = 0; i < std::abs(clicks); ++i)
                m_typist->click(clicks > 0 ? 5 : 4);
            break;
        }
        case InputEvent::Kind::Text: {
            const auto keysyms = keysymsForText(event.text);
            if (keysyms.empty() || !ensureFocus())
                break;
            for (Keysym keysym : keysyms)
                m_typist->type(keysym);
            break;
        }
        case InputEvent::Kind::Key:
            if (auto keysym = keysymForKeyName(event.key); keysym && ensureFocus())
                m_typist->type(*keysym);
            break;
        }
        XFlush(m_display);
    }

    std::shared_ptr<Session::Shared> m_shared;
    Session::Options m_options;
    Display* m_display = nullptr;
    Window m_window = None;
    int m_screen = 0;
    int m_width = -1, m_height = -1;
    Atom m_activeWindowAtom = None;
    bool m_managed = false;
    bool m_hidden = false;
    bool m_ended = false;
    std::optional<WindowCapture> m_capture;
    std::optional<Typist> m_typist;
    JpegEncoder m_encoder;
    FrameBudget m_budget;
    FrameGate m_gate;
    DamageSettle m_settle{kDamageQuiet, kDamageLongest};
    bool m_captureDue = false; // once the window has settled
    Frame m_last;
};

} // namespace

Session::Session(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared))
{
}

std::unique_ptr<Session> Session::start(Options options, Callbacks callbacks, StartError* error)
{
    auto fail = [&](StartError failure) -> std::unique_ptr<Session> {
        if (error)
            *error = std::move(failure);
        return nullptr;
    };
    auto shared = std::make_shared<Shared>();
    shared->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared->wakeFd < 0)
        return fail({StartError::Kind::Display, "The session could not start (no eventfd)."});
    shared->callbacks = std::move(callbacks);
    const auto timeout = options.startTimeout;
    shared->thread = std::thread([shared, options = std::move(options)]() mutable {
        Streamer(shared, std::move(options)).run();
    });

    std::unique_lock lock(shared->mutex);
    const bool answered = shared->changed.wait_for(lock, timeout, [&] { return shared->phase != Shared::Phase::Starting; });
    if (!answered) {
        shared->stop = true;
        lock.unlock();
        {
            std::lock_guard callbackLock(shared->callbackMutex);
            shared->callbacksLive = false;
        }
        shared->wake();
        shared->thread.detach(); // it ends once the server answers or the connection drops
        return fail({StartError::Kind::Display, "The X display does not answer."});
    }
    if (shared->startError) {
        StartError failure = *shared->startError;
        lock.unlock();
        shared->thread.join();
        return fail(std::move(failure));
    }
    lock.unlock();
    return std::unique_ptr<Session>(new Session(std::move(shared)));
}

void Session::requestFrame(std::uint64_t after)
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->request = after;
    }
    m_shared->wake();
}

void Session::input(const InputEvent& event)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->inputs.size() >= kMaxQueuedInputs)
            return;
        m_shared->inputs.push_back(event);
    }
    m_shared->wake();
}

Session::~Session()
{
    {
        std::lock_guard callbackLock(m_shared->callbackMutex);
        m_shared->callbacksLive = false;
    }
    std::unique_lock lock(m_shared->mutex);
    m_shared->stop = true;
    lock.unlock();
    m_shared->wake();
    lock.lock();
    const bool finished = m_shared->changed.wait_for(lock, kStopWait, [&] { return m_shared->phase == Shared::Phase::Finished; });
    lock.unlock();
    if (finished)
        m_shared->thread.join();
    else
        m_shared->thread.detach();
}

} // namespace ringlark::helper::screen
