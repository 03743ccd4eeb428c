// Screen streaming figures on a private Xvfb: capture and encode time of a
// window full of text, bytes per frame, and how long a tap takes to come
// back as a frame. Prints p50/p99; takes about half a minute.
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

std::optional<WindowId> openTextWindow(Child& child, const std::string& display, const std::string& geometry)
{
    if (!child.start({SCREEN_TEST_WINDOW, "--pattern", "text", "--geometry", geometry, "--title", "bench"}, display))
        return std::nullopt;
    auto line = child.readLine(seconds(5));
    if (!line || line->rfind("ready 0x", 0) != 0)
        return std::nullopt;
    return parseWindowId(line->substr(6));
}

void captureAndEncode(const std::string& displayName, WindowId window, int width, int height, int rounds)
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
        JpegEncoder encoder;
        for (int quality : {60, 50, 75, 85}) {
            Stats grab, encode, encodeCpu;
            double bytes = 0;
            const int count = quality == 60 ? rounds : rounds / 4;
            for (int i = 0; i < count; ++i) {
                ImageView view;
                auto start = steady_clock::now();
                if (capture.grab(view) != WindowCapture::Grab::Ok) {
                    std::printf("grab failed\n");
                    break;
                }
                grab.values.push_back(msSince(start));
                start = steady_clock::now();
                const double cpuStart = cpuMs();
                Jpeg jpeg;
                encoder.encode(view, 1280, quality, jpeg);
                encodeCpu.values.push_back(cpuMs() - cpuStart);
                encode.values.push_back(msSince(start));
                bytes += double(jpeg.bytes.size());
            }
            std::printf("%dx%d q%d (%s): capture p50 %.2f ms p99 %.2f ms; encode%s p50 %.2f ms p99 %.2f ms "
                        "(processor time p50 %.2f ms); %.0f KB a frame\n",
                width, height, quality, capture.usesSharedMemory() ? "XShm" : "XGetImage", grab.percentile(0.5),
                grab.percentile(0.99), width > 1280 ? " with downscale to 1280" : "", encode.percentile(0.5),
                encode.percentile(0.99), encodeCpu.percentile(0.5), bytes / count / 1024);
        }
    }
    closeDisplay(display);
}

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
    auto wait = [&]() -> std::optional<Frame> {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, seconds(3), [&] { return latest.has_value(); }))
            return std::nullopt;
        auto frame = std::move(latest);
        latest.reset();
        return frame;
    };
    session->requestFrame(0);
    auto frame = wait();
    if (!frame)
        return;
    Stats latency;
    for (int i = 0; i < rounds && frame; ++i) {
        session->requestFrame(frame->seq);
        const auto start = steady_clock::now();
        session->input(InputEvent::tap(0.1 + 0.8 * (i % 10) / 10.0, 0.5));
        frame = wait();
        if (frame)
            latency.values.push_back(msSince(start));
    }
    std::printf("tap to next frame (%zu taps, window repaints everything): p50 %.1f ms p99 %.1f ms\n",
        latency.values.size(), latency.percentile(0.5), latency.percentile(0.99));
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
    {
        Child text;
        auto window = openTextWindow(text, xvfb.display(), "1280x800+0+0");
        if (!window)
            return 1;
        captureAndEncode(xvfb.display(), *window, 1280, 800, 200);
        tapToFrame(xvfb.display(), *window, 200);
    }
    {
        Child text;
        auto window = openTextWindow(text, xvfb.display(), "1920x1080+0+0");
        if (!window)
            return 1;
        captureAndEncode(xvfb.display(), *window, 1920, 1080, 100);
    }
    return 0;
}
