// Screen streaming figures on a private Xvfb: capture and encode time of a
// window full of text and of an ordinary document, bytes per frame with the
// session's byte budget (and without it, for comparison), and how long a tap
// takes to come back as a frame. Prints p50/p99; takes about a minute.
//
//   cmake --build build --target screen_bench && build/tests/helper/screen/screen_bench
#include "helper/screen/Capture.h"
#include "helper/screen/Jpeg.h"
#include "helper/screen/Session.h"
#include "helper/screen/XConnection.h"
#include "tests/helper/screen/Xvfb.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

using namespace ringlark::helper::screen;
using namespace std::chrono;
using ringlark::test::Child;
using ringlark::test::Xvfb;

namespace {

struct Stats {
    std::vector<double> values;
    double percentile(double p)
    {
        std::sort(values.begin(), values.end());
        if (values.empty())
            return 0;
        const auto index = std::min(values.size() - 1, static_cast<std::size_t>(p * double(values.size())));
        return values[index];
    }
};

double msSince(steady_clock::time_point start)
{
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

// This thread's processor time: what the work costs, apart from waiting for
// the X server or for a core on a busy machine.
double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

std::optional<WindowId> openWindow(Child& child, const std::string& display, const std::string& pattern,
    const std::string& geometry)
{
    if (!child.start({SCREEN_TEST_WINDOW, "--pattern", pattern, "--geometry", geometry, "--title", "bench"}, display))
        return std::nullopt;
    auto line = child.readLine(seconds(5));
    if (!line || line->rfind("ready 0x", 0) != 0)
        return std::nullopt;
    return parseWindowId(line->substr(6));
}

const Session::Options kDefaults;

// `rounds` captures of the window, each encoded as a session does. With
// `cold`, every frame starts from a fresh budget: the cost of the frame on
// which a light window turns dense. Without a budget: quality 60, one encode.
void captureAndEncode(WindowCapture& capture, const char* what, int rounds, std::size_t budgetBytes, bool cold)
{
    const FrameBudget::Limits limits{budgetBytes, kDefaults.quality, kDefaults.floorQuality};
    JpegEncoder encoder;
    std::optional<FrameBudget> budget(limits);
    Stats grab, encode, total, encodeCpu, bytes;
    int attempts = 0, overBudget = 0;
    Jpeg jpeg;
    for (int i = 0; i < rounds; ++i) {
        if (cold)
            budget.emplace(limits);
        ImageView view;
        auto start = steady_clock::now();
        if (capture.grab(view) != WindowCapture::Grab::Ok) {
            std::printf("grab failed\n");
            return;
        }
        grab.values.push_back(msSince(start));
        const auto encodeStart = steady_clock::now();
        const double cpuStart = cpuMs();
        encoder.encode(view, kDefaults.maxWidth, *budget, jpeg);
        encodeCpu.values.push_back(cpuMs() - cpuStart);
        encode.values.push_back(msSince(encodeStart));
        total.values.push_back(msSince(start));
        bytes.values.push_back(double(jpeg.bytes.size()) / 1000);
        attempts += jpeg.attempts;
        overBudget += budgetBytes && jpeg.bytes.size() > budgetBytes;
    }
    std::printf("  %-34s %4.0f kB a frame (max %.0f, %d over), %dx%d q%d, %.2f encodes a frame;\n"
                "  %-34s capture p50 %.2f p99 %.2f; encode p50 %.2f p99 %.2f (processor p50 %.2f); "
                "capture+encode p50 %.2f p99 %.2f ms\n",
        what, bytes.percentile(0.5), bytes.percentile(1.0), overBudget, jpeg.width, jpeg.height, jpeg.quality,
        double(attempts) / rounds, "", grab.percentile(0.5), grab.percentile(0.99), encode.percentile(0.5),
        encode.percentile(0.99), encodeCpu.percentile(0.5), total.percentile(0.5), total.percentile(0.99));
}

void measureWindow(const std::string& displayName, WindowId window, const char* title, int rounds)
{
    std::string error;
    Display* display = openDisplay(displayName, &error);
    if (!display) {
        std::printf("no display: %s\n", error.c_str());
        return;
    }
    {
        WindowCapture capture(display, window);
        if (!capture.start(&error)) {
            std::printf("capture: %s\n", error.c_str());
            closeDisplay(display);
            return;
        }
        std::this_thread::sleep_for(milliseconds(300)); // redirected: let it repaint
        std::printf("%s (%s)\n", title, capture.usesSharedMemory() ? "XShm" : "XGetImage");
        captureAndEncode(capture, "no budget, q60:", rounds, 0, false);
        captureAndEncode(capture, "budget 150 kB, steady:", rounds, kDefaults.frameBudget, false);
        captureAndEncode(capture, "budget 150 kB, every frame cold:", rounds / 2, kDefaults.frameBudget, true);
    }
    closeDisplay(display);
}

// Taps the window (each tap repaints all of it) and waits for the frame
// it causes. Afterwards it asks once more without a tap: a frame that comes
// is the tail of the same repaint, sent twice.
void tapToFrame(const std::string& display, WindowId window, int rounds)
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<Frame> latest;
    Session::StartError error;
    auto session = Session::start({display, window},
        {[&](Frame frame) {
             std::lock_guard lock(mutex);
             latest = std::move(frame);
             arrived.notify_all();
         },
            [](std::string why) { std::printf("ended: %s\n", why.c_str()); }},
        &error);
    if (!session) {
        std::printf("session: %s\n", error.message.c_str());
        return;
    }
    auto wait = [&](milliseconds timeout) -> std::optional<Frame> {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, timeout, [&] { return latest.has_value(); }))
            return std::nullopt;
        auto frame = std::move(latest);
        latest.reset();
        return frame;
    };
    session->requestFrame(0);
    auto frame = wait(seconds(3));
    if (!frame)
        return;
    Stats latency, bytes;
    int extra = 0;
    for (int i = 0; i < rounds && frame; ++i) {
        session->requestFrame(frame->seq);
        const auto start = steady_clock::now();
        session->input(InputEvent::tap(0.1 + 0.8 * (i % 10) / 10.0, 0.5));
        frame = wait(seconds(3));
        if (!frame)
            break;
        latency.values.push_back(msSince(start));
        bytes.values.push_back(double(frame->jpeg.size()) / 1000);
        session->requestFrame(frame->seq);
        if (auto tail = wait(milliseconds(40))) {
            ++extra;
            frame = std::move(tail);
        }
    }
    std::printf("tap to next frame (%zu taps, window repaints everything): p50 %.1f ms p99 %.1f ms; "
                "%.0f kB a frame (max %.0f); %d taps made a second frame\n",
        latency.values.size(), latency.percentile(0.5), latency.percentile(0.99), bytes.percentile(0.5),
        bytes.percentile(1.0), extra);
}

} // namespace

int main()
{
    if (!Xvfb::available()) {
        std::printf("Xvfb is not installed\n");
        return 1;
    }
    Xvfb xvfb;
    if (FILE* load = std::fopen("/proc/loadavg", "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, load))
            std::printf("load average: %s", line);
        std::fclose(load);
    }
    if (!xvfb.start("1920x1200x24")) {
        std::printf("Xvfb did not start\n");
        return 1;
    }
    const std::pair<const char*, const char*> windows[] = {
        {"1280x800 dense text (6x13 fixed, edge to edge)", "text"},
        {"1280x800 ordinary document (14 px text, margins)", "prose"},
    };
    for (auto [title, pattern] : windows) {
        Child child;
        auto window = openWindow(child, xvfb.display(), pattern, "1280x800+0+0");
        if (!window)
            return 1;
        measureWindow(xvfb.display(), *window, title, 200);
        tapToFrame(xvfb.display(), *window, 200);
    }
    {
        Child child;
        auto window = openWindow(child, xvfb.display(), "text", "1920x1080+0+0");
        if (!window)
            return 1;
        measureWindow(xvfb.display(), *window, "1920x1080 dense text, shrunk to 1280 wide", 100);
    }
    return 0;
}
